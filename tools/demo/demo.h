// Runs a program's own code against the virtual kit inside the process: the
// simulated controller stands in for the Bluetooth adapter, the kit's
// devices broadcast on it and obey the commands the program sends, the lamps
// go to a scratch sysfs tree and the lock file to a scratch path. Nothing of
// the machine is touched; no Bluetooth, no GPIO and no root are needed.
#pragma once

#include "sim/virtkit/kit.h"

namespace osl::demo {

// What a demonstration needs of the machine it runs on.
struct Setup {
    // GPIO lines the program lights its lamps on; they exist in the scratch
    // tree. Unused entries are 0.
    int lamp_pins[3] = {};
    // A change made behind the program's back after `hand_at_ms` (0: none),
    // such as an actor switched by hand, to show the program put it right.
    uint32_t hand_at_ms = 0;
    void (*hand)(virtkit::Kit &) = nullptr;
    const char *hand_note = nullptr;
};

// Parses the arguments (--seconds N: stop after N seconds as Ctrl-C would;
// 0 or absent: run until Ctrl-C), sets everything up, runs `program` (the
// program's whole logic, returning its exit status) and cleans up. Returns
// the program's status, or 2 when the demonstration could not be set up.
int run(int argc, char **argv, int (*program)(), const Setup &setup = {});

// The kit the running demonstration plays, for a program-specific driver
// that wants to look at or change its devices.
virtkit::Kit &kit();

} // namespace osl::demo
