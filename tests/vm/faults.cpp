// Runs inside the virtual machine in place of osl_vm_guest: causes each
// adapter fault on the real Linux Bluetooth stack and records what it does to
// a program's raw HCI sockets, opened and set up as the library sets up its
// own (bound to the controller, FIONBIO, passive scan on, LE meta filter).
//
// Beside the library's pair of sockets it holds a "wide" socket on the same
// controller that lets every packet type and event through, and a "monitor"
// socket bound to no controller, where the stack's own events (device up,
// down, registered, unregistered) arrive. A device on another controller
// advertises a frame every 300 ms throughout, so a scan that still works
// shows as reports arriving.
//
// Each fault is a list of shell commands, the same ones a scenario can run in
// the guest; after it come the checks: the controller's flags, whether it
// still scans, and two ways back (the library's scan start on the old
// socket, then new sockets).
//
// Prints a timeline on standard output; the verdict line counts faults that
// could be caused and measured, not what the stack did.
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <bluetooth/bluetooth.h>
#include <bluetooth/hci.h>
#include <bluetooth/hci_lib.h>

#include "radio.h"

using namespace osl::vm;

namespace {

constexpr int CONTROLLERS = 3; // btvirt -L -l3, as init.sh starts it
constexpr int TIMEOUT_MS = 1000;
constexpr int TICK_MS = 10;
constexpr int READS_PER_TICK = 10;
constexpr int READ_LEN = 50;
constexpr int ADV_PERIOD_MS = 300;
constexpr int ADV_ON_MS = 100;
constexpr int DEADLINE_MS = 20000;

using Clock = std::chrono::steady_clock;
Clock::time_point t0 = Clock::now();

// The controller under test and the advertising device's. A restart of
// btvirt may register the controllers under other numbers.
int lib_dev = 0;
int adv_dev = 1;

long since_ms(Clock::time_point from) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - from).count());
}

void pause_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void note(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void note(const char *fmt, ...) {
    char text[600];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    printf("[%+7ld ms] %s\n", since_ms(t0), text);
    fflush(stdout);
}

std::string hexs(const uint8_t *p, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
        if (i + 1 < n)
            s += ' ';
    }
    return s;
}

std::string errno_name(int e) {
    switch (e) {
    case EAGAIN:
        return "EAGAIN";
    case EPIPE:
        return "EPIPE";
    case ENODEV:
        return "ENODEV";
    case ENETDOWN:
        return "ENETDOWN";
    case EBADFD:
        return "EBADFD";
    case EIO:
        return "EIO";
    case ETIMEDOUT:
        return "ETIMEDOUT";
    case EALREADY:
        return "EALREADY";
    case EBUSY:
        return "EBUSY";
    case EINTR:
        return "EINTR";
    case ENOTCONN:
        return "ENOTCONN";
    default:
        return "errno " + std::to_string(e);
    }
}

// What one packet read from a raw socket is, in words.
std::string describe(const uint8_t *b, ssize_t n) {
    if (n <= 0)
        return "empty";
    std::string bytes = hexs(b, static_cast<size_t>(n > 16 ? 16 : n)) + (n > 16 ? " ..." : "");
    if (b[0] == HCI_COMMAND_PKT && n >= 4) {
        char t[64];
        snprintf(t, sizeof t, "command 0x%04x (ogf 0x%02x ocf 0x%04x) ", b[1] | b[2] << 8,
                 (b[1] | b[2] << 8) >> 10, (b[1] | b[2] << 8) & 0x3ff);
        return t + bytes;
    }
    if (b[0] != HCI_EVENT_PKT || n < 3)
        return "packet type " + std::to_string(b[0]) + ": " + bytes;
    const uint8_t ev = b[1];
    char t[128];
    if (ev == EVT_CMD_COMPLETE && n >= 7)
        snprintf(t, sizeof t, "Command Complete 0x%04x status 0x%02x", b[4] | b[5] << 8, b[6]);
    else if (ev == EVT_CMD_STATUS && n >= 7)
        snprintf(t, sizeof t, "Command Status 0x%04x status 0x%02x", b[5] | b[6] << 8, b[3]);
    else if (ev == EVT_LE_META_EVENT && n >= 4)
        snprintf(t, sizeof t, "LE meta subevent 0x%02x (%zd bytes)", b[3], n);
    else if (ev == EVT_STACK_INTERNAL && n >= 5) {
        const uint16_t type = static_cast<uint16_t>(b[3] | b[4] << 8);
        if (type == EVT_SI_DEVICE && n >= 9) {
            const int what = b[5] | b[6] << 8;
            const char *names[] = {"?",
                                   "HCI_DEV_REG",
                                   "HCI_DEV_UNREG",
                                   "HCI_DEV_UP",
                                   "HCI_DEV_DOWN",
                                   "HCI_DEV_SUSPEND",
                                   "HCI_DEV_RESUME"};
            snprintf(t, sizeof t, "stack internal: %s of hci%d",
                     what >= 1 && what <= 6 ? names[what] : "?", b[7] | b[8] << 8);
        } else
            snprintf(t, sizeof t, "stack internal type 0x%04x", type);
    } else if (ev == EVT_HARDWARE_ERROR)
        snprintf(t, sizeof t, "Hardware Error code 0x%02x", n > 3 ? b[3] : 0);
    else if (ev == EVT_DISCONN_COMPLETE)
        snprintf(t, sizeof t, "Disconnection Complete");
    else
        snprintf(t, sizeof t, "event 0x%02x", ev);
    return std::string(t) + ": " + bytes;
}

