#include "registry.h"

osl_relay_entry osl_relay_table[OSL_MAX_ACTORS];
osl_dimmer_entry osl_dimmer_table[OSL_MAX_ACTORS];
osl_pwm_entry osl_pwm_table[OSL_MAX_ACTORS];
volatile int32_t osl_relay_count;
volatile int32_t osl_dimmer_count;
volatile int32_t osl_pwm_count;

namespace {

// A running countdown comes to rest at 1 (fired); 0 (idle) stays 0.
template <typename Entry> void count_down(Entry *table, int32_t count) {
    for (int32_t i = 0; i < count; i++) {
        uint32_t t = table[i].trigger;
        if (t > 1)
            table[i].trigger = t - 1;
    }
}

} // namespace

void osl_actor_triggers_tick() {
    count_down(osl_relay_table, osl_relay_count);
    count_down(osl_dimmer_table, osl_dimmer_count);
    count_down(osl_pwm_table, osl_pwm_count);
}
