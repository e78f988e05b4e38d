// The frame decoder: turns one received advertising report into at most one
// record. Runs in the tick, so it works in place in the window slot, prints
// nothing itself and hands its log lines to the signal-safe log ring.
#include "decode.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "actors/registry.h"
#include "core/core.h"
#include "core/hci_defs.h"
#include "core/lamps.h"
#include "core/log.h"
#include "core/text.h"
#include "frames/layout.h"
#include "frames/seal.h"
#include "osl.h"

uint8_t osl_rx_slots[OSL_RX_SLOTS + 1][OSL_RX_SLOT_SIZE];
volatile uint8_t osl_rx_index;
volatile int32_t osl_rx_countdown;

namespace {

using namespace osl::frame;
namespace report = osl::hci::report;

// The air sensor's temperature high byte: the home program's build reads it
// as two's complement, the scanner's build as unsigned.
#ifdef OSL_AIR_TEMP_UNSIGNED
constexpr bool AIR_TEMP_HIGH_SIGNED = false;
#else
constexpr bool AIR_TEMP_HIGH_SIGNED = true;
#endif

enum : int {
    DECODE_NOT_EVENT = -2,
    DECODE_NOT_ADV_REPORT = -4,
    DECODE_NO_PAYLOAD = -6,
    DECODE_BAD_TAG = -10,
    DECODE_REPEAT = -12,
    DECODE_WINDOW_FULL = -14,
    DECODE_KEY_UNLOGGED = 0,
};

// The repeat test compares fixed positions of the standard layout: the
// address, and the frame type with the tag (report bytes 37..44).
constexpr int REPEAT_TAIL = REPORT_STD_PAYLOAD + OSL_SEALED_TYPE;
constexpr int REPEAT_TAIL_LEN = OSL_SEALED_SIZE - OSL_SEALED_TYPE;
constexpr int ADDR_LEN = 6;
static_assert(REPEAT_TAIL + REPEAT_TAIL_LEN <= OSL_RX_SLOT_SIZE, "repeat test stays in the slot");

// What a deferred line needs: the address as received, the RSSI, the 16
// payload bytes after unsealing, and for actors which entry sent it (names
// never change once registered, so the printer reads the name itself).
struct RxLine {
    uint8_t addr[ADDR_LEN];
    int8_t rssi;
    uint8_t payload[16];
    uint8_t kind;
    uint8_t index;
};
static_assert(sizeof(RxLine) <= OSL_LOG_DATA_MAX, "fits a deferred line");

// Bytes of the slot beyond what was received are zero, but they are not
// data: every position the decoder takes data from must lie below this.
int received_bytes(int len) {
    if (len < 0)
        return 0;
    return len > OSL_RX_SLOT_SIZE ? OSL_RX_SLOT_SIZE : len;
}

// The byte after the payload in the standard layout; otherwise the report's
// own RSSI field, after the advertising data; 0 when neither was received.
int8_t frame_rssi(const uint8_t *event, int avail, int payload) {
    int at = payload + RSSI_AFTER_PAYLOAD;
    if (at < avail)
        return static_cast<int8_t>(event[at]);
    at = report::DATA + event[report::DATA_LEN];
    if (at < avail)
        return static_cast<int8_t>(event[at]);
    return 0;
}

// The lamp stays lit for a fixed number of ticks from the first frame;
// frames in between neither relight nor prolong it.
void rx_lamp_on() {
    if (osl_lamps.osl_rx_lamp_count == 0) {
        osl_lamp_set(&osl_lamps, LAMP_RX, 1);
        osl_lamps.osl_rx_lamp_count = 1;
    }
}

// An accepted sealed frame keeps its slot and opens or extends the window.
bool take_slot() {
    uint8_t index = osl_rx_index;
    if (index >= OSL_RX_SLOTS)
        return false;
    osl_rx_index = static_cast<uint8_t>(index + 1);
    osl_rx_countdown = OSL_RX_WINDOW_TICKS;
    return true;
}

void defer_line(osl_log_printer print, const uint8_t *event, int8_t rssi, const uint8_t *payload,
                int kind = 0, int index = 0) {
    RxLine line;
    memcpy(line.addr, event + report::ADDR, ADDR_LEN);
    line.rssi = rssi;
    memcpy(line.payload, payload, sizeof line.payload);
    line.kind = static_cast<uint8_t>(kind);
    line.index = static_cast<uint8_t>(index);
    osl_log_defer(print, &line, sizeof line);
}

// --- printing (application's flow) -----------------------------------------

RxLine line_from(const uint8_t *data, unsigned len) {
    RxLine line = {};
    memcpy(&line, data, len < sizeof line ? len : sizeof line);
    return line;
}

int u16(const uint8_t *p, int i) {
    return p[i] * 256 + p[i + 1];
}
int s8(uint8_t b) {
    return static_cast<int8_t>(b);
}
int32_t wt(const uint8_t *p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 |
                                static_cast<uint32_t>(p[3]) << 24);
}
float volts(uint8_t b) {
    return static_cast<float>(b) / 71.0f;
}