// One socket's reads over a watch: reports and EAGAIN counted, everything
// else noted as it happens.
struct ReadLog {
    explicit ReadLog(const char *n) : name(n) {}
    const char *name;
    int reports = 0;
    long first_report = -1, last_report = -1;
    int eagain = 0;
    long first_eagain = -1, last_eagain = -1;
    std::string last_other;
    int repeats = 0;

    void result(ssize_t n, int err, const uint8_t *buf, Clock::time_point from) {
        const long at = since_ms(from);
        if (n < 0 && err == EAGAIN) {
            if (eagain++ == 0)
                first_eagain = at;
            last_eagain = at;
            return;
        }
        if (n > 3 && buf[0] == HCI_EVENT_PKT && buf[1] == EVT_LE_META_EVENT &&
            buf[3] == EVT_LE_ADVERTISING_REPORT) {
            if (reports++ == 0)
                first_report = at;
            last_report = at;
            return;
        }
        std::string what = n < 0    ? "read -1 " + errno_name(err)
                           : n == 0 ? std::string("read 0")
                                    : "read " + std::to_string(n) + " " + describe(buf, n);
        if (what == last_other && ++repeats > 3) {
            if (repeats == 4)
                note("  %s: ... the same again (counted at the end)", name);
            return;
        }
        if (what != last_other)
            repeats = 0;
        last_other = what;
        note("  %s: %s (fault +%ld ms)", name, what.c_str(), at);
    }
    void summary() const {
        note("  %s: %d advertising reports (fault +%ld .. +%ld ms); %d EAGAIN (+%ld .. +%ld ms)%s",
             name, reports, first_report, last_report, eagain, first_eagain, last_eagain,
             repeats > 3
                 ? (", last other result repeated " + std::to_string(repeats) + " times").c_str()
                 : "");
    }
};

int raw_socket() {
    return socket(AF_BLUETOOTH, SOCK_RAW | SOCK_CLOEXEC, BTPROTO_HCI);
}

int bind_dev(int sock, int dev) {
    struct sockaddr_hci a;
    memset(&a, 0, sizeof a);
    a.hci_family = AF_BLUETOOTH;
    a.hci_dev = static_cast<unsigned short>(dev);
    a.hci_channel = HCI_CHANNEL_RAW;
    return bind(sock, reinterpret_cast<struct sockaddr *>(&a), sizeof a);
}

int set_nonblocking(int sock) {
    int on = 1;
    return ioctl(sock, FIONBIO, &on);
}

int let_all_through(int sock) {
    struct hci_filter f;
    memset(&f, 0xFF, sizeof f);
    f.opcode = 0;
    return setsockopt(sock, SOL_HCI, HCI_FILTER, &f, sizeof f);
}

