// The actors example against the virtual kit: commands going out, the
// actors' new reported state coming back, and the comply results; after a
// while someone switches the relay by hand, and the example puts it right.
#include "actors.h"
#include "demo.h"

int main(int argc, char **argv) {
    osl::demo::Setup setup;
    setup.hand_at_ms = 8000;
    setup.hand = [](osl::virtkit::Kit &kit) { kit.relay.channels = 0x08; };
    setup.hand_note = "demo: someone switches the garden relay by hand: channel 3 only\n";
    return osl::demo::run(argc, argv, actors_example_main, setup);
}
