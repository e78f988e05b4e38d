#include "decode.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/hci_defs.h"
#include "core/lamps.h"
#include "core/log.h"
#include "announce.h"
#include "core/text.h"
#include "fields.h"
#include "frame_log.h"
#include "layout.h"
#include "osl.h"
#include "record.h"
#include "seal.h"
#include "window.h"

namespace {

using namespace osl::frame;
namespace report = osl::hci::report;

osl_sealed_handler osl_actor_handler;

// Bytes of the slot beyond what was received are zero, but they are not
// data: every position the decoder takes data from must lie below this.
int osl_received_bytes(int len) {
    if (len < 0)
        return 0;
    return len > OSL_RX_SLOT_SIZE ? OSL_RX_SLOT_SIZE : len;
}

// --- printing (application's flow) -----------------------------------------

constexpr const char OSL_SENSOR_TAG[] = "[osl rec] ";
constexpr const char OSL_UNKNOWN_SENSOR_TAG[] = "[osl rec] UNKNOWN OSL SENSOR ";

// A sensor's line: its tag and address, then its fields; a type without a
// family prints as an unknown sensor.
void osl_print_sensor(time_t when, const uint8_t *data, unsigned len) {
    osl_rx_line l = osl_rx_line_from(data, len);
    uint8_t record[OSL_REC_SIZE];
    osl_rx_line_record(l, record);
    const int type = record[OSL_REC_TYPE];
    const osl_family *family = type <= TYPE_SENSOR_LAST ? osl_family_of(type) : nullptr;
    osl_print_time_prefix_at(when, OSL_LOG_TIME_FORMAT);
    if (family != nullptr) {
        fputs(OSL_SENSOR_TAG, stdout);
        fputs(family->kind, stdout);
        fputc(' ', stdout);
    } else {
        fputs(OSL_UNKNOWN_SENSOR_TAG, stdout);
        family = &osl_unknown_sensor_family;
    }
    osl_print_addr_rev(l.addr, OSL_ADDR_0X);
    osl_family_print_fields(*family, record);
}

void osl_print_sec_key(time_t when, const uint8_t *data, unsigned len) {
    osl_rx_line l = osl_rx_line_from(data, len);
    osl_print_time_prefix_at(when, OSL_LOG_TIME_FORMAT);
    fputs("[osl rec] SEC_KEY \"", stdout);
    osl_print_addr_rev(l.addr, 0);
    fputs("\", \"", stdout);
    osl_print_key(l.payload, OSL_KEY_SIZE);
    fputs("\"\n\r", stdout);
}

// --- the sealed families -----------------------------------------------------

int osl_decode_sensor(const uint8_t *event, uint8_t *payload, int8_t rssi, osl_fifo_t *q) {
    if (osl_unseal_check_with(payload, &osl_sensor_schedule) != 0)
        return OSL_DECODE_BAD_TAG;
    if (int refused = osl_rx_admit(osl_frame_tail(event, payload)))
        return refused;
    osl_rx_lamp_flash();
    osl_unseal_open_with(payload, &osl_sensor_schedule);
    int result = osl_record_push(event, payload, rssi, q);
    if (osl_log_on(OSL_LOG_SENSORS))
        osl_rx_line_defer(osl_print_sensor, event, rssi, payload);
    return result;
}

// Every announcement that passed its tag is the application's, whatever
// the verbosity and whatever the window makes of it: a copy is unsealed, so
// the slot stays as received for the repeat test and the printed line.
void osl_announce(const uint8_t *event, const uint8_t *payload, int8_t rssi) {
    uint8_t key[OSL_BLOCK_SIZE];
    memcpy(key, payload, sizeof key);
    osl_unseal_open_with(key, &osl_sensor_schedule);
    osl_announcement_heard(event + report::ADDR, key, rssi);
}

// Actors announce their keys sealed with the sensor key; the announcement is
// for the user to read, so it is printed but never queued.
int osl_decode_sec_key(const uint8_t *event, int len, uint8_t *payload, int8_t rssi) {
    if (osl_unseal_check_with(payload, &osl_sensor_schedule) != 0)
        return OSL_DECODE_BAD_TAG;
    osl_rx_lamp_flash();
    osl_announce(event, payload, rssi);
    if (!osl_log_on(OSL_LOG_ACTORS))
        return OSL_DECODE_KEY_UNLOGGED;
    if (int refused = osl_rx_admit(osl_frame_tail(event, payload)))
        return refused;
    osl_unseal_open_with(payload, &osl_sensor_schedule);
    osl_rx_line_defer(osl_print_sec_key, event, rssi, payload);
    return len;
}

} // namespace

