#include "decode.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/hci_defs.h"
#include "core/lamps.h"
#include "core/log.h"
#include "core/text.h"
#include "frame_log.h"
#include "layout.h"
#include "osl.h"
#include "record.h"
#include "seal.h"
#include "window.h"

namespace {

using namespace osl::frame;
namespace report = osl::hci::report;

osl_sealed_handler actor_handler;

// Bytes of the slot beyond what was received are zero, but they are not
// data: every position the decoder takes data from must lie below this.
int received_bytes(int len) {
    if (len < 0)
        return 0;
    return len > OSL_RX_SLOT_SIZE ? OSL_RX_SLOT_SIZE : len;
}

// --- printing (application's flow) -----------------------------------------

void print_adc2(const uint8_t *p, int first) {
    printf(" ADC1=%dmV ADC2=%dmV", osl_rx_u16(p, first), osl_rx_u16(p, first + 2));
}

// The rest of a sensor's line after its tag and address.
void meteo_body(int8_t rssi, const uint8_t *p) {
    osl_rx_print_rssi(rssi);
    osl_rx_print_vcc(p);
    osl_rx_print_nm_wt(p);
    float t = static_cast<float>(static_cast<int16_t>(osl_rx_u16(p, 8))) / 100.0f;
    printf("\tT=%0.2f*C RH=%2d L=%.3d DIN=%.2X", t, p[10], p[11], p[7]);
    print_adc2(p, 12);
}

void motion_body(int8_t rssi, const uint8_t *p) {
    osl_rx_print_rssi(rssi);
    osl_rx_print_fw(p);
    osl_rx_print_vcc(p);
    printf(" Wt=%ds>\n\r", osl_rx_wt(p));
    printf("\tL=%d Ct=%d*C Mf=%.2X", p[9], osl_rx_s8(p[8]), p[7]);
    print_adc2(p, 10);
    if (p[7] & 0x80)
        fputs(" OBJECT DETECTED !!", stdout);
}

// Button functions by byte 7; other values print nothing.
const char *const button_functions[] = {"", " SINGLE CLICK", " DOUBLE CLICK", " HOLDING"};

void button_body(int8_t rssi, const uint8_t *p) {
    osl_rx_print_rssi(rssi);
    osl_rx_print_fw(p);
    printf(" %0.2fV>\n\r", osl_rx_volts(p[5]));
    printf("\tL=%d Ct=%d*C Mf=%.2X I=%.2X", p[10], osl_rx_s8(p[9]), p[7], p[8]);
    if (p[7] < sizeof button_functions / sizeof button_functions[0])
        fputs(button_functions[p[7]], stdout);
}

void flood_body(int8_t rssi, const uint8_t *p) {
    osl_rx_print_rssi(rssi);
    osl_rx_print_fw(p);
    osl_rx_print_vcc(p);
    osl_rx_print_nm_wt(p);
    printf("\tCt=%d*C Ff=%.2X", osl_rx_s8(p[8]), p[7]);
    fputs((p[7] & 0x01) ? " FLOOD ALERT" : " NO FLOOD", stdout);
}

void magneto_body(int8_t rssi, const uint8_t *p) {
    osl_rx_print_rssi(rssi);
    osl_rx_print_fw(p);
    osl_rx_print_vcc(p);
    osl_rx_print_nm_wt(p);
    printf("\tL=%d Ct=%d*C Mf=%.2X", p[9], osl_rx_s8(p[8]), p[7]);
    print_adc2(p, 10);
    fputs((p[7] & 0x80) ? " CLOSED" : " OPEN", stdout);
}

void unknown_body(int8_t rssi, const uint8_t *) {
    printf(" <%ddBm>", rssi);
}

struct SensorLine {
    const char *tag;
    void (*body)(int8_t rssi, const uint8_t *payload);
};

// Sensor lines by device type; other types print as an unknown sensor.
const SensorLine sensor_lines[] = {
    {"[osl rec] UNKNOWN OSL SENSOR ", unknown_body},
    {"[osl rec] METEO ", meteo_body},
    {"[osl rec] MOTION ", motion_body},
    {"[osl rec] BUTTON ", button_body},
    {"[osl rec] FLOOD ", flood_body},
    {"[osl rec] MAGNETO ", magneto_body},
};

void print_sensor(time_t when, const uint8_t *data, unsigned len) {
    osl_rx_line l = osl_rx_line_from(data, len);
    uint8_t type = l.payload[OSL_REC_TYPE];
    const SensorLine &line =
        sensor_lines[type < sizeof sensor_lines / sizeof sensor_lines[0] ? type : 0];
    osl_rx_print_head(when, line.tag);
    osl_print_addr_rev(l.addr, OSL_ADDR_0X);
    line.body(l.rssi, l.payload);
    fputs("\n\r", stdout);
}

void print_sec_key(time_t when, const uint8_t *data, unsigned len) {
    osl_rx_line l = osl_rx_line_from(data, len);
    osl_rx_print_head(when, "[osl rec] SEC_KEY \"");
    osl_print_addr_rev(l.addr, 0);
    fputs("\", \"", stdout);
    for (uint8_t b : l.payload)
        printf("%.2X", b);
    fputs("\"\n\r", stdout);
}

// --- the sealed families -----------------------------------------------------

int decode_sensor(const uint8_t *event, uint8_t *payload, int8_t rssi, osl_fifo_t *q) {
    if (osl_unseal_check_with(payload, &osl_sensor_schedule) != 0)
        return OSL_DECODE_BAD_TAG;
    if (int refused = osl_rx_admit(osl_frame_tail(event, payload)))
        return refused;
    osl_rx_lamp_flash();
    osl_unseal_open_with(payload, &osl_sensor_schedule);
    int result = osl_record_push(event, payload, rssi, q);
    if (osl_log_on(OSL_LOG_SENSORS))
        osl_rx_line_defer(print_sensor, event, rssi, payload);
    return result;
}

// Actors announce their keys sealed with the sensor key; the announcement is
// for the user to read, so it is printed but never queued.
int decode_sec_key(const uint8_t *event, int len, uint8_t *payload, int8_t rssi) {
    if (osl_unseal_check_with(payload, &osl_sensor_schedule) != 0)
        return OSL_DECODE_BAD_TAG;
    osl_rx_lamp_flash();
    if (!osl_log_on(OSL_LOG_ACTORS))
        return OSL_DECODE_KEY_UNLOGGED;
    if (int refused = osl_rx_admit(osl_frame_tail(event, payload)))
        return refused;
    osl_unseal_open_with(payload, &osl_sensor_schedule);
    osl_rx_line_defer(print_sec_key, event, rssi, payload);
    return len;
}

} // namespace

void osl_frame_set_actor_handler(osl_sealed_handler handler) {
    actor_handler = handler;
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
    const int avail = received_bytes(len);
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
        return decode_sensor(event, payload, rssi, q);
    if (type == TYPE_SEC_KEY)
        return decode_sec_key(event, len, payload, rssi);
    if (actor_handler != nullptr)
        return actor_handler(event, len, payload, rssi, q);
    return len;
}

// The first structure's type byte is examined whatever the length: the
// window slot always holds it.
int osl_ad_find(int type, const uint8_t *event, int len) {
    const int avail = received_bytes(len);
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