// An HCI command with a status-first answer on sock, as hci_send_req sends
// it: the status byte, -1 (with errno) when no answer came.
int command_status(int sock, uint16_t ogf, uint16_t ocf, const void *params, int len,
                   uint8_t *reply = nullptr, int reply_len = 0) {
    uint8_t status_only = 0xFF;
    struct hci_request rq;
    memset(&rq, 0, sizeof rq);
    rq.ogf = ogf;
    rq.ocf = ocf;
    rq.cparam = const_cast<void *>(params);
    rq.clen = len;
    rq.rparam = reply != nullptr ? reply : &status_only;
    rq.rlen = reply != nullptr ? reply_len : 1;
    if (hci_send_req(sock, &rq, TIMEOUT_MS) < 0)
        return -1;
    return reply != nullptr ? reply[0] : status_only;
}

std::string status_text(int s) {
    if (s < 0)
        return "no answer (" + errno_name(errno) + ")";
    char t[32];
    snprintf(t, sizeof t, "status 0x%02x", s);
    return t;
}

int scan_parameters(int sock) {
    le_set_scan_parameters_cp cp;
    memset(&cp, 0, sizeof cp);
    cp.type = 0x00;
    cp.interval = htobs(0x0010);
    cp.window = htobs(0x0010);
    return command_status(sock, OGF_LE_CTL, OCF_LE_SET_SCAN_PARAMETERS, &cp, sizeof cp);
}

int scan_enable(int sock, uint8_t enable, uint8_t filter_dup) {
    le_set_scan_enable_cp cp = {enable, filter_dup};
    return command_status(sock, OGF_LE_CTL, OCF_LE_SET_SCAN_ENABLE, &cp, sizeof cp);
}

std::string flags_text(int dev) {
    struct hci_dev_info di;
    memset(&di, 0, sizeof di);
    if (hci_devinfo(dev, &di) < 0)
        return "hci" + std::to_string(dev) + " devinfo: " + errno_name(errno);
    char t[160];
    snprintf(t, sizeof t,
             "hci%d devinfo: flags 0x%08lx (%s%s%s) addr %02X:%02X:%02X:%02X:%02X:%02X", dev,
             static_cast<unsigned long>(di.flags), hci_test_bit(HCI_UP, &di.flags) ? "UP" : "DOWN",
             hci_test_bit(HCI_RUNNING, &di.flags) ? " RUNNING" : "",
             hci_test_bit(HCI_INIT, &di.flags) ? " INIT" : "", di.bdaddr.b[5], di.bdaddr.b[4],
             di.bdaddr.b[3], di.bdaddr.b[2], di.bdaddr.b[1], di.bdaddr.b[0]);
    return t;
}

// The controller's scan state, from a fresh socket: new scan parameters are
// refused (0x0C) while it scans and accepted while it does not.
std::string scan_state(int dev) {
    const int s = scan_parameters_status(dev);
    return s == 0      ? "not scanning (scan parameters accepted)"
           : s == 0x0C ? "scanning (scan parameters refused, 0x0c)"
                       : "unknown (" + status_text(s) + ")";
}

// The library's pair of sockets on one controller, set up as it sets up its
// own, plus the wide socket on the same controller.
struct LibSockets {
    int dev = -1;
    int sock = -1;
    int cmd = -1;
    int wide = -1;

    ~LibSockets() { close_all(); }

    std::string open(int d) {
        dev = d;
        sock = raw_socket();
        if (sock < 0)
            return "socket: " + errno_name(errno);
        if (bind_dev(sock, dev) < 0)
            return "bind: " + errno_name(errno);
        cmd = raw_socket();
        if (cmd < 0 || bind_dev(cmd, dev) < 0)
            return "command socket: " + errno_name(errno);
        if (set_nonblocking(sock) < 0)
            return "FIONBIO: " + errno_name(errno);
        uint8_t reply[7] = {};
        const int s =
            command_status(sock, OGF_INFO_PARAM, OCF_READ_BD_ADDR, nullptr, 0, reply, sizeof reply);
        if (s != 0)
            return "Read BD_ADDR: " + status_text(s);
        wide = raw_socket();
        if (wide < 0 || bind_dev(wide, dev) < 0 || set_nonblocking(wide) < 0 ||
            let_all_through(wide) < 0)
            return "wide socket: " + errno_name(errno);
        return {};
    }

