// Runs inside the virtual machine: the library, unmodified and on BlueZ,
// against the kernel's Bluetooth stack and btvirt's three controllers. The
// library gets the controller hci_get_route gives; a simulated kit device
// advertises sealed frames from another one. Then the shipped programs run
// as processes against osl_virtkit on the other two. Prints one line per
// check on standard error and the verdict "N passed, M failed" last.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "core/hci_port.h"
#include "frames/layout.h"
#include "guest.h"
#include "support/capture.h"

using namespace osl;
using namespace osl::vm;
using osl::test::Key;
using osl::test::mask_times;
using osl::test::seal_payload;
using osl::test::Sealed;
using osl::test::sensor_key;
using osl::test::standard_adv_data;
using osl::test::StdoutCapture;

namespace {

// One frame the device sends, and what the library must make of it.
struct Frame {
    const char *name;
    Bytes adv_data;
    bool queued;      // a record is expected
    Block payload;    // its bytes 0..15
    const char *line; // the log line expected, time masked; "" for none
};

std::vector<Frame> frames() {
    const Block m1 = meteo(1000, 213, 30, {0x05, 0x08, 0xE8, 45, 120, 0x0C, 0xE4, 0x01, 0xF4});
    const Block m2 = meteo(1002, 142, 1, {0x80, 0xFF, 0x9C, 99, 7, 0x00, 0x00, 0x00, 0x64});
    Sealed forged = seal_payload(meteo(1001, 213, 30, {}), OSL_DEV_METEO, sensor_key());
    forged[OSL_SEALED_TAG] ^= 0x01;
    const Key announced = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                           0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    Block key_block;
    memcpy(key_block.data(), announced.data(), key_block.size());

    return {
        {"METEO frame", standard_adv_data(seal_payload(m1, OSL_DEV_METEO, sensor_key())), true, m1,
         "T [osl rec] METEO 0xCBFD786BAA68 <127dBm 3.00V Nm=60s Wt=1000s>\n\r"
         "\tT=22.80*C RH=45 L=120 DIN=05 ADC1=3300mV ADC2=500mV\n\r"},
        // Refused by its tag: the next record read must be the next frame's.
        {"METEO frame with a wrong tag", standard_adv_data(forged), false, {}, ""},
        {"METEO frame below zero", standard_adv_data(seal_payload(m2, OSL_DEV_METEO, sensor_key())),
         true, m2,
         "T [osl rec] METEO 0xCBFD786BAA68 <127dBm 2.00V Nm=2s Wt=1002s>\n\r"
         "\tT=-1.00*C RH=99 L=007 DIN=80 ADC1=0mV ADC2=100mV\n\r"},
        {"SEC_KEY announcement",
         standard_adv_data(seal_payload(key_block, frame::TYPE_SEC_KEY, sensor_key())),
         false,
         {},
         "T [osl rec] SEC_KEY \"CBFD786BAA68\", \"00112233445566778899AABBCCDDEEFF\"\n\r"},
    };
}

// A phase in a child, which opens the library once for itself; its tally
// comes back through a pipe.
template <typename Phase> void run_phase(Tally &t, const std::string &name, Phase phase) {
    int fds[2];
    if (!t.check(pipe(fds) == 0, name + ": pipe"))
        return;
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        Tally mine;
        phase(mine);
        int counts[2] = {mine.passed, mine.failed};
        ssize_t n = write(fds[1], counts, sizeof counts);
        _exit(n == sizeof counts ? 0 : 1);
    }
    close(fds[1]);
    int counts[2] = {0, 0};
    ssize_t n = child > 0 ? read(fds[0], counts, sizeof counts) : -1;
    close(fds[0]);
    int status = 0;
    if (child > 0)
        waitpid(child, &status, 0);
    t.passed += counts[0];
    t.failed += counts[1];
    t.check(n == sizeof counts && WIFEXITED(status) && WEXITSTATUS(status) == 0,
            name + " ran to its end", "status " + std::to_string(status));
}

