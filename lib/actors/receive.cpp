#include "receive.h"

#include <cstdio>
#include <cstring>

#include "core/addr.h"
#include "core/hci_defs.h"
#include "core/lamps.h"
#include "core/log.h"
#include "core/text.h"
#include "frames/announce.h"
#include "frames/decode.h"
#include "frames/fields.h"
#include "frames/frame_log.h"
#include "frames/record.h"
#include "frames/seal.h"
#include "frames/window.h"
#include "kinds.h"
#include "osl.h"

namespace {

// An actor's line names the entry that sent it; its fields are those of its
// family, the reported state among them as just stored in the entry.
void osl_print_actor(time_t when, const uint8_t *data, unsigned len) {
    osl_rx_line l = osl_rx_line_from(data, len);
    if (l.kind >= OSL_ACTOR_KINDS)
        return;
    const osl_actor_kind &kind = osl_actor_kinds[l.kind];
    const osl_family &family = *osl_family_of(kind.type);
    uint8_t record[OSL_REC_SIZE];
    osl_rx_line_record(l, record);
    osl_print_time_prefix_at(when, OSL_LOG_TIME_FORMAT);
    printf("[osl rec] %s '%s'", family.kind, kind.entry(l.index).name);
    osl_family_print_fields(family, record);
}

// The last frames of actors whose key the library does not have (not
// registered, or not with the key they were sealed with), so that an
// announced key can be tried on one: a key that opens an actor's own frame
// tells the actor's kind. Only the tick reads and writes them, and the open
// empties them before the tick starts.
struct osl_unknown_frame {
    uint8_t addr[OSL_ADDR_SIZE]; // most significant byte first
    uint8_t sealed[OSL_SEALED_SIZE];
    uint32_t heard; // when, in frames remembered; 0 an empty place
};
constexpr int OSL_UNKNOWN_FRAMES = 8;
osl_unknown_frame unknown_frames[OSL_UNKNOWN_FRAMES];
uint32_t unknown_heard;

// The place of the address's frame, or -1.
int osl_unknown_find(const uint8_t *addr) {
    for (int i = 0; i < OSL_UNKNOWN_FRAMES; i++)
        if (unknown_frames[i].heard != 0 &&
            memcmp(unknown_frames[i].addr, addr, OSL_ADDR_SIZE) == 0)
            return i;
    return -1;
}

// A newer frame of the same actor takes its older one's place, else the
// frame remembered longest ago leaves.
void osl_unknown_remember(const uint8_t *event, const uint8_t *payload) {
    uint8_t addr[OSL_ADDR_SIZE];
    osl_addr_flip(event + osl::hci::report::ADDR, addr);
    int place = osl_unknown_find(addr);
    if (place < 0) {
        place = 0;
        for (int i = 1; i < OSL_UNKNOWN_FRAMES; i++)
            if (unknown_frames[i].heard < unknown_frames[place].heard)
                place = i;
    }
    osl_unknown_frame &f = unknown_frames[place];
    memcpy(f.addr, addr, sizeof f.addr);
    memcpy(f.sealed, payload, sizeof f.sealed);
    unknown_heard = unknown_heard + 1;
    if (unknown_heard == 0) // once in 2^32 frames: the order starts again
        unknown_heard = 1;
    f.heard = unknown_heard;
}

// The kind of an announcing actor: a registered actor's when the key is the
// one registered, else that of its remembered frame if the key opens it.
// The one key expansion is made only when there is a frame to try.
int osl_actor_kind_announced(const uint8_t *addr, const uint8_t *key) {
    for (const osl_actor_kind &k : osl_actor_kinds) {
        const auto id = static_cast<osl_actor_kind_id>(&k - osl_actor_kinds);
        const int i = osl_actor_find_addr(id, addr);
        if (i >= 0 && memcmp(k.entry(i).sec_key, key, OSL_KEY_SIZE) == 0)
            return k.type;
    }
    const int place = osl_unknown_find(addr);
    if (place < 0)
        return 0;
    const osl_unknown_frame &f = unknown_frames[place];
    osl_aes_key expanded;
    osl_aes_key_expand(key, &expanded);
    if (osl_unseal_check_with(f.sealed, &expanded) != 0)
        return 0;
    return f.sealed[OSL_SEALED_TYPE];
}

} // namespace

void osl_actors_listen() {
    memset(unknown_frames, 0, sizeof unknown_frames);
    unknown_heard = 0;
    osl_frame_set_actor_handler(osl_actor_frame_decode);
    osl_announcement_set_kind(osl_actor_kind_announced);
}

int osl_actor_frame_decode(const uint8_t *event, int len, uint8_t *payload, int8_t rssi,
                           osl_fifo_t *q) {
    const osl_actor_kind *kind = osl_actor_kind_of(payload[OSL_SEALED_TYPE]);
    if (kind == nullptr)
        return len;
    const auto id = static_cast<osl_actor_kind_id>(kind - osl_actor_kinds);
    int index = osl_actor_find_frame_addr(id, event + osl::hci::report::ADDR);
    if (index < 0) {
        osl_unknown_remember(event, payload);
        return len;
    }
    const osl_actor_ref entry = kind->entry(index);
    if (osl_unseal_check_with(payload, entry.schedule) != 0) {
        // Perhaps the actor was given a new key: its announcement will tell.
        osl_unknown_remember(event, payload);
        return OSL_DECODE_BAD_TAG;
    }
    if (int refused = osl_rx_admit(osl_frame_tail(event, payload)))
        return refused;
    osl_rx_lamp_flash();
    osl_unseal_open_with(payload, entry.schedule);
    int result = osl_record_push(event, payload, rssi, q);
    for (int c = 0; c < kind->channels; c++)
        entry.reported[c] = payload[kind->reported_at + c];
    if (osl_log_on(OSL_LOG_ACTORS))
        osl_rx_line_defer(osl_print_actor, event, rssi, payload, id, index);
    return result;
}
