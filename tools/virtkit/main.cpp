// osl_virtkit: plays the virtual kit on real HCI controllers, so that a board
// (or the library on another controller) hears sensors and actors that are
// not there, and its commands reach actors that obey them.
//
//   osl_virtkit [-v] [--seconds N] HCI_DEV [HCI_DEV ...]     e.g. osl_virtkit 1
//   osl_virtkit --help
//
// -v prints every frame sent, with the bytes its receiver unseals. SIGUSR1
// switches the relay by hand (channel 3 only), as someone at the relay would,
// so a program's comply operation has something to put right.
//
// Each device advertises under its own address (random address type). A
// controller refuses a new random address while it scans or advertises, so
// a controller that plays several devices stops its command scan, changes
// address, advertises the frame and scans again; a controller that plays
// one address sets it once, before it starts scanning. Addresses are dealt
// to the controllers in turn: with as many controllers as the kit has
// addresses (six), each device keeps a controller and its address.
//
// Every frame is advertised once per advertising enable (some controllers,
// btvirt's among them, report legacy advertising once per enable). Commands
// are heard on every controller and offered to the kit's actors.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/ioctl.h>
#include <unistd.h>

#include "sim/hci_link.h"
#include "sim/virtkit/kit.h"

namespace {

using namespace osl;
namespace link = osl::sim::link;
using virtkit::AdvData;
using virtkit::Device;
using virtkit::Kit;

// The kernel's HCIDEVUP request, as BlueZ's hci.h defines it.
constexpr unsigned long DEV_UP = _IOW('H', 201, int);
// How long one frame is advertised: a few advertising events at 20 ms.
constexpr int FRAME_ADVERTISE_MS = 80;
constexpr int IDLE_POLL_MS = 5;
constexpr int MAX_CONTROLLERS = Kit::DEVICES;

volatile sig_atomic_t stop_requested = 0;
void on_stop(int) {
    stop_requested = 1;
}

// SIGUSR1: someone switches the relay by hand, behind the program that
// commands it (the relay's own button): channel 3 only.
constexpr uint8_t HAND_SWITCHED_CHANNELS = 0x08;
volatile sig_atomic_t hand_switch_requested = 0;
void on_hand_switch(int) {
    hand_switch_requested = 1;
}

bool verbose = false;

struct Controller {
    int dev = -1;
    int cmd = -1;  // requests (hci_send_req reads its answers here)
    int scan = -1; // advertising reports, read without blocking
    Device *devices[Kit::DEVICES] = {};
    int count = 0;
    bool scanning = false;
    bool address_set = false;
    virtkit::Addr address{};
};

Controller controllers[MAX_CONTROLLERS];
int controller_count = 0;
Kit kit;
struct timespec started;

void sleep_ms(int ms) {
    struct timespec t = {ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR && !stop_requested) {
    }
}

uint32_t now_ms() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint32_t>((t.tv_sec - started.tv_sec) * 1000 +
                                 (t.tv_nsec - started.tv_nsec) / 1000000);
}

void addr_text(const virtkit::Addr &a, char out[13]) {
    snprintf(out, 13, "%02X%02X%02X%02X%02X%02X", a[0], a[1], a[2], a[3], a[4], a[5]);
}

// What became of a request with a one-byte status answer: nullptr when done,
// else a message.
const char *outcome(int result, uint8_t status) {
    if (result < 0)
        return strerror(errno);
    if (status != 0) {
        static char text[48];
        snprintf(text, sizeof text, "refused by the controller (status 0x%02X)", status);
        return text;
    }
    return nullptr;
}

bool scan(Controller &c, bool on) {
    if (c.scanning == on)
        return true;
    if (link::set_scan_enable(c.cmd, on) < 0) {
        fprintf(stderr, "osl_virtkit: hci%d: scan %s: %s\n", c.dev, on ? "on" : "off",
                strerror(errno));
        return false;
    }
    c.scanning = on;
    return true;
}

bool set_address(Controller &c, const virtkit::Addr &a) {
    if (c.address_set && c.address == a)
        return true;
    uint8_t status;
    const int sent = link::set_random_address(c.cmd, a.data(), &status);
    if (const char *err = outcome(sent, status)) {
        char text[13];
        addr_text(a, text);
        fprintf(stderr, "osl_virtkit: hci%d: random address %s: %s\n", c.dev, text, err);
        return false;
    }
    c.address = a;
    c.address_set = true;
    return true;
}

Controller *controller_of(const Device &d) {
    for (int i = 0; i < controller_count; i++)
        for (int j = 0; j < controllers[i].count; j++)
            if (controllers[i].devices[j] == &d)
                return &controllers[i];
    return nullptr;
}

