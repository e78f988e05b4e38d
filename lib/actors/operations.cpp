// The public operations on registered actors: switch and set them, read the
// state they last reported, make them comply with the wanted state, and a
// one-shot timer per actor, the trigger.
//
// `wanted` is written only here and `reported` only by the reception of the
// actor's frames; comply sends the whole wanted state again whenever a frame
// shows the two apart, so a lost command is mended at the next frame.
#include <cstdio>

#include "core/addr.h"
#include "core/log.h"
#include "core/text.h"
#include "kinds.h"
#include "osl.h"
#include "registry.h"
#include "transmit.h"

namespace {

// Relay command bytes: 0x80 | mask switches channels on, the mask alone
// switches them off, 0xC0 | bits sets all channels at once.
constexpr uint8_t RELAY_CHANNELS = 0x0F;
constexpr uint8_t RELAY_ON = 0x80;
constexpr uint8_t RELAY_SET_ALL = 0xC0;
constexpr uint8_t RELAY_SET_ALL_BITS = 0x3F;
constexpr uint8_t LEVEL_MAX = 100;
// A trigger counts ticks of 10 ms; it runs for a day at most.
constexpr uint32_t TRIGGER_TICKS_PER_S = 100;
constexpr uint32_t TRIGGER_MAX_S = 86400;

// Shown for a name or record the caller passed as a null pointer.
constexpr const char *NULL_TEXT = "(null)";

// Starts a line of the actor operations when OSL_LOG_ACTORS is on (or when
// `always`); false when the line is not to be printed.
bool osl_line_start(bool always = false) {
    if (!always && !osl_log_on(OSL_LOG_ACTORS))
        return false;
    osl_print_time_prefix(OSL_LOG_TIME_FORMAT);
    return true;
}

void osl_line_end() {
    fflush(stdout);
}

// The entry registered under the name, or -1 after the operation's no-name
// line ("[osl err] <op>:no name:'<name>'").
int osl_lookup(osl_actor_kind_id kind, const char *op, const char *name, bool always = false) {
    int i = osl_actor_find_name(kind, name); // -1 for a null name
    if (i < 0 && osl_line_start(always)) {
        printf("[osl err] %s:no name:'%s'\n\r", op, name != nullptr ? name : NULL_TEXT);
        osl_line_end();
    }
    return i;
}

// The entry whose address a record carries, or -1 after the comply no-dev
// line, which ends with the address and no line end.
int osl_lookup_record(osl_actor_kind_id kind, const osl_record *rec) {
    const uint8_t *addr = rec != nullptr ? rec->addr : nullptr;
    int i = addr == nullptr ? -1 : osl_actor_find_addr(kind, addr);
    if (i < 0 && osl_line_start()) {
        printf("[osl err] %s_comply:no dev:", osl_actor_kinds[kind].name);
        if (addr != nullptr)
            osl_print_addr(addr, OSL_ADDR_0X);
        else
            fputs(NULL_TEXT, stdout);
        osl_line_end();
    }
    return i;
}

uint8_t osl_level(uint8_t v) {
    return v > LEVEL_MAX ? LEVEL_MAX : v;
}

osl_actor_ref osl_entry(osl_actor_kind_id kind, int i) {
    return osl_actor_kinds[kind].entry(i);
}

// Comply: 0 when the record's state equals `wanted` (all channels), else the
// whole wanted state is sent and the line printed; -4 sent, -6 failed.
bool osl_matches(osl_actor_kind_id kind, int i, const osl_record *rec) {
    const osl_actor_kind &k = osl_actor_kinds[kind];
    const osl_actor_ref e = k.entry(i);
    for (int c = 0; c < k.channels; c++)
        if (e.wanted[c] != rec->payload[k.reported_at + c])
            return false;
    if (osl_line_start()) {
        printf("[osl comply] %s '%s' ok\n\r", k.name, e.name);
        osl_line_end();
    }
    return true;
}

int osl_comply_result(int sent) {
    return sent == 0 ? OSL_COMPLY_RESENT : OSL_COMPLY_SEND_FAILED;
}

// --- relays -----------------------------------------------------------------

int osl_relay_switch(const char *op, const char *name, uint8_t mask, bool on) {
    int i = osl_lookup(OSL_KIND_RELAY, op, name);
    if (i < 0)
        return OSL_NO_ACTOR;
    osl_relay_entry &e = osl_relay_table[i];
    mask &= RELAY_CHANNELS;
    e.wanted = on ? static_cast<uint8_t>(e.wanted | mask) : static_cast<uint8_t>(e.wanted & ~mask);
    const uint8_t command = on ? static_cast<uint8_t>(RELAY_ON | mask) : mask;
    int r = osl_send_command(i, &command, OSL_DEV_RELAY);
    if (osl_line_start()) {
        printf("[osl send] %s '%s' %.2X->%.2X [%d]\n\r", op, e.name, e.reported, e.wanted, r);
        osl_line_end();
    }
    return r;
}

int osl_relay_get(const char *op, const char *name, int channel) {
    int i = osl_lookup(OSL_KIND_RELAY, op, name);
    if (i < 0)
        return OSL_NO_ACTOR;
    return (osl_relay_table[i].reported >> channel) & 1;
}

// --- triggers, alike for every kind -------------------------------------------

int osl_trigger_set(osl_actor_kind_id kind, const char *op, const char *name, uint32_t seconds) {
    int i = osl_lookup(kind, op, name);
    if (i < 0)
        return OSL_NO_ACTOR;
    if (seconds > TRIGGER_MAX_S)
        seconds = TRIGGER_MAX_S;
    *osl_entry(kind, i).trigger = seconds * TRIGGER_TICKS_PER_S;
    return 0;
}

int osl_trigger_clear(osl_actor_kind_id kind, const char *op, const char *name) {
    int i = osl_lookup(kind, op, name);
    if (i < 0)
        return OSL_NO_ACTOR;
    *osl_entry(kind, i).trigger = 0;
    return 0;
}

// The tick only lowers values above 1 and this only takes 1 to 0, so the two
// never undo each other.
int osl_trigger_fired(osl_actor_kind_id kind, const char *op, const char *name) {
    int i = osl_lookup(kind, op, name);
    if (i < 0)
        return 0;
    volatile uint32_t *trigger = osl_entry(kind, i).trigger;
    if (*trigger != 1)
        return 0;
    *trigger = 0;
    return 1;
}

} // namespace

