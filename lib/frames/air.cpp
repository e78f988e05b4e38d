// The air-quality sensor's plain frames: no key, no tag, no repeat test, no
// window. This is the one source built twice, once per reading of the
// temperature's high byte.
#include <cstdio>

#include "core/hci_defs.h"
#include "core/lamps.h"
#include "core/log.h"
#include "core/text.h"
#include "core/addr.h"
#include "decode.h"
#include "fields.h"
#include "frame_log.h"
#include "layout.h"
#include "osl.h"
#include "record.h"

// The home program's build reads the high byte as two's complement, the
// scanner's build as unsigned.
#ifdef OSL_AIR_TEMP_UNSIGNED
const bool osl_air_temp_high_signed = false;
#else
const bool osl_air_temp_high_signed = true;
#endif

namespace {

using namespace osl::frame;

void osl_print_air(time_t when, const uint8_t *data, unsigned len) {
    osl_rx_line l = osl_rx_line_from(data, len);
    uint8_t record[OSL_REC_SIZE];
    osl_rx_line_record(l, record);
    osl_print_time_prefix_at(when, OSL_LOG_TIME_FORMAT);
    fputs("[osl rec] Tulvo ", stdout);
    osl_family_print_fields(*osl_family_of(OSL_DEV_AIR), record);
}

} // namespace

bool osl_air_is_frame(const uint8_t *event, int avail) {
    int name = osl_ad_find(AD_COMPLETE_NAME, event, avail);
    if (name < 1 || name + AD_DATA + AIR_NAME_LEN > avail)
        return false;
    return osl_name_cmp(AIR_NAME, event + name + AD_DATA) == 0;
}

int osl_air_decode(const uint8_t *event, int avail, osl_fifo_t *q) {
    const int payload = osl_manuf_payload(event, avail, AIR_PAYLOAD_SIZE);
    if (payload < 0)
        return OSL_DECODE_NO_PAYLOAD;
    osl_rx_lamp_flash();
    uint8_t sender[OSL_ADDR_SIZE];
    osl_addr_flip(event + osl::hci::report::ADDR, sender);
    osl_air_note_sender(sender);
    int8_t rssi = osl_frame_rssi(event, avail, payload);
    int result = osl_record_push(event, event + payload, rssi, q);
    if (osl_log_on(OSL_LOG_AIR))
        osl_rx_line_defer(osl_print_air, event, rssi, event + payload);
    return result;
}
