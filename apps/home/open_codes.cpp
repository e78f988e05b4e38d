// What each result of osl_bt_open means, for the user who would otherwise see
// the program end with status 2 and, for some causes, no word from the library.
#include <cstdio>

#include "core/platform.h"
#include "home.h"

namespace {

struct Lamp {
    int gpio;
    const char *role;
};
constexpr Lamp LAMPS[] = {
    {HOME_GPIO_RX, "receive"}, {HOME_GPIO_TX, "transmit"}, {HOME_GPIO_PWR, "power"}};

// Which file a code is about, so its path can be named.
enum class About { Nothing, LockFile, GpioExport, GpioDirection, GpioValue };

struct OpenCode {
    int code;
    About about;
    int lamp; // index into LAMPS for the GPIO causes
    const char *meaning;
};

// The lamps' causes come in the order the library sets each lamp up: export
// the line, make it an output, open its value file; lamps 1, 2, 3.
constexpr OpenCode OPEN_CODES[] = {
    {41, About::LockFile, 0, "another program has the library open: it holds the lock file"},
    {42, About::Nothing, 0, "the record queue could not be set up"},
    {200, About::GpioExport, 0, "could not be exported"},
    {201, About::GpioDirection, 0, "could not be made an output"},
    {202, About::GpioValue, 0, "could not be switched: its value file did not open"},
    {203, About::GpioExport, 1, "could not be exported"},
    {204, About::GpioDirection, 1, "could not be made an output"},
    {205, About::GpioValue, 1, "could not be switched: its value file did not open"},
    {206, About::GpioExport, 2, "could not be exported"},
    {207, About::GpioDirection, 2, "could not be made an output"},
    {208, About::GpioValue, 2, "could not be switched: its value file did not open"},
    {2, About::Nothing, 0, "no Bluetooth adapter found (is one present, and up?)"},
    {4, About::Nothing, 0,
     "the raw HCI socket could not be created (no Bluetooth in the kernel, or no CAP_NET_RAW)"},
    {6, About::Nothing, 0, "the raw HCI socket could not be bound to the adapter"},
    {8, About::Nothing, 0, "the HCI socket could not be made non-blocking"},
    {22, About::Nothing, 0,
     "the adapter refused the scan parameters twice (is another program scanning?)"},
    {24, About::Nothing, 0, "the adapter refused to start scanning"},
    {26, About::Nothing, 0, "the HCI socket's event filter could not be read"},
    {28, About::Nothing, 0, "the HCI socket's event filter could not be set"},
    {44, About::Nothing, 0, "the 10 ms tick timer could not be created or started"},
};

std::string format(const char *fmt, auto... args) {
    char text[512];
    snprintf(text, sizeof text, fmt, args...);
    return text;
}

} // namespace

std::string open_code_meaning(int code) {
    for (const OpenCode &c : OPEN_CODES) {
        if (c.code != code)
            continue;
        const Lamp &lamp = LAMPS[c.lamp];
        switch (c.about) {
        case About::Nothing:
            return c.meaning;
        case About::LockFile:
            return format("%s %s", c.meaning, osl_lock_path);
        case About::GpioExport:
            return format("GPIO %d (%s lamp) %s: %s/export could not be opened for writing (no "
                          "sysfs GPIO here, or no permission)",
                          lamp.gpio, lamp.role, c.meaning, osl_gpio_root);
        case About::GpioDirection:
            return format("GPIO %d (%s lamp) %s: %s/gpio%d/direction could not be written",
                          lamp.gpio, lamp.role, c.meaning, osl_gpio_root, lamp.gpio);
        case About::GpioValue:
            return format("GPIO %d (%s lamp) %s: %s/gpio%d/value", lamp.gpio, lamp.role, c.meaning,
                          osl_gpio_root, lamp.gpio);
        }
    }
    return "a code this program does not know";
}