void osl_frame_set_actor_handler(osl_sealed_handler handler) {
    osl_actor_handler = handler;
}

int osl_frame_tail(const uint8_t *event, const uint8_t *payload) {
    return static_cast<int>(payload - event) + OSL_SEALED_TYPE;
}

int8_t osl_frame_rssi(const uint8_t *event, int avail, int payload) {
    int at = payload + RSSI_AFTER_PAYLOAD;
    if (at < avail)
        return static_cast<int8_t>(event[at]);
    at = report::DATA + event[report::DATA_LEN];
    if (at < avail)
        return static_cast<int8_t>(event[at]);
    return 0;
}

int osl_frame_decode(uint8_t *event, int len, osl_fifo_t *q) {
    if (event[report::PKT_TYPE] != osl::hci::PKT_EVENT)
        return OSL_DECODE_NOT_EVENT;
    if (event[report::SUBEVENT] != osl::hci::SUBEVT_LE_ADV_REPORT)
        return OSL_DECODE_NOT_ADV_REPORT;
    const int avail = osl_received_bytes(len);
    if (osl_air_is_frame(event, avail))
        return osl_air_decode(event, avail, q);

    const int start = osl_manuf_payload(event, avail, OSL_SEALED_SIZE);
    if (start < 0)
        return OSL_DECODE_NO_PAYLOAD;
    // The company identifier precedes the payload.
    if (event[start - 2] != KIT_COMPANY_BYTE || event[start - 1] != KIT_COMPANY_BYTE)
        return OSL_DECODE_NO_PAYLOAD;

    uint8_t *payload = event + start;
    const uint8_t type = payload[OSL_SEALED_TYPE];
    const int8_t rssi = osl_frame_rssi(event, avail, start);
    if (type <= TYPE_SENSOR_LAST)
        return osl_decode_sensor(event, payload, rssi, q);
    if (type == TYPE_SEC_KEY)
        return osl_decode_sec_key(event, len, payload, rssi);
    if (osl_actor_handler != nullptr)
        return osl_actor_handler(event, len, payload, rssi, q);
    return len;
}

// The first structure's type byte is examined whatever the length: the
// window slot always holds it.
int osl_ad_find(int type, const uint8_t *event, int len) {
    const int avail = osl_received_bytes(len);
    int pos = report::DATA + AD_TYPE;
    for (;;) {
        if (event[pos] == static_cast<uint8_t>(type))
            return pos - AD_TYPE;
        pos += event[pos - AD_TYPE] + 1;
        if (pos >= avail)
            return -1;
    }
}

int osl_manuf_payload(const uint8_t *event, int avail, int size) {
    const int manuf = osl_ad_find(AD_MANUFACTURER, event, avail);
    if (manuf < 0)
        return -1;
    const int start = manuf + MANUF_PAYLOAD;
    return start + size > avail ? -1 : start;
}

// A prefix comparison: the frame's name may run on past the text.
int osl_name_cmp(const char *text, const uint8_t *frame) {
    for (int i = 0; text[i] != '\0'; i++) {
        uint8_t t = static_cast<uint8_t>(text[i]);
        if (t != frame[i])
            return t - frame[i];
    }
    return 0;
}
