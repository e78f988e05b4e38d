#include "platform.h"

const char *osl_lock_path = OSL_LOCK_PATH_DEFAULT;
const char *osl_gpio_root = OSL_GPIO_ROOT_DEFAULT;

namespace {

// No event description: every expiry sends SIGALRM to the process.
int osl_posix_create(timer_t *id) {
    return timer_create(CLOCK_REALTIME, nullptr, id);
}
int osl_posix_arm(timer_t id, const struct itimerspec *setting) {
    return timer_settime(id, 0, setting, nullptr);
}
int osl_posix_remove(timer_t id) {
    return timer_delete(id);
}

} // namespace

const osl_timer_ops osl_timer_posix = {osl_posix_create, osl_posix_arm, osl_posix_remove};
const osl_timer_ops *osl_timer = &osl_timer_posix;
