#include "osl.h"
#include "osl_fuzz_actors.h"

namespace osl::fuzz {

namespace table {

struct ReportActor {
    int kind; // device type: 20 relay, 21 dimmer, 22 PWM
    const char *name;
    const char *addr;
    const char *key;
};

// Only the actors are used here; the cases' fields are not read.
struct ReportCase {
    const char *name;
    const char *event;
    int result;
    const char *record;
    const char *home_line;
    const char *scanner_line;
};

#include "reports.inc"

} // namespace table

void register_report_actors() {
    static bool done = false;
    if (done)
        return;
    done = true;
    for (const table::ReportActor &a : table::REPORT_ACTORS) {
        if (a.kind == OSL_DEV_RELAY)
            osl_relay_add(a.name, a.addr, a.key);
        else if (a.kind == OSL_DEV_DIMMER)
            osl_dimmer_add(a.name, a.addr, a.key);
        else
            osl_pwm_add(a.name, a.addr, a.key);
    }
}

} // namespace osl::fuzz