    // The library's scan start, step by step, each answer told.
    std::string scan_start() {
        std::string said;
        int s = scan_parameters(sock);
        said += "scan parameters " + status_text(s);
        if (s != 0) {
            const int off = scan_enable(sock, 0, 1);
            s = scan_parameters(sock);
            said +=
                "; scan disable " + status_text(off) + "; scan parameters again " + status_text(s);
            if (s != 0)
                return said + "; FAILED (the library returns 2)";
        }
        s = scan_enable(sock, 1, 0);
        said += "; scan enable " + status_text(s);
        if (s != 0)
            return said + "; FAILED (the library returns 4)";
        struct hci_filter saved;
        socklen_t len = sizeof saved;
        if (getsockopt(sock, SOL_HCI, HCI_FILTER, &saved, &len) < 0)
            return said + "; getsockopt " + errno_name(errno) + "; FAILED (6)";
        struct hci_filter f;
        hci_filter_clear(&f);
        hci_filter_set_ptype(HCI_EVENT_PKT, &f);
        hci_filter_set_event(EVT_LE_META_EVENT, &f);
        if (setsockopt(sock, SOL_HCI, HCI_FILTER, &f, sizeof f) < 0)
            return said + "; setsockopt " + errno_name(errno) + "; FAILED (8)";
        return said + "; filter set: scanning";
    }

    void close_all() {
        for (int *fd : {&sock, &cmd, &wide}) {
            if (*fd >= 0)
                close(*fd);
            *fd = -1;
        }
    }
};

// The device on adv_dev: one frame every ADV_PERIOD_MS, each with a new
// counter. It reopens its controller when that has gone away and come back.
struct Advertiser {
    std::unique_ptr<Device> device;
    Clock::time_point next = Clock::now();
    bool on = false;
    int frames = 0;
    int failures = 0;

    void step() {
        const auto now = Clock::now();
        if (now < next)
            return;
        if (!device) {
            if (!is_up(adv_dev)) {
                next = now + std::chrono::milliseconds(ADV_PERIOD_MS);
                return;
            }
            device = std::make_unique<Device>();
            const std::array<uint8_t, 6> addr = {0xCB, 0xFD, 0x78, 0x6B, 0xAA, 0x68};
            if (!device->open(adv_dev, addr).empty()) {
                device.reset();
                failures++;
                next = now + std::chrono::milliseconds(ADV_PERIOD_MS);
                return;
            }
        }
        std::string err;
        if (on) {
            err = device->stop();
            on = false;
            next = now + std::chrono::milliseconds(ADV_PERIOD_MS - ADV_ON_MS);
        } else {
            frames++;
            const Bytes data = {0x05,
                                0xFF,
                                0xFF,
                                0xFF,
                                static_cast<uint8_t>(frames >> 8),
                                static_cast<uint8_t>(frames)};
            err = device->start(data);
            on = err.empty();
            next = now + std::chrono::milliseconds(ADV_ON_MS);
        }
        if (!err.empty()) {
            failures++;
            device.reset();
            on = false;
        }
    }
    void halt() {
        if (device && on)
            device->stop();
        on = false;
        device.reset();
    }
};

int monitor_sock = -1;
Advertiser advertiser;

// Runs the 10 ms intake for ms: up to 10 reads of 50 bytes on the library's
// socket per tick, every packet of the wide and monitor sockets.
void watch(LibSockets &lib, int ms, Clock::time_point from, const char *what) {
    note("watching %d ms: %s", ms, what);
    ReadLog lib_log("library socket"), wide_log("wide socket"), mon_log("monitor socket");
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    uint8_t buf[HCI_MAX_FRAME_SIZE];
    while (Clock::now() < end) {
        advertiser.step();
        for (int i = 0; i < READS_PER_TICK && lib.sock >= 0; i++) {
            errno = 0;
            const ssize_t n = read(lib.sock, buf, READ_LEN);
            lib_log.result(n, errno, buf, from);
            if (n < 0 && errno == EAGAIN)
                break;
        }
        for (int i = 0; i < 100 && lib.wide >= 0; i++) {
            errno = 0;
            const ssize_t n = read(lib.wide, buf, sizeof buf);
            wide_log.result(n, errno, buf, from);
            if (n < 0 && errno == EAGAIN)
                break;
        }
        for (int i = 0; i < 100 && monitor_sock >= 0; i++) {
            errno = 0;
            const ssize_t n = read(monitor_sock, buf, sizeof buf);
            if (n < 0 && errno == EAGAIN)
                break;
            mon_log.result(n, errno, buf, from);
        }
        pause_ms(TICK_MS);
    }
    lib_log.summary();
    wide_log.summary();
    note("  advertiser: %d frames so far, %d failures", advertiser.frames, advertiser.failures);
}

