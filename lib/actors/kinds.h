// The three kinds of actor, described once: what their frames and entries
// look like, for registration, for the reception of their frames and for
// the tests.
#pragma once

#include <cstdint>

#include "registry.h"

enum osl_actor_kind_id : int { OSL_KIND_RELAY, OSL_KIND_DIMMER, OSL_KIND_PWM, OSL_ACTOR_KINDS };

// The fields every entry has, whatever its kind.
struct osl_actor_ref {
    char *name;
    uint8_t *addr; // most significant byte first
    uint8_t *sec_key;
    volatile uint32_t *trigger;
    uint8_t *wanted;            // `channels` bytes
    volatile uint8_t *reported; // `channels` bytes
    osl_aes_key *schedule;      // sec_key, expanded
};

struct osl_actor_kind {
    uint8_t type;     // device type in records and frames (OSL_DEV_...)
    const char *name; // in registration lines: "relay"
    int channels;     // bytes of wanted and reported state
    int reported_at;  // payload byte of the first reported state byte
    volatile int32_t *count;
    osl_actor_ref (*entry)(int i);
};

extern const osl_actor_kind osl_actor_kinds[OSL_ACTOR_KINDS];

// The kind whose frames carry this device type, or null.
const osl_actor_kind *osl_actor_kind_of(uint8_t type);

// Lookups in the table of a kind: the first entry with that name (exactly),
// or with that address (most significant byte first); -1 when none.
int osl_actor_find_name(osl_actor_kind_id id, const char *name);
int osl_actor_find_addr(osl_actor_kind_id id, const uint8_t *addr);
// The entry of that kind whose address a frame carries (least significant
// byte first, as received), or -1.
int osl_actor_find_frame_addr(osl_actor_kind_id id, const uint8_t *addr);
