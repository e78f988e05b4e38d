#include "scanner.h"

#include <cstdio>

#include "osl.h"

namespace {

// The library this program was written against, 2.0.
constexpr int MIN_LIB_VERSION = 0x200;
constexpr int LOOP_PAUSE_MS = 100;
// The tool exists to show frames and SEC_KEY announcements; air-sensor frames
// are left out.
constexpr int VERBOSITY = OSL_LOG_LIB | OSL_LOG_SENSORS | OSL_LOG_ACTORS;

enum : int { EXIT_INTERRUPTED = 0, EXIT_LIB_TOO_OLD = 1, EXIT_OPEN_FAILED = 2 };

} // namespace

#define OSL_SCANNER_RULE                                                                           \
    "------------------------------------------------------------------------------"

const char TITLE[] = "\n" OSL_SCANNER_RULE "\n"
                     "\tOstrel Device Scanner 0.2\n"
                     "\tRec Ostrel actors SEC_KEY and data from sensors\n"
                     "\tmore: ** https://ostrel.example/scanner **\n" OSL_SCANNER_RULE "\n\r";

uint8_t osl_buf[100];

int scanner_run(int (*lib_version)(void)) {
    fputs(TITLE, stdout);

    int version = lib_version();
    printf("osl_lib_version: %.4X - ", static_cast<unsigned>(version));
    if (version < MIN_LIB_VERSION) {
        fputs("nok - stop", stdout);
        return EXIT_LIB_TOO_OLD;
    }
    puts("ok");

    // No lamps: the tool runs on any board. The library prints why an open failed.
    if (osl_bt_open(0, 0, 0, VERBOSITY) != OSL_OPEN_OK)
        return EXIT_OPEN_FAILED;

    osl_record *rec = reinterpret_cast<osl_record *>(osl_buf);
    for (;;) {
        int got = osl_bt_read(rec);
        osl_sleep_ms(LOOP_PAUSE_MS);
        if (got == OSL_READ_STOPPED)
            break;
    }
    osl_bt_close();
    return EXIT_INTERRUPTED;
}

int scanner_main() {
    // Line by line, so that frames reach a pipe or the system journal as they
    // are heard rather than when a buffer fills.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    return scanner_run(osl_bt_lib_version);
}
