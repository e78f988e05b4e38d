// The actors example against the virtual kit: commands going out, the
// actors' new reported state coming back, and the comply results.
#include "actors.h"
#include "demo.h"

int main(int argc, char **argv) {
    return osl::demo::run(argc, argv, actors_example_main);
}
