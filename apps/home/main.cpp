// ostrel_home: the kit's demonstration smart-home loop. Reacts to records of
// its demonstration sensors, keeps actors in their wanted state, and asks the
// clock about a schedule once a minute, until Ctrl-C.
#include "home.h"

int main() {
    return home_main();
}
