// osl_scanner: prints every frame the kit's devices broadcast, including the
// SEC_KEY announcements in which actors give away their keys, until Ctrl-C.
#include "scanner.h"

int main() {
    return scanner_main();
}
