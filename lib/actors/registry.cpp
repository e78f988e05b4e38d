#include "registry.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "core/addr.h"
#include "core/log.h"
#include "core/text.h"
#include "frames/seal.h"
#include "kinds.h"
#include "osl.h"

osl_relay_entry osl_relay_table[OSL_MAX_ACTORS];
osl_dimmer_entry osl_dimmer_table[OSL_MAX_ACTORS];
osl_pwm_entry osl_pwm_table[OSL_MAX_ACTORS];
volatile int32_t osl_relay_count;
volatile int32_t osl_dimmer_count;
volatile int32_t osl_pwm_count;

// Registration log texts; %s is the kind's label ("relay", "dimmer", "pwm").
#define OSL_MSG_ADD_FULL "[osl err] %s_add:cant add %s:no resources <%d>\n\r"
#define OSL_MSG_ADD_HEAD "[osl add] %s <%d> 0x"
#define OSL_MSG_ADD_BAD_ADDR " : error: bt addr\n\r"
#define OSL_MSG_ADD_ADDR_USED " : error: address used as %s\n\r"
#define OSL_MSG_ADD_NO_NAME " : error: no name specified\n\r"
#define OSL_MSG_ADD_NAME " '%s'"
#define OSL_MSG_ADD_BAD_KEY " : error: sec key\n\r"
#define OSL_MSG_ADD_KEY_HEAD "\n\r\tSEC_KEY: "
#define OSL_MSG_ADD_KEY_BYTE "%.2X"
#define OSL_MSG_ADD_OK " : OK\n\r"

namespace {

// Every lookup and the add work on one kind through its description, so the
// three kinds cannot drift apart.
const osl_actor_kind &osl_kind_of(osl_actor_kind_id id) {
    return osl_actor_kinds[id];
}

int osl_find_name_in(osl_actor_kind_id id, const char *name) {
    if (name == nullptr)
        return -1;
    const osl_actor_kind &k = osl_kind_of(id);
    const int32_t count = *k.count;
    for (int32_t i = 0; i < count; i++)
        if (strcmp(k.entry(i).name, name) == 0)
            return i;
    return -1;
}

int osl_find_addr_in(osl_actor_kind_id id, const uint8_t *addr) {
    const osl_actor_kind &k = osl_kind_of(id);
    const int32_t count = *k.count;
    for (int32_t i = 0; i < count; i++)
        if (memcmp(k.entry(i).addr, addr, OSL_ADDR_SIZE) == 0)
            return i;
    return -1;
}

// A running countdown comes to rest at 1 (fired); 0 (idle) stays 0.
void osl_count_down(const osl_actor_kind &k) {
    const int32_t count = *k.count;
    for (int32_t i = 0; i < count; i++) {
        volatile uint32_t *trigger = k.entry(i).trigger;
        uint32_t t = *trigger;
        if (t > 1)
            *trigger = t - 1;
    }
}

// The kind whose table holds the address, own kind first; -1 when none does.
int osl_address_owner(osl_actor_kind_id own, const uint8_t *addr) {
    if (osl_find_addr_in(own, addr) >= 0)
        return own;
    for (int k = 0; k < OSL_ACTOR_KINDS; k++)
        if (k != own && osl_find_addr_in(static_cast<osl_actor_kind_id>(k), addr) >= 0)
            return k;
    return -1;
}

// Ends a failed registration's log line; every failure returns its code.
int osl_add_refuse(bool log, int code, const char *text) {
    if (log) {
        fputs(text, stdout);
        fflush(stdout);
    }
    return code;
}

// Fills the first free entry and only then raises the count, so the tick
// sees either the old count or a complete entry. A failed add leaves what it
// wrote in the free entry, which the next add overwrites.
int osl_actor_add(osl_actor_kind_id id, const char *name, const char *addr_text,
                  const char *key_text) {
    const osl_actor_kind &k = osl_kind_of(id);
    const bool log = osl_log_on(OSL_LOG_LIB);
    const int32_t n = *k.count;
    if (n >= OSL_MAX_ACTORS) {
        if (log) {
            osl_print_time_prefix(OSL_LOG_TIME_FORMAT);
            printf(OSL_MSG_ADD_FULL, k.name, k.name, n);
            fflush(stdout);
        }
        return OSL_ADD_FULL;
    }
    if (log) {
        osl_print_time_prefix(OSL_LOG_TIME_FORMAT);
        printf(OSL_MSG_ADD_HEAD, k.name, n + 1);
    }

    osl_actor_ref e = k.entry(n);
    if (addr_text == nullptr || osl_hex_to_bytes(addr_text, e.addr, OSL_ADDR_SIZE) != 0)
        return osl_add_refuse(log, OSL_ADD_BAD_ADDR, OSL_MSG_ADD_BAD_ADDR);
    if (log)
        osl_print_addr(e.addr, 0);
    int owner = osl_address_owner(id, e.addr);
    if (owner >= 0) {
        if (log) {
            printf(OSL_MSG_ADD_ADDR_USED, osl_actor_kinds[owner].name);
            fflush(stdout);
        }
        return OSL_ADD_ADDR_IN_USE;
    }

    if (name == nullptr || name[0] == '\0')
        return osl_add_refuse(log, OSL_ADD_NO_NAME, OSL_MSG_ADD_NO_NAME);
    size_t len = 0;
    while (len < OSL_NAME_SIZE - 1 && name[len] != '\0') {
        e.name[len] = name[len];
        len++;
    }
    e.name[len] = '\0';
    if (log)
        printf(OSL_MSG_ADD_NAME, e.name);

    if (key_text == nullptr || osl_hex_to_bytes(key_text, e.sec_key, OSL_KEY_SIZE) != 0)
        return osl_add_refuse(log, OSL_ADD_BAD_KEY, OSL_MSG_ADD_BAD_KEY);
    if (log) {
        fputs(OSL_MSG_ADD_KEY_HEAD, stdout);
        osl_print_key(e.sec_key, OSL_KEY_SIZE);
        fputs(OSL_MSG_ADD_OK, stdout);
        fflush(stdout);
    }

    // Expanded here once, so that neither the tick's unsealing nor a send
    // expands the key again.
    osl_aes_key_expand(e.sec_key, e.schedule);
    *e.trigger = 0;
    for (int c = 0; c < k.channels; c++) {
        e.wanted[c] = 0;
        e.reported[c] = 0;
    }
    std::atomic_signal_fence(std::memory_order_release);
    *k.count = n + 1;
    return 0;
}

} // namespace