void print_head(time_t when, const char *tag) {
    osl_print_time_prefix_at(when, OSL_LOG_TIME_FORMAT);
    fputs(tag, stdout);
}

void print_rssi(int8_t rssi) {
    printf(" <%ddBm", rssi);
}
void print_fw(const uint8_t *p) {
    printf(" fw%.2X.%.2X", p[14], p[15]);
}
void print_vcc(const uint8_t *p) {
    printf(" %0.2fV", volts(p[5]));
}
void print_nm_wt(const uint8_t *p) {
    printf(" Nm=%ds Wt=%ds>\n\r", p[6] * 2, wt(p));
}
void print_adc2(const uint8_t *p, int first) {
    printf(" ADC1=%dmV ADC2=%dmV", u16(p, first), u16(p, first + 2));
}

// The rest of a sensor's line after its tag and address.
void meteo_body(int8_t rssi, const uint8_t *p) {
    print_rssi(rssi);
    print_vcc(p);
    print_nm_wt(p);
    float t = static_cast<float>(static_cast<int16_t>(u16(p, 8))) / 100.0f;
    printf("\tT=%0.2f*C RH=%2d L=%.3d DIN=%.2X", t, p[10], p[11], p[7]);
    print_adc2(p, 12);
}

void motion_body(int8_t rssi, const uint8_t *p) {
    print_rssi(rssi);
    print_fw(p);
    print_vcc(p);
    printf(" Wt=%ds>\n\r", wt(p));
    printf("\tL=%d Ct=%d*C Mf=%.2X", p[9], s8(p[8]), p[7]);
    print_adc2(p, 10);
    if (p[7] & 0x80)
        fputs(" OBJECT DETECTED !!", stdout);
}

// Button functions by byte 7; other values print nothing.
const char *const button_functions[] = {"", " SINGLE CLICK", " DOUBLE CLICK", " HOLDING"};

void button_body(int8_t rssi, const uint8_t *p) {
    print_rssi(rssi);
    print_fw(p);
    printf(" %0.2fV>\n\r", volts(p[5]));
    printf("\tL=%d Ct=%d*C Mf=%.2X I=%.2X", p[10], s8(p[9]), p[7], p[8]);
    if (p[7] < sizeof button_functions / sizeof button_functions[0])
        fputs(button_functions[p[7]], stdout);
}

void flood_body(int8_t rssi, const uint8_t *p) {
    print_rssi(rssi);
    print_fw(p);
    print_vcc(p);
    print_nm_wt(p);
    printf("\tCt=%d*C Ff=%.2X", s8(p[8]), p[7]);
    fputs((p[7] & 0x01) ? " FLOOD ALERT" : " NO FLOOD", stdout);
}

void magneto_body(int8_t rssi, const uint8_t *p) {
    print_rssi(rssi);
    print_fw(p);
    print_vcc(p);
    print_nm_wt(p);
    printf("\tL=%d Ct=%d*C Mf=%.2X", p[9], s8(p[8]), p[7]);
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
    RxLine l = line_from(data, len);
    uint8_t type = l.payload[OSL_REC_TYPE];
    const SensorLine &line =
        sensor_lines[type < sizeof sensor_lines / sizeof sensor_lines[0] ? type : 0];
    print_head(when, line.tag);
    osl_print_addr_rev(l.addr, OSL_ADDR_0X);
    line.body(l.rssi, l.payload);
    fputs("\n\r", stdout);
}

void print_air(time_t when, const uint8_t *data, unsigned len) {
    RxLine l = line_from(data, len);
    const uint8_t *p = l.payload;
    int high = AIR_TEMP_HIGH_SIGNED ? s8(p[5]) : p[5];
    float t = static_cast<float>(high * 256 + p[6] - 27315) / 100.0f;
    print_head(when, "[osl rec] Tulvo ");
    print_rssi(l.rssi);
    printf(" %0.2fV>", volts(p[3]));
    printf(" %0.2f*C %2d%%RH", t, p[7]);
    printf(" PM10=%d PM2.5=%d PM1=%d", u16(p, 8), u16(p, 10), u16(p, 12));
    printf(" [%d min]\n\r", p[2] - p[1]);
}

void print_sec_key(time_t when, const uint8_t *data, unsigned len) {
    RxLine l = line_from(data, len);
    print_head(when, "[osl rec] SEC_KEY \"");
    osl_print_addr_rev(l.addr, 0);
    fputs("\", \"", stdout);
    for (uint8_t b : l.payload)
        printf("%.2X", b);
    fputs("\"\n\r", stdout);
}

