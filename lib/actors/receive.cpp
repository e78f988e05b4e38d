#include "receive.h"

#include <cstdio>

#include "core/hci_defs.h"
#include "core/lamps.h"
#include "core/log.h"
#include "core/text.h"
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

} // namespace

void osl_actors_listen() {
    osl_frame_set_actor_handler(osl_actor_frame_decode);
}

int osl_actor_frame_decode(const uint8_t *event, int len, uint8_t *payload, int8_t rssi,
                           osl_fifo_t *q) {
    const osl_actor_kind *kind = osl_actor_kind_of(payload[OSL_SEALED_TYPE]);
    if (kind == nullptr)
        return len;
    const auto id = static_cast<osl_actor_kind_id>(kind - osl_actor_kinds);
    int index = osl_actor_find_frame_addr(id, event + osl::hci::report::ADDR);
    if (index < 0)
        return len;
    const osl_actor_ref entry = kind->entry(index);
    if (osl_unseal_check_with(payload, entry.schedule) != 0)
        return OSL_DECODE_BAD_TAG;
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
