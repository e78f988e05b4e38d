// osl_scanner's own code against the virtual kit: every sensor's line and
// the actors' SEC_KEY announcements, with no adapter at hand.
#include "demo.h"
#include "scanner.h"

int main(int argc, char **argv) {
    return osl::demo::run(argc, argv, scanner_main);
}