// --- actors ----------------------------------------------------------------

void relay_store(int i, const uint8_t *p) {
    osl_relay_table[i].reported = p[7];
}
void dimmer_store(int i, const uint8_t *p) {
    osl_dimmer_table[i].reported = p[9];
}
void pwm_store(int i, const uint8_t *p) {
    for (int c = 0; c < 3; c++)
        osl_pwm_table[i].reported[c] = p[9 + c];
}

// The second line of an actor's log entry; the reported bytes printed are
// those just stored in its entry.
void relay_tail(const uint8_t *p) {
    printf("\tL=%d Ct=%d*C ch=%.2X", p[9], s8(p[8]), p[7]);
    printf(" ADC1=%dmV ADC2=%dmV\n\r", u16(p, 10), u16(p, 12));
}
void dimmer_tail(const uint8_t *p) {
    printf("\tL=%d Ct=%d*C D=%d%%", p[8], s8(p[7]), p[9]);
    printf(" ADC1=%dmV\n\r", u16(p, 12));
}
void pwm_tail(const uint8_t *p) {
    printf("\tL=%d Ct=%d*C PWM=%d%%,%d%%,%d%%", p[8], s8(p[7]), p[9], p[10], p[11]);
    printf(" ADC1=%dmV\n\r", u16(p, 12));
}

struct ActorKind {
    uint8_t type;
    const char *label;
    int (*find_frame_addr)(const uint8_t *addr);
    const uint8_t *(*key)(int i);
    const char *(*name)(int i);
    void (*store)(int i, const uint8_t *payload);
    void (*tail)(const uint8_t *payload);
};

const ActorKind actor_kinds[] = {
    {OSL_DEV_RELAY, "RELAY", osl_relay_find_frame_addr,
     [](int i) -> const uint8_t * { return osl_relay_table[i].sec_key; },
     [](int i) -> const char * { return osl_relay_table[i].name; }, relay_store, relay_tail},
    {OSL_DEV_DIMMER, "DIMMER", osl_dimmer_find_frame_addr,
     [](int i) -> const uint8_t * { return osl_dimmer_table[i].sec_key; },
     [](int i) -> const char * { return osl_dimmer_table[i].name; }, dimmer_store, dimmer_tail},
    {OSL_DEV_PWM, "PWM", osl_pwm_find_frame_addr,
     [](int i) -> const uint8_t * { return osl_pwm_table[i].sec_key; },
     [](int i) -> const char * { return osl_pwm_table[i].name; }, pwm_store, pwm_tail},
};
constexpr int ACTOR_KINDS = sizeof actor_kinds / sizeof actor_kinds[0];

int actor_kind(uint8_t type) {
    for (int k = 0; k < ACTOR_KINDS; k++)
        if (actor_kinds[k].type == type)
            return k;
    return -1;
}

void print_actor(time_t when, const uint8_t *data, unsigned len) {
    RxLine l = line_from(data, len);
    if (l.kind >= ACTOR_KINDS)
        return;
    const ActorKind &kind = actor_kinds[l.kind];
    const uint8_t *p = l.payload;
    osl_print_time_prefix_at(when, OSL_LOG_TIME_FORMAT);
    printf("[osl rec] %s '%s'", kind.label, kind.name(l.index));
    print_rssi(l.rssi);
    print_fw(p);
    print_vcc(p);
    print_nm_wt(p);
    kind.tail(p);
}

// --- the families of frames --------------------------------------------------

bool is_air_frame(const uint8_t *event, int avail) {
    int name = osl_ad_find(AD_COMPLETE_NAME, event, avail);
    if (name < 1 || name + AD_DATA + AIR_NAME_LEN > avail)
        return false;
    return osl_name_cmp(AIR_NAME, event + name + AD_DATA) == 0;
}

// Plain frames: no key, no tag, no repeat test, no window.
int decode_air(const uint8_t *event, int avail, osl_fifo_t *q) {
    int manuf = osl_ad_find(AD_MANUFACTURER, event, avail);
    if (manuf < 0)
        return DECODE_NO_PAYLOAD;
    int payload = manuf + MANUF_PAYLOAD;
    if (payload + AIR_PAYLOAD_SIZE > avail)
        return DECODE_NO_PAYLOAD;
    rx_lamp_on();
    int8_t rssi = frame_rssi(event, avail, payload);
    int result = osl_record_push(event, event + payload, rssi, q);
    if (osl_log_on(OSL_LOG_AIR))
        defer_line(print_air, event, rssi, event + payload);
    return result;
}

// A sealed frame that passed its tag keeps a window slot, unless it repeats
// a frame of the window or the window is full.
int admit_to_window() {
    if (osl_rx_is_duplicate())
        return DECODE_REPEAT;
    if (!take_slot())
        return DECODE_WINDOW_FULL;
    return 0;
}

