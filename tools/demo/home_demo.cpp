// ostrel_home's own code against the virtual kit: the library's frame lines
// and the program's actions for the sensors at its demonstration addresses,
// with its lamps on GPIO 26, 19 and 13 of a scratch sysfs tree.
#include "demo.h"
#include "home.h"

int main(int argc, char **argv) {
    osl::demo::Setup lamps;
    lamps.lamp_pins[0] = 26; // receive
    lamps.lamp_pins[1] = 19; // transmit
    lamps.lamp_pins[2] = 13; // power
    return osl::demo::run(argc, argv, home_main, lamps);
}
