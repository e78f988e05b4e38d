#include "registry.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "core/core.h"
#include "core/text.h"
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

enum Kind : int { RELAY, DIMMER, PWM, KINDS };

const char *const kind_label[KINDS] = {"relay", "dimmer", "pwm"};

using addr_lookup = int (*)(const uint8_t *addr);
const addr_lookup addr_lookups[KINDS] = {osl_relay_find_addr, osl_dimmer_find_addr,
                                         osl_pwm_find_addr};

template <typename Entry> int find_name(const Entry *table, int32_t count, const char *name) {
    if (name == nullptr)
        return -1;
    for (int32_t i = 0; i < count; i++)
        if (strcmp(table[i].name, name) == 0)
            return i;
    return -1;
}

template <typename Entry> int find_addr(const Entry *table, int32_t count, const uint8_t *addr) {
    for (int32_t i = 0; i < count; i++)
        if (memcmp(table[i].addr, addr, sizeof table[i].addr) == 0)
            return i;
    return -1;
}

// Reports carry the address least significant byte first; entries store it
// most significant first.
template <typename Entry>
int find_frame_addr(const Entry *table, int32_t count, const uint8_t *addr) {
    for (int32_t i = 0; i < count; i++) {
        int j = 0;
        while (j < 6 && addr[j] == table[i].addr[5 - j])
            j++;
        if (j == 6)
            return i;
    }
    return -1;
}

// A running countdown comes to rest at 1 (fired); 0 (idle) stays 0.
template <typename Entry> void count_down(Entry *table, int32_t count) {
    for (int32_t i = 0; i < count; i++) {
        uint32_t t = table[i].trigger;
        if (t > 1)
            table[i].trigger = t - 1;
    }
}

// The kind whose table holds the address, own kind first; -1 when none does.
int address_owner(Kind own, const uint8_t *addr) {
    if (addr_lookups[own](addr) >= 0)
        return own;
    for (int k = 0; k < KINDS; k++)
        if (k != own && addr_lookups[k](addr) >= 0)
            return k;
    return -1;
}

void clear_state(osl_relay_entry &e) {
    e.wanted = 0;
    e.reported = 0;
}

void clear_state(osl_dimmer_entry &e) {
    e.wanted = 0;
    e.reported = 0;
}

void clear_state(osl_pwm_entry &e) {
    for (int i = 0; i < 3; i++) {
        e.wanted[i] = 0;
        e.reported[i] = 0;
    }
}

// Ends a failed registration's log line; every failure returns its code.
int refuse(bool log, int code, const char *text) {
    if (log) {
        fputs(text, stdout);
        fflush(stdout);
    }
    return code;
}

// Fills the first free entry and only then raises the count, so the tick
// sees either the old count or a complete entry. A failed add leaves what it
// wrote in the free entry, which the next add overwrites.
template <typename Entry>
int add(Kind kind, Entry *table, volatile int32_t *count, const char *name, const char *addr_text,
        const char *key_text) {
    const bool log = osl_log_on(OSL_LOG_LIB);
    const char *label = kind_label[kind];
    const int32_t n = *count;
    if (n >= OSL_MAX_ACTORS) {
        if (log) {
            osl_print_time_prefix(OSL_LOG_TIME_FORMAT);
            printf(OSL_MSG_ADD_FULL, label, label, n);
            fflush(stdout);
        }
        return -2;
    }
    if (log) {
        osl_print_time_prefix(OSL_LOG_TIME_FORMAT);
        printf(OSL_MSG_ADD_HEAD, label, n + 1);
    }

    Entry &e = table[n];
    if (addr_text == nullptr || osl_hex_to_bytes(addr_text, e.addr, sizeof e.addr) != 0)
        return refuse(log, -4, OSL_MSG_ADD_BAD_ADDR);
    if (log)
        osl_print_addr(e.addr, 0);
    int owner = address_owner(kind, e.addr);
    if (owner >= 0) {
        if (log) {
            printf(OSL_MSG_ADD_ADDR_USED, kind_label[owner]);
            fflush(stdout);
        }
        return -10;
    }

    if (name == nullptr || name[0] == '\0')
        return refuse(log, -6, OSL_MSG_ADD_NO_NAME);
    size_t len = 0;
    while (len < sizeof e.name - 1 && name[len] != '\0') {
        e.name[len] = name[len];
        len++;
    }
    e.name[len] = '\0';
    if (log)
        printf(OSL_MSG_ADD_NAME, e.name);

    if (key_text == nullptr || osl_hex_to_bytes(key_text, e.sec_key, sizeof e.sec_key) != 0)
        return refuse(log, -8, OSL_MSG_ADD_BAD_KEY);
    if (log) {
        fputs(OSL_MSG_ADD_KEY_HEAD, stdout);
        for (uint8_t b : e.sec_key)
            printf(OSL_MSG_ADD_KEY_BYTE, b);
        fputs(OSL_MSG_ADD_OK, stdout);
        fflush(stdout);
    }

    e.trigger = 0;
    clear_state(e);
    std::atomic_signal_fence(std::memory_order_release);
    *count = n + 1;
    return 0;
}

} // namespace

int osl_relay_find_name(const char *name) {
    return find_name(osl_relay_table, osl_relay_count, name);
}
int osl_dimmer_find_name(const char *name) {
    return find_name(osl_dimmer_table, osl_dimmer_count, name);
}
int osl_pwm_find_name(const char *name) {
    return find_name(osl_pwm_table, osl_pwm_count, name);
}

int osl_relay_find_addr(const uint8_t *addr) {
    return find_addr(osl_relay_table, osl_relay_count, addr);
}
int osl_dimmer_find_addr(const uint8_t *addr) {
    return find_addr(osl_dimmer_table, osl_dimmer_count, addr);
}
int osl_pwm_find_addr(const uint8_t *addr) {
    return find_addr(osl_pwm_table, osl_pwm_count, addr);
}

int osl_relay_find_frame_addr(const uint8_t *addr) {
    return find_frame_addr(osl_relay_table, osl_relay_count, addr);
}
int osl_dimmer_find_frame_addr(const uint8_t *addr) {
    return find_frame_addr(osl_dimmer_table, osl_dimmer_count, addr);
}
int osl_pwm_find_frame_addr(const uint8_t *addr) {
    return find_frame_addr(osl_pwm_table, osl_pwm_count, addr);
}

void osl_actor_triggers_tick() {
    count_down(osl_relay_table, osl_relay_count);
    count_down(osl_dimmer_table, osl_dimmer_count);
    count_down(osl_pwm_table, osl_pwm_count);
}

extern "C" {

int osl_relay_add(const char *name, const char *addr, const char *key) {
    return add(RELAY, osl_relay_table, &osl_relay_count, name, addr, key);
}

int osl_dimmer_add(const char *name, const char *addr, const char *key) {
    return add(DIMMER, osl_dimmer_table, &osl_dimmer_count, name, addr, key);
}

int osl_pwm_add(const char *name, const char *addr, const char *key) {
    return add(PWM, osl_pwm_table, &osl_pwm_count, name, addr, key);
}

} // extern "C"
