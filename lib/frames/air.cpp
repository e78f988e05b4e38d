// The air-quality sensor's plain frames: no key, no tag, no repeat test, no
// window. This is the one source built twice, once per reading of the
// temperature's high byte.
#include <cstdio>

#include "core/lamps.h"
#include "core/log.h"
#include "decode.h"
#include "frame_log.h"
#include "layout.h"
#include "osl.h"
#include "record.h"

namespace {

using namespace osl::frame;

// The home program's build reads the high byte as two's complement, the
// scanner's build as unsigned.
#ifdef OSL_AIR_TEMP_UNSIGNED
constexpr bool AIR_TEMP_HIGH_SIGNED = false;
#else
constexpr bool AIR_TEMP_HIGH_SIGNED = true;
#endif

void print_air(time_t when, const uint8_t *data, unsigned len) {
    osl_rx_line l = osl_rx_line_from(data, len);
    const uint8_t *p = l.payload;
    int high = AIR_TEMP_HIGH_SIGNED ? osl_rx_s8(p[5]) : p[5];
    float t = static_cast<float>(high * 256 + p[6] - 27315) / 100.0f;
    osl_rx_print_head(when, "[osl rec] Tulvo ");
    osl_rx_print_rssi(l.rssi);
    printf(" %0.2fV>", osl_rx_volts(p[3]));
    printf(" %0.2f*C %2d%%RH", t, p[7]);
    printf(" PM10=%d PM2.5=%d PM1=%d", osl_rx_u16(p, 8), osl_rx_u16(p, 10), osl_rx_u16(p, 12));
    printf(" [%d min]\n\r", p[2] - p[1]);
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
    int8_t rssi = osl_frame_rssi(event, avail, payload);
    int result = osl_record_push(event, event + payload, rssi, q);
    if (osl_log_on(OSL_LOG_AIR))
        osl_rx_line_defer(print_air, event, rssi, event + payload);
    return result;
}