extern "C" {

int osl_relay_on(const char *name, uint8_t mask) {
    return osl_relay_switch("relay_on", name, mask, true);
}

int osl_relay_off(const char *name, uint8_t mask) {
    return osl_relay_switch("relay_off", name, mask, false);
}

int osl_relay_get_ch0(const char *name) {
    return osl_relay_get("relay_get_ch0", name, 0);
}
int osl_relay_get_ch1(const char *name) {
    return osl_relay_get("relay_get_ch1", name, 1);
}
int osl_relay_get_ch2(const char *name) {
    return osl_relay_get("relay_get_ch2", name, 2);
}
int osl_relay_get_ch3(const char *name) {
    return osl_relay_get("relay_get_ch3", name, 3);
}

int osl_relay_comply(const osl_record *rec) {
    int i = osl_lookup_record(OSL_KIND_RELAY, rec);
    if (i < 0)
        return OSL_NO_ACTOR;
    if (osl_matches(OSL_KIND_RELAY, i, rec))
        return 0;
    osl_relay_entry &e = osl_relay_table[i];
    const uint8_t command = static_cast<uint8_t>(RELAY_SET_ALL | (e.wanted & RELAY_SET_ALL_BITS));
    int r = osl_send_command(i, &command, OSL_DEV_RELAY);
    if (osl_line_start()) {
        printf("[osl relay comply] send '%s' %.2X->%.2X [%d]\n\r", e.name, e.reported, e.wanted, r);
        osl_line_end();
    }
    return osl_comply_result(r);
}

int osl_relay_set_trigger(const char *name, uint32_t seconds) {
    return osl_trigger_set(OSL_KIND_RELAY, "relay_set_trigger", name, seconds);
}
int osl_relay_clear_trigger(const char *name) {
    return osl_trigger_clear(OSL_KIND_RELAY, "relay_clear_trigger", name);
}
int osl_relay_is_trigger(const char *name) {
    return osl_trigger_fired(OSL_KIND_RELAY, "relay_is_trigger", name);
}

int osl_dimmer_set(const char *name, uint8_t value) {
    int i = osl_lookup(OSL_KIND_DIMMER, "dimmer_set", name);
    if (i < 0)
        return OSL_NO_ACTOR;
    osl_dimmer_entry &e = osl_dimmer_table[i];
    e.wanted = osl_level(value);
    int r = osl_send_command(i, &e.wanted, OSL_DEV_DIMMER);
    if (osl_line_start()) {
        printf("[osl send] dimmer '%s' %d->%d [%d]\n\r", name, e.reported, e.wanted, r);
        osl_line_end();
    }
    return r;
}

int osl_dimmer_get(const char *name) {
    int i = osl_lookup(OSL_KIND_DIMMER, "dimmer_get", name);
    if (i < 0)
        return OSL_NO_ACTOR;
    return osl_dimmer_table[i].reported;
}

int osl_dimmer_comply(const osl_record *rec) {
    int i = osl_lookup_record(OSL_KIND_DIMMER, rec);
    if (i < 0)
        return OSL_NO_ACTOR;
    if (osl_matches(OSL_KIND_DIMMER, i, rec))
        return 0;
    osl_dimmer_entry &e = osl_dimmer_table[i];
    int r = osl_send_command(i, &e.wanted, OSL_DEV_DIMMER);
    if (osl_line_start()) {
        printf("[osl dimmer comply] send '%s' %d->%d [%d]\n\r", e.name,
               rec->payload[osl_actor_kinds[OSL_KIND_DIMMER].reported_at], e.wanted, r);
        osl_line_end();
    }
    return osl_comply_result(r);
}

int osl_dimmer_set_trigger(const char *name, uint32_t seconds) {
    return osl_trigger_set(OSL_KIND_DIMMER, "dimmer_set_trigger", name, seconds);
}
int osl_dimmer_clear_trigger(const char *name) {
    return osl_trigger_clear(OSL_KIND_DIMMER, "dimmer_clear_trigger", name);
}
int osl_dimmer_is_trigger(const char *name) {
    return osl_trigger_fired(OSL_KIND_DIMMER, "dimmer_is_trigger", name);
}

// Its no-name line is printed whatever the verbosity.
int osl_pwm_set(const char *name, uint8_t level0, uint8_t level1, uint8_t level2) {
    int i = osl_lookup(OSL_KIND_PWM, "pwm_set", name, true);
    if (i < 0)
        return OSL_NO_ACTOR;
    osl_pwm_entry &e = osl_pwm_table[i];
    e.wanted[0] = osl_level(level0);
    e.wanted[1] = osl_level(level1);
    e.wanted[2] = osl_level(level2);
    int r = osl_send_command(i, e.wanted, OSL_DEV_PWM);
    if (osl_line_start()) {
        printf("[osl send] pwm '%s' %d,%d,%d->%d,%d,%d [%d]\n\r", name, e.reported[0],
               e.reported[1], e.reported[2], e.wanted[0], e.wanted[1], e.wanted[2], r);
        osl_line_end();
    }
    return r;
}

int osl_pwm_get_ch0(const char *name) {
    int i = osl_lookup(OSL_KIND_PWM, "pwm_get_ch0", name);
    return i < 0 ? OSL_NO_ACTOR : osl_pwm_table[i].reported[0];
}
int osl_pwm_get_ch1(const char *name) {
    int i = osl_lookup(OSL_KIND_PWM, "pwm_get_ch1", name);
    return i < 0 ? OSL_NO_ACTOR : osl_pwm_table[i].reported[1];
}
int osl_pwm_get_ch2(const char *name) {
    int i = osl_lookup(OSL_KIND_PWM, "pwm_get_ch2", name);
    return i < 0 ? OSL_NO_ACTOR : osl_pwm_table[i].reported[2];
}

int osl_pwm_comply(const osl_record *rec) {
    int i = osl_lookup_record(OSL_KIND_PWM, rec);
    if (i < 0)
        return OSL_NO_ACTOR;
    if (osl_matches(OSL_KIND_PWM, i, rec))
        return 0;
    osl_pwm_entry &e = osl_pwm_table[i];
    int r = osl_send_command(i, e.wanted, OSL_DEV_PWM);
    const uint8_t *got = rec->payload + osl_actor_kinds[OSL_KIND_PWM].reported_at;
    if (osl_line_start()) {
        printf("[osl pwm comply] send '%s' %d,%d,%d->%d,%d,%d [%d]\n\r", e.name, got[0], got[1],
               got[2], e.wanted[0], e.wanted[1], e.wanted[2], r);
        osl_line_end();
    }
    return osl_comply_result(r);
}

int osl_pwm_set_trigger(const char *name, uint32_t seconds) {
    return osl_trigger_set(OSL_KIND_PWM, "pwm_set_tigger", name, seconds);
}
int osl_pwm_clear_trigger(const char *name) {
    return osl_trigger_clear(OSL_KIND_PWM, "pwm_clear_trigger", name);
}
int osl_pwm_is_trigger(const char *name) {
    return osl_trigger_fired(OSL_KIND_PWM, "pwm_is_trigger", name);
}

} // extern "C"