int osl_actor_find_name(osl_actor_kind_id id, const char *name) {
    return osl_find_name_in(id, name);
}

int osl_actor_find_addr(osl_actor_kind_id id, const uint8_t *addr) {
    return osl_find_addr_in(id, addr);
}

// Frames carry the address least significant byte first.
int osl_actor_find_frame_addr(osl_actor_kind_id id, const uint8_t *addr) {
    uint8_t msb_first[OSL_ADDR_SIZE];
    osl_addr_flip(addr, msb_first);
    return osl_find_addr_in(id, msb_first);
}

int osl_relay_find_name(const char *name) {
    return osl_find_name_in(OSL_KIND_RELAY, name);
}
int osl_dimmer_find_name(const char *name) {
    return osl_find_name_in(OSL_KIND_DIMMER, name);
}
int osl_pwm_find_name(const char *name) {
    return osl_find_name_in(OSL_KIND_PWM, name);
}

int osl_relay_find_addr(const uint8_t *addr) {
    return osl_find_addr_in(OSL_KIND_RELAY, addr);
}
int osl_dimmer_find_addr(const uint8_t *addr) {
    return osl_find_addr_in(OSL_KIND_DIMMER, addr);
}
int osl_pwm_find_addr(const uint8_t *addr) {
    return osl_find_addr_in(OSL_KIND_PWM, addr);
}

int osl_relay_find_frame_addr(const uint8_t *addr) {
    return osl_actor_find_frame_addr(OSL_KIND_RELAY, addr);
}
int osl_dimmer_find_frame_addr(const uint8_t *addr) {
    return osl_actor_find_frame_addr(OSL_KIND_DIMMER, addr);
}
int osl_pwm_find_frame_addr(const uint8_t *addr) {
    return osl_actor_find_frame_addr(OSL_KIND_PWM, addr);
}

void osl_actor_triggers_tick() {
    for (const osl_actor_kind &k : osl_actor_kinds)
        osl_count_down(k);
}

extern "C" {

int osl_relay_add(const char *name, const char *addr, const char *key) {
    return osl_actor_add(OSL_KIND_RELAY, name, addr, key);
}

int osl_dimmer_add(const char *name, const char *addr, const char *key) {
    return osl_actor_add(OSL_KIND_DIMMER, name, addr, key);
}

int osl_pwm_add(const char *name, const char *addr, const char *key) {
    return osl_actor_add(OSL_KIND_PWM, name, addr, key);
}

} // extern "C"
