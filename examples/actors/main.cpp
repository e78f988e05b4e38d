// The example on a real board: the library opens the Bluetooth adapter.
// To try it without one, run it against the virtual kit: tools/demo.sh actors
#include "actors.h"

int main() {
    return actors_example_main();
}
