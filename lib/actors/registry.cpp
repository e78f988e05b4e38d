#include "registry.h"

#include <atomic>
#include <csignal>
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
#define OSL_MSG_ADD_OK " : OK\n\r"
// Removal log texts.
#define OSL_MSG_REMOVE_HEAD "[osl remove] "
#define OSL_MSG_REMOVE_KIND "%s 0x"
#define OSL_MSG_REMOVE_BAD_ADDR "0x : error: bt addr\n\r"
#define OSL_MSG_REMOVE_NO_ACTOR " : error: no actor\n\r"
#define OSL_MSG_REMOVE_NAME " '%s'\n\r"

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

// Entry `from` of a kind written over entry `to`: everything an entry holds,
// its countdown and its two states with it.
void osl_entry_move(const osl_actor_kind &k, int from, int to) {
    const osl_actor_ref src = k.entry(from);
    const osl_actor_ref dst = k.entry(to);
    memcpy(dst.name, src.name, OSL_NAME_SIZE);
    memcpy(dst.addr, src.addr, OSL_ADDR_SIZE);
    memcpy(dst.sec_key, src.sec_key, OSL_KEY_SIZE);
    *dst.schedule = *src.schedule;
    *dst.trigger = *src.trigger;
    for (int c = 0; c < k.channels; c++) {
        dst.wanted[c] = src.wanted[c];
        dst.reported[c] = src.reported[c];
    }
}

// A freed entry keeps no trace of the actor that left it, its key least.
void osl_entry_wipe(const osl_actor_kind &k, int i) {
    const osl_actor_ref e = k.entry(i);
    memset(e.name, 0, OSL_NAME_SIZE);
    memset(e.addr, 0, OSL_ADDR_SIZE);
    memset(e.sec_key, 0, OSL_KEY_SIZE);
    *e.schedule = osl_aes_key{};
    *e.trigger = 0;
    for (int c = 0; c < k.channels; c++) {
        e.wanted[c] = 0;
        e.reported[c] = 0;
    }
}

// Takes entry i out of its table; the later entries move down one place.
// The tick reads the tables between any two instructions of this flow, so it
// is kept out for the whole move: with SIGALRM blocked it runs only once the
// table is whole again. Lines the tick recorded name their actor by its
// place, which is about to change: they are printed first, under the same
// block, so none of them can name the actor that moves into the place.
void osl_entry_remove(const osl_actor_kind &k, int i) {
    sigset_t alarm;
    sigset_t old;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    sigprocmask(SIG_BLOCK, &alarm, &old);
    osl_log_flush();
    const int32_t n = *k.count;
    for (int j = i; j + 1 < n; j++)
        osl_entry_move(k, j + 1, j);
    osl_entry_wipe(k, n - 1);
    std::atomic_signal_fence(std::memory_order_release);
    *k.count = n - 1;
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

// The whole line is printed once the table is whole: the removal itself
// prints the lines the tick recorded before it.
int osl_actor_remove_at(const char *addr_text) {
    const bool log = osl_log_on(OSL_LOG_LIB);
    uint8_t addr[OSL_ADDR_SIZE];
    if (addr_text == nullptr || osl_hex_to_bytes(addr_text, addr, OSL_ADDR_SIZE) != 0) {
        if (log) {
            osl_print_time_prefix(OSL_LOG_TIME_FORMAT);
            fputs(OSL_MSG_REMOVE_HEAD, stdout);
        }
        return osl_add_refuse(log, OSL_ADD_BAD_ADDR, OSL_MSG_REMOVE_BAD_ADDR);
    }
    // An address is registered once across the three tables.
    for (const osl_actor_kind &k : osl_actor_kinds) {
        const auto id = static_cast<osl_actor_kind_id>(&k - osl_actor_kinds);
        const int i = osl_find_addr_in(id, addr);
        if (i < 0)
            continue;
        char name[OSL_NAME_SIZE];
        memcpy(name, k.entry(i).name, sizeof name);
        osl_entry_remove(k, i);
        if (log) {
            osl_print_time_prefix(OSL_LOG_TIME_FORMAT);
            fputs(OSL_MSG_REMOVE_HEAD, stdout);
            printf(OSL_MSG_REMOVE_KIND, k.name);
            osl_print_addr(addr, 0);
            printf(OSL_MSG_REMOVE_NAME, name);
            fflush(stdout);
        }
        return 0;
    }
    if (log) {
        osl_print_time_prefix(OSL_LOG_TIME_FORMAT);
        fputs(OSL_MSG_REMOVE_HEAD, stdout);
        osl_print_addr(addr, OSL_ADDR_0X);
    }
    return osl_add_refuse(log, OSL_NO_ACTOR, OSL_MSG_REMOVE_NO_ACTOR);
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

int osl_actor_remove(const char *addr) {
    return osl_actor_remove_at(addr);
}

} // extern "C"
