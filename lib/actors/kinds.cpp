#include "kinds.h"

#include "frames/fields.h"

#include "osl.h"

namespace {

template <typename Entry> osl_actor_ref osl_ref_of(Entry &e) {
    if constexpr (requires { e.wanted[0]; })
        return {e.name, e.addr, e.sec_key, &e.trigger, e.wanted, e.reported, &e.schedule};
    else
        return {e.name, e.addr, e.sec_key, &e.trigger, &e.wanted, &e.reported, &e.schedule};
}

osl_actor_ref osl_relay_ref(int i) {
    return osl_ref_of(osl_relay_table[i]);
}
osl_actor_ref osl_dimmer_ref(int i) {
    return osl_ref_of(osl_dimmer_table[i]);
}
osl_actor_ref osl_pwm_ref(int i) {
    return osl_ref_of(osl_pwm_table[i]);
}

} // namespace

// Where each kind reports its state is its family's (frames/fields.h).
const osl_actor_kind osl_actor_kinds[OSL_ACTOR_KINDS] = {
    {OSL_DEV_RELAY, "relay", 1, OSL_RELAY_CHANNELS_AT, &osl_relay_count, osl_relay_ref},
    {OSL_DEV_DIMMER, "dimmer", 1, OSL_DIMMER_LEVEL_AT, &osl_dimmer_count, osl_dimmer_ref},
    {OSL_DEV_PWM, "pwm", 3, OSL_PWM_LEVELS_AT, &osl_pwm_count, osl_pwm_ref},
};

const osl_actor_kind *osl_actor_kind_of(uint8_t type) {
    for (const osl_actor_kind &k : osl_actor_kinds)
        if (k.type == type)
            return &k;
    return nullptr;
}
