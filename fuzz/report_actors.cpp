#include "osl.h"
#include "osl_fuzz_actors.h"
#include "report_table.h"

namespace osl::fuzz {

namespace table {

using reports::ReportActor;
using reports::ReportCase; // the cases' fields are not read here

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
