// Platform resources other than the adapter: the lock file, the sysfs GPIO
// tree and the POSIX interval timer. Each is reached through a variable that
// defaults to the real thing, so tests can point it at a scratch directory or
// at a timer they drive by hand.
#pragma once

#include <ctime>
#include <csignal>

inline constexpr const char *OSL_LOCK_PATH_DEFAULT = "/tmp/osl";
inline constexpr const char *OSL_GPIO_ROOT_DEFAULT = "/sys/class/gpio";

extern const char *osl_lock_path; // lock file that keeps a second process out
extern const char *osl_gpio_root; // directory holding export, unexport and gpioN/

struct osl_timer_ops {
    int (*create)(timer_t *id); // timer_create(CLOCK_REALTIME, NULL, id)
    int (*arm)(timer_t id, const struct itimerspec *setting); // timer_settime(id, 0, setting, NULL)
    int (*remove)(timer_t id);                                // timer_delete(id)
};

extern const osl_timer_ops osl_timer_posix;
extern const osl_timer_ops *osl_timer;
