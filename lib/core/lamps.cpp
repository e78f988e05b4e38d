#include "lamps.h"

#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "platform.h"

osl_lamps_t osl_lamps;

namespace {

// Room for any redirected root; the real paths need far less.
using path_buf = char[PATH_MAX];

int osl_open_write(const char *path) {
    return open(path, O_WRONLY | O_CLOEXEC);
}

// Export and unexport take the line number as bare decimal text.
int osl_write_line_number(const char *file, int gpio) {
    path_buf path;
    snprintf(path, sizeof path, "%s/%s", osl_gpio_root, file);
    int fd = osl_open_write(path);
    if (fd < 0)
        return -1;
    char number[12];
    int n = snprintf(number, sizeof number, "%d", gpio);
    // The kernel refuses to export a line twice; the line is usable all the
    // same, so the write's result does not matter.
    ssize_t ignored = write(fd, number, static_cast<size_t>(n));
    (void)ignored;
    close(fd);
    return 0;
}

} // namespace

int osl_gpio_export(int gpio) {
    return osl_write_line_number("export", gpio);
}

int osl_gpio_unexport(int gpio) {
    return osl_write_line_number("unexport", gpio);
}

int osl_gpio_set_direction(int gpio, int output) {
    path_buf path;
    snprintf(path, sizeof path, "%s/gpio%d/direction", osl_gpio_root, gpio);
    int fd = osl_open_write(path);
    if (fd < 0)
        return -1;
    ssize_t written = output ? write(fd, "out", 3) : write(fd, "in", 2);
    close(fd);
    return written == -1 ? -1 : 0;
}

int osl_gpio_open_value(int gpio) {
    path_buf path;
    snprintf(path, sizeof path, "%s/gpio%d/value", osl_gpio_root, gpio);
    return osl_open_write(path);
}

// Runs in the tick too: write(2) is async-signal-safe. The descriptor is
// never repositioned, so sysfs sees each byte as a fresh value.
int osl_lamp_set(osl_lamps_t *lamps, int lamp, int on) {
    if (lamp < LAMP_RX || lamp > LAMP_PWR)
        return 0;
    int fd = lamps->value_fd[lamp - 1];
    if (fd == 0)
        return 0;
    return write(fd, on ? "1" : "0", 1) == 1 ? 0 : -1;
}

void osl_lamps_close(osl_lamps_t *lamps) {
    for (int lamp = LAMP_RX; lamp <= LAMP_PWR; lamp++) {
        int &fd = lamps->value_fd[lamp - 1];
        if (fd != 0) {
            osl_lamp_set(lamps, lamp, 0);
            close(fd);
            fd = 0;
        }
    }
}

void osl_lamps_release(osl_lamps_t *lamps) {
    for (int lamp = LAMP_RX; lamp <= LAMP_PWR; lamp++) {
        int &gpio = lamps->gpio[lamp - 1];
        if (gpio != 0) {
            osl_gpio_unexport(gpio);
            gpio = 0;
        }
    }
}

void osl_rx_lamp_flash() {
    if (osl_lamps.osl_rx_lamp_count == 0) {
        osl_lamp_set(&osl_lamps, LAMP_RX, 1);
        osl_lamps.osl_rx_lamp_count = 1;
    }
}

void osl_rx_lamp_tick() {
    uint32_t count = osl_lamps.osl_rx_lamp_count;
    if (count == 0)
        return;
    osl_lamps.osl_rx_lamp_count = ++count;
    if (count > OSL_RX_LAMP_TICKS) {
        osl_lamp_set(&osl_lamps, LAMP_RX, 0);
        osl_lamps.osl_rx_lamp_count = 0;
    }
}

int osl_lamp_setup(osl_lamps_t *lamps, int lamp, int gpio) {
    if (gpio < OSL_GPIO_MIN || gpio > OSL_GPIO_MAX)
        return 0; // no lamp on this line, and no error
    if (osl_gpio_export(gpio) != 0)
        return OSL_LAMP_STEP_EXPORT;
    if (osl_gpio_set_direction(gpio, 1) != 0)
        return OSL_LAMP_STEP_DIRECTION;
    lamps->gpio[lamp - 1] = gpio;
    // Descriptor 0 would read as "no lamp" everywhere else, so it counts as a failure.
    int fd = osl_gpio_open_value(gpio);
    if (fd <= 0)
        return OSL_LAMP_STEP_VALUE;
    lamps->value_fd[lamp - 1] = fd;
    return 0;
}