Controller *controller_of_address(const virtkit::Addr &a) {
    for (int i = 0; i < controller_count; i++)
        for (int j = 0; j < controllers[i].count; j++)
            if (controllers[i].devices[j]->addr() == a)
                return &controllers[i];
    return nullptr;
}

// Offers every command heard on the controller to the kit's actors.
void listen(Controller &c) {
    uint8_t event[64 + 255];
    for (;;) {
        ssize_t n = link::read(c.scan, event, sizeof event);
        if (n <= 0)
            return;
        size_t len = 0;
        const uint8_t *data = link::report_data(event, static_cast<size_t>(n), &len);
        if (data == nullptr)
            continue;
        if (virtkit::Actor *a = kit.hear(data, len)) {
            char text[13];
            addr_text(a->addr(), text);
            printf("hci%d: %s %s obeyed a command (%u so far)\n", c.dev, a->name(), text,
                   a->obeyed());
        }
    }
}

// "hci0: sent METEO 111111111111 <16 bytes>": a sealed frame with the bytes
// its receiver unseals (a SEC_KEY announcement shows the key), the plain air
// frame with its advertising data. Enough to know exactly what a receiver
// must make of every frame.
void print_sent(const Controller &c, const Device &d, const AdvData &data) {
    char addr[13];
    addr_text(d.addr(), addr);
    const bool unsealed_frame = d.type() == 0; // the air sensor's
    const uint8_t *bytes = unsealed_frame ? data.bytes : data.plain;
    const size_t len = unsealed_frame ? data.len : sizeof data.plain;
    const bool sec_key = !unsealed_frame && virtkit::is_sec_key(data);
    printf("hci%d: sent %s %s ", c.dev, sec_key ? "SEC_KEY" : d.name(), addr);
    for (size_t i = 0; i < len; i++)
        printf("%02X", bytes[i]);
    putchar('\n');
}

void send(void *, Device &d, const AdvData &data) {
    Controller *c = controller_of(d);
    if (c == nullptr)
        return;
    listen(*c);
    if (!(c->address_set && c->address == d.addr())) {
        // Another program may have switched the command scan off behind the
        // kit's back (bluetoothd does, on every controller it manages): the
        // controller then refuses to switch it off again, and that refusal
        // must not silence the device for good. Whether the address change
        // is taken tells whether the scan is off.
        const bool switched_off = scan(*c, false);
        if (!switched_off)
            c->scanning = false;
        if (!set_address(*c, d.addr())) {
            if (!switched_off)
                c->scanning = true; // still on: switch it off next time
            return;
        }
    }
    uint8_t status;
    const int sent = link::set_advertising_data(c->cmd, data.bytes, data.len, &status);
    if (const char *err = outcome(sent, status)) {
        fprintf(stderr, "osl_virtkit: hci%d: advertising data: %s\n", c->dev, err);
        return;
    }
    if (link::set_advertise_enable(c->cmd, true) < 0) {
        fprintf(stderr, "osl_virtkit: hci%d: advertising on: %s\n", c->dev, strerror(errno));
        return;
    }
    // Told as soon as it is on the air, before a receiver can have shown it
    // for long.
    if (verbose)
        print_sent(*c, d, data);
    if (!c->scanning)
        scan(*c, true);
    sleep_ms(FRAME_ADVERTISE_MS);
    link::set_advertise_enable(c->cmd, false);
    listen(*c);
}

bool open_controller(Controller &c) {
    c.cmd = link::open_socket();
    c.scan = c.cmd < 0 ? -1 : link::open_socket();
    if (c.cmd < 0 || c.scan < 0) {
        fprintf(stderr, "osl_virtkit: hci%d: no HCI socket: %s\n", c.dev, strerror(errno));
        return false;
    }
    if (link::bind(c.cmd, c.dev) < 0 || link::bind(c.scan, c.dev) < 0) {
        fprintf(stderr, "osl_virtkit: hci%d: no such controller, or it is down: %s\n", c.dev,
                strerror(errno));
        return false;
    }
    // A controller that is down takes no commands: bring it up, as
    // `hciconfig hciN up` does. EALREADY: it is up, or the kernel is still
    // setting it up.
    if (ioctl(c.cmd, DEV_UP, c.dev) < 0 && errno != EALREADY) {
        fprintf(stderr, "osl_virtkit: hci%d: cannot bring the controller up: %s\n", c.dev,
                strerror(errno));
        return false;
    }
    if (link::listen_le_meta(c.scan) < 0) {
        fprintf(stderr, "osl_virtkit: hci%d: socket set-up: %s\n", c.dev, strerror(errno));
        return false;
    }
    // Whatever an earlier run left on: advertising and scanning off, so the
    // controller takes a random address.
    link::set_advertise_enable(c.cmd, false);
    link::set_scan_enable(c.cmd, false);
    if (!set_address(c, c.devices[0]->addr()))
        return false;
    uint8_t status;
    const int sent = link::set_advertising_parameters(c.cmd, &status);
    if (const char *err = outcome(sent, status)) {
        fprintf(stderr, "osl_virtkit: hci%d: advertising parameters: %s\n", c.dev, err);
        return false;
    }
    if (link::set_scan_parameters(c.cmd) < 0) {
        fprintf(stderr, "osl_virtkit: hci%d: scan parameters: %s\n", c.dev, strerror(errno));
        return false;
    }
    return scan(c, true);
}

