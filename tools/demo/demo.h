// Runs a program's own code against the virtual kit inside the process: the
// simulated controller stands in for the Bluetooth adapter, the kit's
// devices broadcast on it and obey the commands the program sends, the lamps
// go to a scratch sysfs tree and the lock file to a scratch path. Nothing of
// the machine is touched; no Bluetooth, no GPIO and no root are needed, and
// nothing is left behind, not even after a crash.
#pragma once

#include <functional>
#include <sys/types.h>

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
    // The folder that takes the scratch GPIO tree and lock file: the one
    // supervise() gave the caller, which removes it. Null: run() supervises
    // the program itself, in a folder of its own.
    const char *scratch = nullptr;
};

// True when run() takes these arguments (--seconds N: stop after N seconds
// as Ctrl-C would; 0 or absent: run until Ctrl-C); otherwise prints the
// usage. For a driver that has more to set up before run().
bool arguments_ok(int argc, char **argv);

// Checks the arguments, sets everything up, runs `program` (the program's
// whole logic, returning its exit status) and cleans up. Returns the
// program's status, or 2 when the demonstration could not be set up. Without
// `setup.scratch` the program runs under supervise(), so also its status
// there when a signal ended it.
int run(int argc, char **argv, int (*program)(), const Setup &setup = {});

// Makes a scratch folder, runs `work` on it in a process of its own (the
// worker) and waits for it. However the worker ends (its own end, a crash,
// SIGKILL), every process it left behind is then ended and the folder
// removed. Ctrl-C on the terminal never ends this process first: the worker
// ends as the program does on Ctrl-C, then the cleanup follows; SIGINT,
// SIGTERM or SIGHUP sent to this process alone stop the worker the same way. Returns the worker's
// exit status; when a signal ended the worker, says so and returns 128 + the signal; 2 when nothing
// could be started. Call it from the main thread of a process that has no
// other children.
int supervise(const std::function<int(const char *scratch)> &work);

// fork() for a helper program of the work (a broker, a client): the helper
// gets a process group of its own, so that the terminal's Ctrl-C goes to the
// demonstration alone, which ends its helpers itself once the program has
// finished; and the system ends it with SIGTERM when the calling thread
// ends, however it ends. Call it from the thread that outlives the helper.
pid_t fork_helper();

// The kit the running demonstration plays, for a program-specific driver
// that wants to look at or change its devices.
virtkit::Kit &kit();

} // namespace osl::demo