// Opens the library without lamps on lib_dev and plays the frames from
// device_dev.
void radio_phase(Tally &t, int lib_dev, int device_dev) {
    AddrLsb lib_addr{};
    std::string err = read_bdaddr(lib_dev, &lib_addr);
    t.check(err.empty(), "library controller's address read", err);

    Observer observer;
    err = observer.open(lib_dev);
    t.check(err.empty(), "observer on the library's controller", err);
    Device device;
    err = device.open(device_dev, DEVICE_ADDR);
    if (!t.check(err.empty(), "device set up with address CB:FD:78:6B:AA:68", err))
        return;
    KernelLog kernel_log;
    t.check(kernel_log.open(), "kernel log readable");

    const int sockets_before = sockets_open();
    std::string expected_log = "T [osl open] mac:" + hex(lib_addr.data(), lib_addr.size()) +
                               " | osl_lib:00000200\n"
                               "T [osl start] ok\n\r";

    StdoutCapture capture;
    const int opened = osl_bt_open(0, 0, 0, OSL_LOG_LIB | OSL_LOG_SENSORS | OSL_LOG_ACTORS);
    if (!t.check(opened == 0, "osl_bt_open returns 0", "got " + std::to_string(opened))) {
        fprintf(stderr, "library printed: %s\n", visible(capture.stop()).c_str());
        return;
    }
    t.check(memcmp(osl_bt_myaddr_get(), lib_addr.data(), 6) == 0,
            "osl_bt_myaddr_get holds the controller's address, least significant byte first",
            hex(osl_bt_myaddr_get(), 6) + " vs " + hex(lib_addr.data(), 6));
    const int while_scanning = scan_parameters_status(lib_dev);
    t.check(while_scanning == hci::STATUS_COMMAND_DISALLOWED,
            "the library's controller scans (new scan parameters refused)",
            "status " + std::to_string(while_scanning));

    std::string log; // everything the library printed, as it comes
    const AddrLsb device_addr = reversed(DEVICE_ADDR);
    for (const Frame &f : frames()) {
        const std::string name = f.name;
        err = device.start(f.adv_data);
        if (!t.check(err.empty(), name + ": advertised", err))
            continue;
        // Each advertising enable gives the scanning controller one report;
        // once the kernel has handed it to the observer, the library's socket
        // holds it too.
        Report r;
        err = observer.wait(device_addr, f.adv_data, DEADLINE_MS, &r);
        t.check(err.empty(), name + ": report reaches the kernel's raw sockets", err);
        if (err.empty())
            fprintf(stderr, "     report: %s (event type %u, address type %u, RSSI %d)\n",
                    hex(r.packet).c_str(), r.event_type, r.addr_type, r.rssi);
        err = device.stop();
        t.check(err.empty(), name + ": advertising stopped", err);

        if (f.queued) {
            osl_record rec{};
            int type = 0;
            bool got = pump_until([&] { return (type = osl_bt_read(&rec)) != 0; });
            if (t.check(got && type == f.payload[4], name + ": osl_bt_read gives its type",
                        "got " + std::to_string(type))) {
                t.check(memcmp(rec.payload, f.payload.data(), 16) == 0,
                        name + ": record holds the unsealed payload",
                        hex(rec.payload, 16) + " vs " + hex(f.payload.data(), 16));
                t.check(hex(rec.addr, 6) == DEVICE_ADDR_TEXT,
                        name + ": record holds the address, most significant byte first",
                        hex(rec.addr, 6));
                // The virtual controller reports 0x7F, "not available".
                t.check(rec.rssi == r.rssi && rec.rssi == 127,
                        name + ": record holds the RSSI the kernel delivered",
                        std::to_string(rec.rssi) + " vs " + std::to_string(r.rssi));
            }
        }
        if (*f.line != '\0') {
            bool seen = pump_until([&] {
                log += capture.take();
                return mask_times(log).find(f.line) != std::string::npos;
            });
            t.check(seen, name + ": log line printed", visible(mask_times(log)));
        }
        expected_log += f.line;
    }

    osl_record rec{};
    int left = osl_bt_read(&rec);
    t.check(left == 0, "no record beyond the expected ones",
            "osl_bt_read gives " + std::to_string(left));

    raise(SIGINT);
    int after_stop = osl_bt_read(&rec);
    t.check(after_stop == -1, "osl_bt_read gives -1 after SIGINT",
            "got " + std::to_string(after_stop));
    osl_bt_close();
    log += capture.stop();
    expected_log += "T [osl stop] stopped\n\r"
                    "T [osl close] closed\n\r"
                    "T [osl closed]\n\r";

    const std::string masked = mask_times(log);
    t.check(masked == expected_log, "the library printed exactly the expected lines",
            "\n  got:      " + visible(masked) + "\n  expected: " + visible(expected_log));
    t.check(sockets_open() == sockets_before, "the library's socket is closed",
            std::to_string(sockets_open()) + " sockets open, " + std::to_string(sockets_before) +
                " before opening");
    const int after_close = scan_parameters_status(lib_dev);
    t.check(after_close == 0, "scanning stopped (new scan parameters accepted)",
            "status " + std::to_string(after_close));
    const std::vector<std::string> gpio = kernel_log.take(GPIO_LOG_PREFIX);
    t.check(gpio.empty(), "no lamp lines: no GPIO line touched",
            std::to_string(gpio.size()) +
                " GPIO events, first: " + (gpio.empty() ? "" : gpio.front()));
}

