// ostrel_mqtt's logic, kept apart from main() so that tests can run it.
#pragma once

#include <string>
#include <vector>

namespace ostrel::mqtt {

inline constexpr const char *VERSION = "2.0";

// 3: another bridge with this board's name took over the broker connection
// (starting again would only take it back: the service is not restarted);
// 4: the program ran out of memory.
enum : int {
    EXIT_STOPPED = 0,
    EXIT_LIB_TOO_OLD = 1,
    EXIT_BAD_SETUP = 2,
    EXIT_NAME_TAKEN = 3,
    EXIT_NO_MEMORY = 4
};

// The whole program as main() runs it: options, configuration, the library
// and the broker, the radio loop until SIGINT or SIGTERM. Returns the exit
// status: 0 after a stop, 2 for a bad option, configuration or state file,
// or a library that did not open, 3 and 4 as above.
int mqtt_main(int argc, char **argv);

// The text of --help.
std::string usage();

} // namespace ostrel::mqtt