// The one fault no shell tool causes: the kernel's own reset of the
// controller, which this program asks for itself.
constexpr char DEV_RESET_IOCTL[] = "ioctl(HCIDEVRESET)";
// A step that closes the library's sockets, as a program that gave up on
// them would, before the next step.
constexpr char CLOSE_SOCKETS[] = "close the library's sockets";
// A step that runs the library's scan start again on its old socket, to see
// whether a scan restarted there holds.
constexpr char RESTART_SCAN[] = "the library's scan start on the old socket";

int run(const std::string &command) {
    if (command == DEV_RESET_IOCTL) {
        int ctl = raw_socket();
        const int r = ioctl(ctl, HCIDEVRESET, lib_dev);
        note("ioctl(ctl, HCIDEVRESET, %d) = %d %s", lib_dev, r,
             r < 0 ? errno_name(errno).c_str() : "");
        close(ctl);
        return r;
    }
    note("$ %s", command.c_str());
    const int s = system(command.c_str());
    note("  exit status %d", WIFEXITED(s) ? WEXITSTATUS(s) : -1);
    return s;
}

std::string hci(int dev) {
    return "hci" + std::to_string(dev);
}

// The controllers registered now, by number.
std::vector<int> registered_now() {
    std::vector<int> devs;
    for (int d = 0; d < 16; d++)
        if (registered(d))
            devs.push_back(d);
    return devs;
}

void list_controllers() {
    for (int d : registered_now())
        note("  %s", flags_text(d).c_str());
    note("  hci_get_route(NULL) = %d", hci_get_route(nullptr));
}

// Waits for the controller to be registered and brings it up; ms until up.
long bring_up(int dev) {
    const auto from = Clock::now();
    while (!registered(dev)) {
        if (since_ms(from) > DEADLINE_MS)
            return -1;
        pause_ms(10);
    }
    note("  %s registered after %ld ms", hci(dev).c_str(), since_ms(from));
    int ctl = raw_socket();
    while (ioctl(ctl, HCIDEVUP, dev) < 0 && errno != EALREADY) {
        if (since_ms(from) > DEADLINE_MS) {
            close(ctl);
            return -1;
        }
        pause_ms(10);
    }
    close(ctl);
    while (!is_up(dev)) {
        if (since_ms(from) > DEADLINE_MS)
            return -1;
        pause_ms(10);
    }
    return since_ms(from);
}

// After a fault: new sockets on the same index, retried until the library's
// open and scan start both succeed; ms until then.
long reopen_until_scanning(LibSockets &lib, int dev) {
    const auto from = Clock::now();
    std::string last;
    int attempts = 0;
    for (;;) {
        lib.close_all();
        attempts++;
        std::string err = lib.open(dev);
        std::string said;
        if (err.empty()) {
            said = lib.scan_start();
            if (said.find("FAILED") == std::string::npos) {
                note("  new sockets scanning after %ld ms, attempt %d: %s", since_ms(from),
                     attempts, said.c_str());
                return since_ms(from);
            }
            err = said;
        }
        if (err != last)
            note("  attempt %d at +%ld ms: %s", attempts, since_ms(from), err.c_str());
        last = err;
        if (since_ms(from) > DEADLINE_MS)
            return -1;
        pause_ms(50);
    }
}

struct Step {
    std::string command; // shell command run in the guest; empty: none
    int watch_ms;
    const char *what;
};

struct Fault {
    const char *key; // for choosing faults: osl_faults=KEY,KEY on the kernel command line
    const char *name;
    std::vector<Step> steps;
    bool restarts_btvirt = false;
    // After a restart, first wait and see what the kernel does with the new
    // controllers when nobody brings them up.
    bool wait_before_up = false;
};

// Puts the controllers back as each fault expects them: all up, nobody
// scanning on the one under test, the advertiser fresh.
void heal() {
    advertiser.halt();
    for (int d : registered_now())
        if (!is_up(d) && bring_up(d) < 0)
            note("heal: %s does not come up", hci(d).c_str());
    int s = hci_open_dev(lib_dev);
    if (s >= 0) {
        scan_enable(s, 0, 1);
        hci_close_dev(s);
    }
}