// The controller's state rules, which the simulated controller follows:
// each command goes out on a fresh socket, so the state they meet is the
// controller's own and outlives every socket (and program) that set it.
void controller_rules_phase(Tally &t, int dev) {
    constexpr int OK = 0, DISALLOWED = hci::STATUS_COMMAND_DISALLOWED;
    const Bytes on = {1, 0}, off = {0, 1}, adv_on = {1}, adv_off = {0};
    const Bytes scan_params = {hci::SCAN_PASSIVE, 0x10, 0x00, 0x10, 0x00, 0x00, 0x00};
    const Bytes adv_params(15, 0x00);
    const Bytes adv_data(32, 0x00);
    const Bytes random_addr = {0x01, 0x02, 0x03, 0x04, 0x05, 0xC6};
    struct Step {
        const char *what;
        uint16_t ocf;
        Bytes params;
        int status;
    };
    const Step steps[] = {
        {"scan parameters while idle", hci::OCF_LE_SET_SCAN_PARAMETERS, scan_params, OK},
        {"scanning on", hci::OCF_LE_SET_SCAN_ENABLE, on, OK},
        {"scanning on again", hci::OCF_LE_SET_SCAN_ENABLE, on, DISALLOWED},
        {"scan parameters while scanning", hci::OCF_LE_SET_SCAN_PARAMETERS, scan_params,
         DISALLOWED},
        {"random address while scanning", hci::OCF_LE_SET_RANDOM_ADDRESS, random_addr, DISALLOWED},
        {"advertising data while scanning", hci::OCF_LE_SET_ADV_DATA, adv_data, OK},
        {"scanning off", hci::OCF_LE_SET_SCAN_ENABLE, off, OK},
        {"scanning off again", hci::OCF_LE_SET_SCAN_ENABLE, off, DISALLOWED},
        {"advertising parameters while idle", hci::OCF_LE_SET_ADV_PARAMETERS, adv_params, OK},
        {"advertising on", hci::OCF_LE_SET_ADVERTISE_ENABLE, adv_on, OK},
        {"advertising on again", hci::OCF_LE_SET_ADVERTISE_ENABLE, adv_on, DISALLOWED},
        {"advertising parameters while advertising", hci::OCF_LE_SET_ADV_PARAMETERS, adv_params,
         DISALLOWED},
        {"random address while advertising", hci::OCF_LE_SET_RANDOM_ADDRESS, random_addr,
         DISALLOWED},
        {"advertising data while advertising", hci::OCF_LE_SET_ADV_DATA, adv_data, OK},
        {"scan parameters while advertising", hci::OCF_LE_SET_SCAN_PARAMETERS, scan_params, OK},
        {"advertising off", hci::OCF_LE_SET_ADVERTISE_ENABLE, adv_off, OK},
        {"advertising off again", hci::OCF_LE_SET_ADVERTISE_ENABLE, adv_off, DISALLOWED},
    };
    for (const Step &s : steps) {
        const int status = le_status(dev, s.ocf, s.params);
        t.check(status == s.status,
                std::string("controller rules: ") + s.what + " answers " +
                    (s.status == OK ? "success" : "Command Disallowed"),
                "status " + std::to_string(status));
    }
}

} // namespace

int main() {
    Tally t;
    // The library's lines go to a capture; this program's own to stderr.
    setvbuf(stderr, nullptr, _IONBF, 0);
    // The test helpers link the simulated controller in; it must stay out.
    t.check(osl_hci == &osl_hci_bluez, "the library talks to BlueZ");

    std::string err = controllers_up(CONTROLLERS, DEADLINE_MS);
    if (t.check(err.empty(), "both virtual controllers up", err)) {
        const int lib_dev = route();
        // The other two: the simulated device, and the scanner for commands.
        const int device_dev = lib_dev == 0 ? 1 : 0;
        const int scanner_dev = 3 - lib_dev - device_dev;
        if (t.check(lib_dev >= 0 && lib_dev < CONTROLLERS,
                    "hci_get_route gives a btvirt controller", "got " + std::to_string(lib_dev))) {
            fprintf(stderr, "library on hci%d, device on hci%d, scanner on hci%d\n", lib_dev,
                    device_dev, scanner_dev);
            run_phase(t, "lamp phase", [&](Tally &mine) { lamp_phase(mine, device_dev); });
            run_phase(t, "command phase",
                      [&](Tally &mine) { command_phase(mine, lib_dev, device_dev, scanner_dev); });
            // Before the radio phase: that one opens the library in this
            // process, whose lock then keeps every program out.
            controller_rules_phase(t, scanner_dev);
            programs_phase(t, lib_dev, {device_dev, scanner_dev});
            radio_phase(t, lib_dev, device_dev);
        }
    }
    printf("%d passed, %d failed\n", t.passed, t.failed);
    fflush(stdout);
    return t.failed == 0 ? 0 : 1;
}