int decode_sensor(const uint8_t *event, uint8_t *payload, int8_t rssi, osl_fifo_t *q) {
    if (osl_unseal_check(payload, osl_sensor_key) != 0)
        return DECODE_BAD_TAG;
    if (int refused = admit_to_window())
        return refused;
    rx_lamp_on();
    osl_unseal_open(payload, osl_sensor_key);
    int result = osl_record_push(event, payload, rssi, q);
    if (osl_log_on(OSL_LOG_SENSORS))
        defer_line(print_sensor, event, rssi, payload);
    return result;
}

// Actors announce their keys sealed with the sensor key; the announcement is
// for the user to read, so it is printed but never queued.
int decode_sec_key(const uint8_t *event, int len, uint8_t *payload, int8_t rssi) {
    if (osl_unseal_check(payload, osl_sensor_key) != 0)
        return DECODE_BAD_TAG;
    rx_lamp_on();
    if (!osl_log_on(OSL_LOG_ACTORS))
        return DECODE_KEY_UNLOGGED;
    if (int refused = admit_to_window())
        return refused;
    osl_unseal_open(payload, osl_sensor_key);
    defer_line(print_sec_key, event, rssi, payload);
    return len;
}

int decode_actor(int k, const uint8_t *event, int len, uint8_t *payload, int8_t rssi,
                 osl_fifo_t *q) {
    const ActorKind &kind = actor_kinds[k];
    int index = kind.find_frame_addr(event + report::ADDR);
    if (index < 0)
        return len;
    const uint8_t *key = kind.key(index);
    if (osl_unseal_check(payload, key) != 0)
        return DECODE_BAD_TAG;
    if (int refused = admit_to_window())
        return refused;
    rx_lamp_on();
    osl_unseal_open(payload, key);
    int result = osl_record_push(event, payload, rssi, q);
    kind.store(index, payload);
    if (osl_log_on(OSL_LOG_ACTORS))
        defer_line(print_actor, event, rssi, payload, k, index);
    return result;
}

} // namespace

int osl_frame_decode(uint8_t *event, int len, osl_fifo_t *q) {
    if (event[report::PKT_TYPE] != osl::hci::PKT_EVENT)
        return DECODE_NOT_EVENT;
    if (event[report::SUBEVENT] != osl::hci::SUBEVT_LE_ADV_REPORT)
        return DECODE_NOT_ADV_REPORT;
    const int avail = received_bytes(len);
    if (is_air_frame(event, avail))
        return decode_air(event, avail, q);

    int manuf = osl_ad_find(AD_MANUFACTURER, event, avail);
    if (manuf < 0)
        return DECODE_NO_PAYLOAD;
    // A payload cut short by the report's end would be sealed bytes, type and
    // tag made up of whatever follows; refuse it before reading any of it.
    int start = manuf + MANUF_PAYLOAD;
    if (start + OSL_SEALED_SIZE > avail)
        return DECODE_NO_PAYLOAD;
    if (event[manuf + AD_DATA] != KIT_COMPANY_BYTE ||
        event[manuf + AD_DATA + 1] != KIT_COMPANY_BYTE)
        return DECODE_NO_PAYLOAD;

    uint8_t *payload = event + start;
    const uint8_t type = payload[OSL_SEALED_TYPE];
    const int8_t rssi = frame_rssi(event, avail, start);
    if (type <= TYPE_SENSOR_LAST)
        return decode_sensor(event, payload, rssi, q);
    if (type == TYPE_SEC_KEY)
        return decode_sec_key(event, len, payload, rssi);
    int k = actor_kind(type);
    if (k >= 0)
        return decode_actor(k, event, len, payload, rssi, q);
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

// A prefix comparison: the frame's name may run on past the text.
int osl_name_cmp(const char *text, const uint8_t *frame) {
    for (int i = 0; text[i] != '\0'; i++) {
        uint8_t t = static_cast<uint8_t>(text[i]);
        if (t != frame[i])
            return t - frame[i];
    }
    return 0;
}

int osl_rx_is_duplicate() {
    int current = osl_rx_index;
    if (current == 0)
        return 0;
    if (current > OSL_RX_SLOTS)
        current = OSL_RX_SLOTS; // the scratch row holds the event then
    const uint8_t *now = osl_rx_slots[current];
    for (int s = current - 1; s >= 0; s--) {
        const uint8_t *old = osl_rx_slots[s];
        if (memcmp(old + report::ADDR, now + report::ADDR, ADDR_LEN) == 0 &&
            memcmp(old + REPEAT_TAIL, now + REPEAT_TAIL, REPEAT_TAIL_LEN) == 0)
            return 1;
    }
    return 0;
}