void close_controller(Controller &c) {
    if (c.cmd >= 0) {
        link::set_advertise_enable(c.cmd, false);
        link::set_scan_enable(c.cmd, false);
        link::close(c.cmd);
    }
    if (c.scan >= 0)
        link::close(c.scan);
}

// The usage text, to standard error after a wrong argument (status 2), or
// to standard output when asked for with --help (status 0). The manual page
// osl_virtkit(1) describes every option listed here; a test holds them
// together.
int usage(FILE *to = stderr, int status = 2) {
    fputs("usage: osl_virtkit [-v] [--seconds N] HCI_DEV [HCI_DEV ...]   e.g. osl_virtkit 1\n"
          "plays the virtual kit's sensors and actors on the given HCI controllers\n"
          "  -v           print every frame sent, with the bytes its receiver unseals\n"
          "  --seconds N  stop after N seconds (else at Ctrl-C)\n"
          "  -h, --help   print this help and exit\n"
          "SIGUSR1 switches the relay by hand: channel 3 only\n",
          to);
    return status;
}

} // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    unsigned long seconds = 0;
    for (int i = 1; i < argc; i++) {
        char *end = nullptr;
        if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
            return usage(stdout, 0);
        } else if (strcmp(argv[i], "-v") == 0) {
            verbose = true;
        } else if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = strtoul(argv[++i], &end, 10);
            if (*end != '\0')
                return usage();
        } else {
            const char *text = argv[i];
            if (strncmp(text, "hci", 3) == 0)
                text += 3;
            long dev = strtol(text, &end, 10);
            if (*text == '\0' || *end != '\0' || dev < 0 || dev > 0xFFFF ||
                controller_count == MAX_CONTROLLERS)
                return usage();
            controllers[controller_count++].dev = static_cast<int>(dev);
        }
    }
    if (controller_count == 0)
        return usage();

    // Addresses dealt in turn: devices that share an address (the weather
    // sensors, the door sensors) share a controller, so with enough
    // controllers none ever changes its address. Spare controllers idle.
    int dealt = 0;
    for (Device *d : kit.devices) {
        Controller *c = controller_of_address(d->addr());
        if (c == nullptr)
            c = &controllers[dealt++ % controller_count];
        c->devices[c->count++] = d;
    }
    if (controller_count > dealt)
        controller_count = dealt;

    struct sigaction sa = {};
    sa.sa_handler = on_stop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sa.sa_handler = on_hand_switch;
    sigaction(SIGUSR1, &sa, nullptr);

    int status = 0;
    for (int i = 0; i < controller_count; i++) {
        Controller &c = controllers[i];
        if (!open_controller(c)) {
            status = 1;
            break;
        }
        bool rotating = false;
        for (int j = 1; j < c.count; j++)
            rotating = rotating || c.devices[j]->addr() != c.devices[0]->addr();
        for (int j = 0; j < c.count; j++) {
            char text[13];
            addr_text(c.devices[j]->addr(), text);
            printf("hci%d: %s at %s%s\n", c.dev, c.devices[j]->name(), text,
                   rotating ? " (address changed per frame, command scan paused meanwhile)" : "");
        }
    }
    if (status == 0) {
        for (const virtkit::Actor *a : kit.actors) {
            char text[13];
            addr_text(a->addr(), text);
            printf("actor %s %s key ", a->name(), text);
            for (uint8_t b : a->key())
                printf("%02X", b);
            putchar('\n');
        }
        clock_gettime(CLOCK_MONOTONIC, &started);
        while (!stop_requested && (seconds == 0 || now_ms() / 1000 < seconds)) {
            if (hand_switch_requested) {
                hand_switch_requested = 0;
                kit.relay.channels = HAND_SWITCHED_CHANNELS;
                char text[13];
                addr_text(kit.relay.addr(), text);
                printf("%s %s switched by hand: channels %02X\n", kit.relay.name(), text,
                       HAND_SWITCHED_CHANNELS);
            }
            kit.run_until(now_ms(), send, nullptr);
            for (int i = 0; i < controller_count; i++)
                listen(controllers[i]);
            sleep_ms(IDLE_POLL_MS);
        }
        printf("osl_virtkit: %u rounds played\n", kit.rounds());
    }
    for (int i = 0; i < controller_count; i++)
        close_controller(controllers[i]);
    return status;
}