bool measure(const Fault &f) {
    printf("\n===== %s =====\n", f.name);
    heal();
    LibSockets lib;
    std::string err = lib.open(lib_dev);
    if (err.empty()) {
        const std::string said = lib.scan_start();
        note("library steps on hci%d: %s", lib_dev, said.c_str());
        if (said.find("FAILED") != std::string::npos)
            err = said;
    }
    if (!err.empty()) {
        note("cannot set up the sockets: %s", err.c_str());
        return false;
    }
    note("before: %s; %s", flags_text(lib_dev).c_str(), scan_state(lib_dev).c_str());
    watch(lib, 1500, Clock::now(), "before the fault");

    const auto fault_at = Clock::now();
    for (const Step &s : f.steps) {
        if (s.command == CLOSE_SOCKETS) {
            note("%s", CLOSE_SOCKETS);
            lib.close_all();
        } else if (s.command == RESTART_SCAN) {
            note("%s: %s", RESTART_SCAN, lib.scan_start().c_str());
        } else if (!s.command.empty())
            run(s.command);
        if (f.restarts_btvirt && s.command == BTVIRT_START) {
            const auto started = Clock::now();
            std::vector<int> devs;
            while ((devs = registered_now()).size() < CONTROLLERS &&
                   since_ms(started) < DEADLINE_MS)
                pause_ms(10);
            note("  %zu controllers registered %ld ms after the restart command returned",
                 devs.size(), since_ms(started));
            list_controllers();
            if (f.wait_before_up) {
                note("  nobody brings them up for 3 s");
                std::string last;
                while (since_ms(started) < 3000) {
                    std::string now = devs.empty() ? "" : flags_text(devs[0]);
                    if (now != last)
                        note("  %s", now.c_str());
                    last = now;
                    pause_ms(5);
                }
                list_controllers();
                if (!devs.empty()) {
                    LibSockets early;
                    note("  the library's open on hci%d while it is down: %s", devs[0],
                         early.open(devs[0]).c_str());
                }
            }
            for (int d : devs) {
                const long up = bring_up(d);
                note("  %s up after %ld ms more", hci(d).c_str(), up);
            }
            list_controllers();
            advertiser.halt();
            if (devs.size() >= 2 && devs[0] != lib_dev) {
                note("  the controllers have new numbers: the one under test is now hci%d",
                     devs[0]);
                lib_dev = devs[0];
                adv_dev = devs[1];
            }
        }
        note("  %s; %s", flags_text(lib_dev).c_str(), scan_state(lib_dev).c_str());
        watch(lib, s.watch_ms, fault_at, s.what);
        note("  %s", flags_text(lib_dev).c_str());
    }
    note("after: %s", scan_state(lib_dev).c_str());

    if (lib.sock >= 0) {
        note("way back 1: the library's scan start on the old socket");
        note("  %s", lib.scan_start().c_str());
        note("  %s", scan_state(lib_dev).c_str());
        watch(lib, 1500, fault_at, "old socket after its scan start");
    }

    note("way back 2: new sockets on hci%d", lib_dev);
    const long ms = reopen_until_scanning(lib, lib_dev);
    if (ms >= 0)
        watch(lib, 1500, fault_at, "new sockets");
    lib.close_all();
    int s = hci_open_dev(lib_dev);
    if (s >= 0) {
        scan_enable(s, 0, 1);
        hci_close_dev(s);
    }
    return true;
}

