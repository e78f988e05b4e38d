#include "platform.h"

const char *osl_lock_path = OSL_LOCK_PATH_DEFAULT;
const char *osl_gpio_root = OSL_GPIO_ROOT_DEFAULT;

namespace {

// No event description: every expiry sends SIGALRM to the process.
int posix_create(timer_t *id) {
    return timer_create(CLOCK_REALTIME, nullptr, id);
}
int posix_arm(timer_t id, const struct itimerspec *setting) {
    return timer_settime(id, 0, setting, nullptr);
}
int posix_remove(timer_t id) {
    return timer_delete(id);
}

} // namespace

const osl_timer_ops osl_timer_posix = {posix_create, posix_arm, posix_remove};
const osl_timer_ops *osl_timer = &osl_timer_posix;
