// What the guest program's phases share: the tally of checks, the simulated
// device's address, deadlines and small helpers.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/hci_defs.h"
#include "osl.h"
#include "radio.h"
#include "support/frames.h"

namespace osl::vm {

using osl::test::Block;
using osl::test::hex;

// btvirt creates three controllers: the library's, the simulated device's,
// and one that scans for the library's commands.
constexpr int CONTROLLERS = 3;
// Deadlines for things that take milliseconds on an idle machine; a loaded
// host running the guest under emulation can be a hundred times slower.
constexpr int DEADLINE_MS = 20000;

// The simulated device's address, written most significant byte first.
constexpr std::array<uint8_t, 6> DEVICE_ADDR = {0xCB, 0xFD, 0x78, 0x6B, 0xAA, 0x68};
constexpr char DEVICE_ADDR_TEXT[] = "CBFD786BAA68";

struct Tally {
    int passed = 0;
    int failed = 0;
    bool check(bool ok, const std::string &what, const std::string &detail = {}) {
        if (ok) {
            passed++;
            fprintf(stderr, "ok   %s\n", what.c_str());
        } else {
            failed++;
            fprintf(stderr, "FAIL %s%s%s\n", what.c_str(), detail.empty() ? "" : ": ",
                    detail.c_str());
        }
        return ok;
    }
};

// Makes line ends and tabs visible in a failure report.
inline std::string visible(const std::string &s) {
    std::string out;
    for (char c : s) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else
            out += c;
    }
    return out;
}

inline AddrLsb reversed(const std::array<uint8_t, 6> &msb_first) {
    AddrLsb a;
    for (int i = 0; i < 6; i++)
        a[i] = msb_first[5 - i];
    return a;
}

inline Block meteo(uint32_t wt, uint8_t vcc, uint8_t nm, std::array<uint8_t, 9> b7) {
    return osl::test::DeviceBlock{wt, OSL_DEV_METEO, vcc, nm, b7}.bytes();
}

using Clock = std::chrono::steady_clock;

// Keeps the library's main flow turning (reads, paced sleeps) until cond
// holds or the deadline passes.
template <typename Cond> bool pump_until(Cond cond) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(DEADLINE_MS);
    while (!cond()) {
        if (Clock::now() > deadline)
            return false;
        osl_sleep_ms(10);
    }
    return true;
}

// The kernel log from the moment of open(): the test GPIO controller tells
// every request, direction change, value write and release there.
class KernelLog {
  public:
    ~KernelLog();
    bool open();
    // The messages logged since the last take that begin with prefix, in order.
    std::vector<std::string> take(const std::string &prefix);

  private:
    int fd_ = -1;
};

// What the test GPIO controller's messages begin with.
inline constexpr char GPIO_LOG_PREFIX[] = "osl-vm-gpio: ";

// The lamp phase, in a process of its own: the library keeps its lock file
// locked for the life of the process, so one process opens it only once.
// Opens the library with lamps on the GPIO lines of the test controller and
// plays one frame from device_dev.
void lamp_phase(Tally &t, int device_dev);

// The command phase, in a process of its own: the library on lib_dev sends a
// relay command while the device on device_dev sends sensor frames; a
// scanner on scanner_dev receives the command.
void command_phase(Tally &t, int lib_dev, int device_dev, int scanner_dev);

// The shipped programs as processes: osl_scanner, ostrel_home and the actors
// example on lib_dev, the one hci_get_route gives them, with osl_virtkit
// playing the kit on kit_devs. Each scenario prints its own verdict.
void programs_phase(Tally &t, int lib_dev, const std::vector<int> &kit_devs);

} // namespace osl::vm
