// The lamps on real sysfs GPIO lines: the library opened as ostrel_home opens
// it (lamps on GPIO 26, 19, 13), a frame accepted, the library closed, and
// every line change read back from the test GPIO controller's kernel log.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "guest.h"

namespace osl::vm {

namespace {

constexpr int PIN_RX = 26, PIN_TX = 19, PIN_PWR = 13;

std::string read_text(const std::string &path) {
    std::string text;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "(" + path + ": " + strerror(errno) + ")";
    char buf[64];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    close(fd);
    return text;
}

std::string gpio_file(int pin, const char *name) {
    return "/sys/class/gpio/gpio" + std::to_string(pin) + "/" + name;
}

std::string event(int pin, const std::string &what) {
    return GPIO_LOG_PREFIX + std::string("line ") + std::to_string(pin) + " " + what;
}

std::string joined(const std::vector<std::string> &lines) {
    std::string s;
    for (const std::string &l : lines)
        s += "\n    " + l;
    return s;
}

} // namespace

KernelLog::~KernelLog() {
    if (fd_ >= 0)
        close(fd_);
}

bool KernelLog::open() {
    fd_ = ::open("/dev/kmsg", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    return fd_ >= 0 && lseek(fd_, 0, SEEK_END) >= 0;
}

std::vector<std::string> KernelLog::take(const std::string &prefix) {
    std::vector<std::string> out;
    char buf[8192];
    for (;;) {
        // One record per read: "priority,sequence,time,flags;message\n".
        ssize_t n = read(fd_, buf, sizeof buf - 1);
        if (n < 0 && errno == EPIPE)
            continue; // older records were overwritten; the next read goes on
        if (n <= 0)
            return out;
        buf[n] = '\0';
        const char *text = strchr(buf, ';');
        if (text == nullptr)
            continue;
        text++;
        const char *end = strchr(text, '\n');
        std::string message(text, end != nullptr ? end : buf + n);
        if (message.compare(0, prefix.size(), prefix) == 0)
            out.push_back(message);
    }
}

void lamp_phase(Tally &t, int device_dev) {
    KernelLog kernel_log;
    if (!t.check(kernel_log.open(), "lamps: kernel log readable"))
        return;
    Device device;
    std::string err = device.open(device_dev, DEVICE_ADDR);
    if (!t.check(err.empty(), "lamps: device set up", err))
        return;

    const int opened = osl_bt_open(PIN_RX, PIN_TX, PIN_PWR, 0);
    if (!t.check(opened == 0, "lamps: osl_bt_open(26, 19, 13) returns 0",
                 "got " + std::to_string(opened)))
        return;
    // Each line exported, made an output, all lit, then receive and transmit
    // dark again once the tick runs.
    std::vector<std::string> expected = {
        event(PIN_RX, "request"), event(PIN_RX, "out 0"),    event(PIN_TX, "request"),
        event(PIN_TX, "out 0"),   event(PIN_PWR, "request"), event(PIN_PWR, "out 0"),
        event(PIN_PWR, "= 1"),    event(PIN_RX, "= 1"),      event(PIN_TX, "= 1"),
        event(PIN_RX, "= 0"),     event(PIN_TX, "= 0"),
    };
    struct Line {
        int pin;
        const char *value;
    };
    for (const Line &l : {Line{PIN_RX, "0\n"}, Line{PIN_TX, "0\n"}, Line{PIN_PWR, "1\n"}}) {
        const std::string dir = read_text(gpio_file(l.pin, "direction"));
        const std::string value = read_text(gpio_file(l.pin, "value"));
        t.check(dir == "out\n" && value == l.value,
                "lamps: GPIO " + std::to_string(l.pin) + " is an output at " + l.value[0],
                "direction " + visible(dir) + ", value " + visible(value));
    }

    // An accepted frame flashes the receive lamp for five ticks.
    const Block plain = meteo(2000, 213, 30, {0x01, 0x08, 0xE8, 45, 120, 0, 0, 0, 0});
    err = device.start(osl::test::standard_adv_data(
        osl::test::seal_payload(plain, OSL_DEV_METEO, osl::test::sensor_key())));
    t.check(err.empty(), "lamps: frame advertised", err);
    osl_record rec{};
    bool got = pump_until([&] { return osl_bt_read(&rec) == OSL_DEV_METEO; });
    t.check(got, "lamps: frame received");
    err = device.stop();
    t.check(err.empty(), "lamps: advertising stopped", err);
    expected.push_back(event(PIN_RX, "= 1"));
    expected.push_back(event(PIN_RX, "= 0"));

    std::vector<std::string> events;
    pump_until([&] {
        for (std::string &e : kernel_log.take(GPIO_LOG_PREFIX))
            events.push_back(std::move(e));
        return events.size() >= expected.size();
    });
    t.check(events == expected, "lamps: open lights all three, a frame flashes the receive lamp",
            "got:" + joined(events) + "\n  expected:" + joined(expected));

    // Closing darkens the lamps, 1, 2, 3, then releases their lines.
    osl_bt_close();
    events = kernel_log.take(GPIO_LOG_PREFIX);
    expected = {
        event(PIN_RX, "= 0"),  event(PIN_TX, "= 0"),  event(PIN_PWR, "= 0"),
        event(PIN_RX, "free"), event(PIN_TX, "free"), event(PIN_PWR, "free"),
    };
    t.check(events == expected, "lamps: close darkens all three, then unexports them",
            "got:" + joined(events) + "\n  expected:" + joined(expected));
    for (int pin : {PIN_RX, PIN_TX, PIN_PWR}) {
        const std::string dir = "/sys/class/gpio/gpio" + std::to_string(pin);
        t.check(access(dir.c_str(), F_OK) != 0 && errno == ENOENT,
                "lamps: " + dir + " gone after close");
    }
}

} // namespace osl::vm