std::vector<Fault> faults() {
    const std::string h = hci(lib_dev);
    const std::string scan_off = "hcitool -i " + h + " cmd 0x08 0x000C 00 00";
    return {
        {"scan-off",
         "another program switches scanning off",
         {{scan_off, 3000, "after LE Set Scan Enable off from hcitool"}}},
        {"scan-params",
         "another program changes the scan parameters (off, new parameters, on)",
         {{scan_off + "; hcitool -i " + h + " cmd 0x08 0x000B 01 60 00 30 00 00 00; hcitool -i " +
               h + " cmd 0x08 0x000C 01 01",
           3000, "after off, active scan parameters, on with duplicate filter"}}},
        {"hci-reset",
         "HCI Reset command sent raw (hcitool cmd 0x03 0x0003)",
         {{"hcitool -i " + h + " cmd 0x03 0x0003", 3000, "after the raw HCI Reset"}}},
        {"hciconfig-reset",
         "hciconfig reset",
         {{"hciconfig " + h + " reset", 3000, "after hciconfig reset"}}},
        {"devreset-ioctl",
         "HCIDEVRESET ioctl",
         {{DEV_RESET_IOCTL, 3000, "after ioctl(HCIDEVRESET)"}}},
        {"down-up",
         "hciconfig down, then up",
         {{"hciconfig " + h + " down", 2500, "while down"},
          {"hciconfig " + h + " up", 3000, "after up"}}},
        {"bluetoothd",
         "bluetoothd starts, then bluetoothctl scan on, then scan off, then bluetoothd stops",
         {{std::string(DBUS_START) + "; sleep 1; " + BLUETOOTHD_START, 4000,
           "after bluetoothd started"},
          {RESTART_SCAN, 3000, "does a scan restarted beside bluetoothd hold?"},
          {"(echo 'select 00:AA:01:00:00:00'; sleep 1; echo 'scan on'; sleep 5; echo 'scan off'; "
           "sleep 2; echo quit) | bluetoothctl > /tmp/bluetoothctl.log 2>&1 &",
           4500, "bluetoothctl selected hci0 and said scan on (at about +1 s)"},
          {"", 4000, "bluetoothctl said scan off (at about +6 s)"},
          {RESTART_SCAN, 3000, "does a scan restarted after bluetoothctl's scan off hold?"},
          {"kill $(cat /tmp/bluetoothd.pid)", 3000, "after bluetoothd was stopped"},
          {"kill $(cat /tmp/dbus.pid); tr -d '\\001\\002\\015\\033' < /tmp/bluetoothctl.log | "
           "tail -n 30; grep -v 'plugin\\|sdp\\|profiles' /tmp/bluetoothd.log | tail -n 200; cat "
           "/tmp/dbus.log",
           0, "logs"}}},
        {"restart-closed",
         "btvirt stopped, the library's sockets closed, btvirt started again",
         {{BTVIRT_STOP, 2500, "after btvirt was stopped"},
          {CLOSE_SOCKETS, 0, ""},
          {BTVIRT_START, 1000, "after btvirt was started again and the controllers brought up"}},
         true,
         true},
        {"restart-open",
         "btvirt stopped and started again while the library's sockets stay open",
         {{BTVIRT_STOP, 2500, "after btvirt was stopped"},
          {BTVIRT_START, 3000, "after btvirt was started again and the controllers brought up"}},
         true},
    };
}

} // namespace

int main() {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    int measured = 0, failed = 0;
    std::string err = controllers_up(CONTROLLERS, DEADLINE_MS);
    if (!err.empty()) {
        printf("controllers: %s\n0 passed, 1 failed\n", err.c_str());
        return 1;
    }
    list_controllers();
    monitor_sock = raw_socket();
    if (monitor_sock < 0 || bind_dev(monitor_sock, HCI_DEV_NONE) < 0 ||
        set_nonblocking(monitor_sock) < 0 || let_all_through(monitor_sock) < 0)
        printf("monitor socket: %s\n", strerror(errno));
    prepare_bluez();

    // The kernel hands unknown "name=value" parameters to init as its
    // environment: osl_faults=bluetoothd,bluetoothd runs that fault twice.
    const char *chosen = getenv("osl_faults");
    const std::vector<Fault> all = faults();
    std::vector<const Fault *> order;
    if (chosen == nullptr || *chosen == '\0') {
        for (const Fault &f : all)
            order.push_back(&f);
    } else {
        std::string list = chosen;
        size_t at = 0;
        while (at <= list.size()) {
            size_t end = list.find(',', at);
            if (end == std::string::npos)
                end = list.size();
            const std::string key = list.substr(at, end - at);
            bool known = false;
            for (const Fault &f : all)
                if (key == f.key) {
                    order.push_back(&f);
                    known = true;
                }
            if (!known) {
                printf("no fault called \"%s\"\n", key.c_str());
                failed++;
            }
            at = end + 1;
        }
    }
    for (const Fault *f : order) {
        const bool ok = measure(*f);
        ok ? measured++ : failed++;
    }
    printf("%d passed, %d failed\n", measured, failed);
    return failed == 0 ? 0 : 1;
}
