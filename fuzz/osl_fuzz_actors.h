// The actors of the literal report table (tests/frames/fixtures/reports.inc),
// registered so that the table's actor frames, and the fuzzer's variations
// of them, reach the actors' path with their right keys.
#pragma once

namespace osl::fuzz {

// Registers them once per process; later calls do nothing.
void register_report_actors();

} // namespace osl::fuzz
