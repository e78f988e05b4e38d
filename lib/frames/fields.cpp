#include "fields.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "core/addr.h"

namespace {

using rd = osl_field_read;

// --- the fields every family shares --------------------------------------

constexpr float OSL_VOLTS_STEPS = 71.0f; // supply byte / 71 = volts

constexpr osl_field_spec OSL_RSSI = {
    .name = "rssi", .unit = "dBm", .at = OSL_REC_RSSI, .read = rd::s8, .log = " <%ddBm"};
constexpr osl_field_spec OSL_UPTIME = {
    .name = "uptime", .unit = "s", .at = 0, .read = rd::u32_le, .log = " Wt=%ds>\n\r"};
constexpr osl_field_spec OSL_VOLTAGE = {.name = "voltage",
                                        .unit = "V",
                                        .at = 5,
                                        .read = rd::u8,
                                        .divisor = OSL_VOLTS_STEPS,
                                        .log = " %0.2fV"};
// The reporting interval: a byte of two-second steps.
constexpr osl_field_spec OSL_INTERVAL = {
    .name = "interval", .unit = "s", .at = 6, .read = rd::u8, .factor = 2, .log = " Nm=%ds"};
constexpr osl_field_spec OSL_INTERVAL_UNLOGGED = {
    .name = "interval", .unit = "s", .at = 6, .read = rd::u8, .factor = 2};
constexpr osl_field_spec OSL_FIRMWARE = {.name = "firmware",
                                         .unit = nullptr,
                                         .at = 14,
                                         .read = rd::u16,
                                         .log = " fw%.2X.%.2X",
                                         .log_as_bytes = true};

// A chip temperature (Ct) in whole degrees, a signed byte.
constexpr osl_field_spec osl_chip_temperature(uint8_t at) {
    return {.name = "temperature", .unit = "°C", .at = at, .read = rd::s8, .log = " Ct=%d*C"};
}
constexpr osl_field_spec osl_light(uint8_t at) {
    return {.name = "light", .unit = nullptr, .at = at, .read = rd::u8, .log = "\tL=%d"};
}
constexpr osl_field_spec osl_millivolts(const char *name, uint8_t at, const char *log) {
    return {.name = name, .unit = "mV", .at = at, .read = rd::u16, .log = log};
}
constexpr osl_field_spec osl_flags(uint8_t at, const char *log) {
    return {.name = "flags", .unit = nullptr, .at = at, .read = rd::u8, .log = log};
}
// A flag of the flags byte, printed as one of two texts (clear, set).
constexpr osl_field_spec osl_flag(const char *name, uint8_t at, uint8_t mask,
                                  const char *const *texts) {
    return {.name = name,
            .unit = nullptr,
            .at = at,
            .read = rd::bit,
            .mask = mask,
            .texts = texts,
            .texts_count = 2};
}

// --- the sensors ---------------------------------------------------------

constexpr osl_field_spec osl_meteo_fields[] = {
    OSL_RSSI,
    OSL_VOLTAGE,
    OSL_INTERVAL,
    OSL_UPTIME,
    {.name = "temperature",
     .unit = "°C",
     .at = 8,
     .read = rd::s16,
     .divisor = 100.0f,
     .log = "\tT=%0.2f*C"},
    {.name = "humidity", .unit = "%", .at = 10, .read = rd::u8, .log = " RH=%2d"},
    // The weather line pads the light to three digits, unlike every other line.
    {.name = "light", .unit = nullptr, .at = 11, .read = rd::u8, .log = " L=%.3d"},
    {.name = "inputs", .unit = nullptr, .at = 7, .read = rd::u8, .log = " DIN=%.2X"},
    osl_millivolts("adc1", 12, " ADC1=%dmV"),
    // The weather sensor has no firmware bytes: they carry ADC2.
    osl_millivolts("adc2", 14, " ADC2=%dmV"),
};

constexpr const char *osl_motion_texts[] = {"", " OBJECT DETECTED !!"};
constexpr osl_field_spec osl_motion_fields[] = {
    OSL_RSSI,
    OSL_FIRMWARE,
    OSL_VOLTAGE,
    // The motion line alone leaves out the interval.
    OSL_UPTIME,
    osl_light(9),
    osl_chip_temperature(8),
    osl_flags(7, " Mf=%.2X"),
    osl_millivolts("adc1", 10, " ADC1=%dmV"),
    osl_millivolts("adc2", 12, " ADC2=%dmV"),
    osl_flag("motion", 7, 0x80, osl_motion_texts),
    OSL_INTERVAL_UNLOGGED,
};

// Button functions by byte 7: 1 single click, 2 double click, 3 holding.
constexpr const char *osl_button_texts[] = {"", " SINGLE CLICK", " DOUBLE CLICK", " HOLDING"};
constexpr osl_field_spec osl_button_fields[] = {
    OSL_RSSI,
    OSL_FIRMWARE,
    // The button line closes its first half after the voltage: it has
    // neither interval nor count of seconds.
    {.name = "voltage",
     .unit = "V",
     .at = 5,
     .read = rd::u8,
     .divisor = OSL_VOLTS_STEPS,
     .log = " %0.2fV>\n\r"},
    osl_light(10),
    osl_chip_temperature(9),
    {.name = "button", .unit = nullptr, .at = 7, .read = rd::u8, .log = " Mf=%.2X"},
    {.name = "inputs", .unit = nullptr, .at = 8, .read = rd::u8, .log = " I=%.2X"},
    // The function once more, in words, at the end of the line.
    {.name = nullptr,
     .unit = nullptr,
     .at = 7,
     .read = rd::u8,
     .texts = osl_button_texts,
     .texts_count = sizeof osl_button_texts / sizeof osl_button_texts[0]},
    {.name = "uptime", .unit = "s", .at = 0, .read = rd::u32_le},
    OSL_INTERVAL_UNLOGGED,
};

constexpr const char *osl_flood_texts[] = {" NO FLOOD", " FLOOD ALERT"};
constexpr osl_field_spec osl_flood_fields[] = {
    OSL_RSSI,
    OSL_FIRMWARE,
    OSL_VOLTAGE,
    OSL_INTERVAL,
    OSL_UPTIME,
    {.name = "temperature", .unit = "°C", .at = 8, .read = rd::s8, .log = "\tCt=%d*C"},
    osl_flags(7, " Ff=%.2X"),
    osl_flag("flood", 7, 0x01, osl_flood_texts),
};

// The contact is closed while the magnet is near.
constexpr const char *osl_contact_texts[] = {" OPEN", " CLOSED"};
constexpr osl_field_spec osl_magneto_fields[] = {
    OSL_RSSI,
    OSL_FIRMWARE,
    OSL_VOLTAGE,
    OSL_INTERVAL,
    OSL_UPTIME,
    osl_light(9),
    osl_chip_temperature(8),
    osl_flags(7, " Mf=%.2X"),
    osl_millivolts("adc1", 10, " ADC1=%dmV"),
    osl_millivolts("adc2", 12, " ADC2=%dmV"),
    osl_flag("contact", 7, 0x80, osl_contact_texts),
};

// --- the actors (their reported state is also stored in their entries) ----

constexpr osl_field_spec osl_relay_fields[] = {
    OSL_RSSI,
    OSL_FIRMWARE,
    OSL_VOLTAGE,
    OSL_INTERVAL,
    OSL_UPTIME,
    osl_light(9),
    osl_chip_temperature(8),
    {.name = "channels",
     .unit = nullptr,
     .at = OSL_RELAY_CHANNELS_AT,
     .read = rd::u8,
     .log = " ch=%.2X"},
    osl_millivolts("adc1", 10, " ADC1=%dmV"),
    osl_millivolts("adc2", 12, " ADC2=%dmV\n\r"),
};

constexpr osl_field_spec osl_dimmer_fields[] = {
    OSL_RSSI,
    OSL_FIRMWARE,
    OSL_VOLTAGE,
    OSL_INTERVAL,
    OSL_UPTIME,
    osl_light(8),
    osl_chip_temperature(7),
    {.name = "level", .unit = "%", .at = OSL_DIMMER_LEVEL_AT, .read = rd::u8, .log = " D=%d%%"},
    osl_millivolts("adc1", 12, " ADC1=%dmV\n\r"),
};

constexpr osl_field_spec osl_pwm_fields[] = {
    OSL_RSSI,
    OSL_FIRMWARE,
    OSL_VOLTAGE,
    OSL_INTERVAL,
    OSL_UPTIME,
    osl_light(8),
    osl_chip_temperature(7),
    {.name = "level0", .unit = "%", .at = OSL_PWM_LEVELS_AT, .read = rd::u8, .log = " PWM=%d%%"},
    {.name = "level1", .unit = "%", .at = OSL_PWM_LEVELS_AT + 1, .read = rd::u8, .log = ",%d%%"},
    {.name = "level2", .unit = "%", .at = OSL_PWM_LEVELS_AT + 2, .read = rd::u8, .log = ",%d%%"},
    osl_millivolts("adc1", 12, " ADC1=%dmV\n\r"),
};

// --- the air-quality sensor: plain frames of its own layout --------------

constexpr int16_t OSL_KELVIN_HUNDREDTHS = 27315; // 0 °C in hundredths of a kelvin
constexpr osl_field_spec osl_air_fields[] = {
    OSL_RSSI,
    // Its line closes the bracket after the voltage, which sits in byte 3.
    {.name = "voltage",
     .unit = "V",
     .at = 3,
     .read = rd::u8,
     .divisor = OSL_VOLTS_STEPS,
     .log = " %0.2fV>"},
    // Hundredths of a kelvin.
    {.name = "temperature",
     .unit = "°C",
     .at = 5,
     .read = rd::air_temp,
     .bias = -OSL_KELVIN_HUNDREDTHS,
     .divisor = 100.0f,
     .log = " %0.2f*C"},
    {.name = "humidity", .unit = "%", .at = 7, .read = rd::u8, .log = " %2d%%RH"},
    {.name = "pm10", .unit = "µg/m³", .at = 8, .read = rd::u16, .log = " PM10=%d"},
    {.name = "pm25", .unit = "µg/m³", .at = 10, .read = rd::u16, .log = " PM2.5=%d"},
    {.name = "pm1", .unit = "µg/m³", .at = 12, .read = rd::u16, .log = " PM1=%d"},
    // Byte 2 minus byte 1.
    {.name = "minutes", .unit = "min", .at = 1, .read = rd::diff, .log = " [%d min]\n\r"},
};

constexpr osl_field_spec osl_unknown_fields[] = {
    {.name = "rssi", .unit = "dBm", .at = OSL_REC_RSSI, .read = rd::s8, .log = " <%ddBm>"},
};

template <int N>
constexpr osl_family osl_family_def(int type, const char *kind, const osl_field_spec (&f)[N],
                                    const char *line_end) {
    return {type, kind, f, N, line_end};
}

// Sensor lines end after their fields; the actors' and the air sensor's last
// field carries the line end itself.
constexpr osl_family osl_families[] = {
    osl_family_def(OSL_DEV_METEO, "METEO", osl_meteo_fields, "\n\r"),
    osl_family_def(OSL_DEV_MOTION, "MOTION", osl_motion_fields, "\n\r"),
    osl_family_def(OSL_DEV_BUTTON, "BUTTON", osl_button_fields, "\n\r"),
    osl_family_def(OSL_DEV_FLOOD, "FLOOD", osl_flood_fields, "\n\r"),
    osl_family_def(OSL_DEV_MAGNETO, "MAGNETO", osl_magneto_fields, "\n\r"),
    osl_family_def(OSL_DEV_RELAY, "RELAY", osl_relay_fields, ""),
    osl_family_def(OSL_DEV_DIMMER, "DIMMER", osl_dimmer_fields, ""),
    osl_family_def(OSL_DEV_PWM, "PWM", osl_pwm_fields, ""),
    osl_family_def(OSL_DEV_AIR, "AIR", osl_air_fields, ""),
};

constexpr bool osl_families_fit() {
    for (const osl_family &f : osl_families) {
        int named = 0;
        for (int i = 0; i < f.count; i++)
            named += f.fields[i].name != nullptr;
        if (named > OSL_FIELDS_MAX)
            return false;
    }
    return true;
}
static_assert(osl_families_fit(), "OSL_FIELDS_MAX holds every family's fields");

int32_t osl_field_raw(const osl_field_spec &f, const uint8_t *r) {
    const int at = f.at;
    switch (f.read) {
    case rd::u8:
        return r[at];
    case rd::s8:
        return static_cast<int8_t>(r[at]);
    case rd::u16:
        return r[at] * 256 + r[at + 1];
    case rd::s16:
        return static_cast<int16_t>(r[at] * 256 + r[at + 1]);
    case rd::u32_le:
        return static_cast<int32_t>(
            static_cast<uint32_t>(r[at]) | static_cast<uint32_t>(r[at + 1]) << 8 |
            static_cast<uint32_t>(r[at + 2]) << 16 | static_cast<uint32_t>(r[at + 3]) << 24);
    case rd::bit:
        return (r[at] & f.mask) != 0 ? 1 : 0;
    case rd::diff:
        return r[at + 1] - r[at];
    case rd::air_temp: {
        const int high = osl_air_temp_high_signed ? static_cast<int8_t>(r[at]) : r[at];
        return high * 256 + r[at + 1];
    }
    }
    return 0;
}

// --- the air senders: written by the tick, read by the application -------

constexpr unsigned OSL_AIR_SENDERS = 16;
uint8_t osl_air_senders[OSL_AIR_SENDERS][OSL_ADDR_SIZE];
volatile uint32_t osl_air_sender_count;
volatile uint32_t osl_air_sender_next;
// Odd while the tick changes the table; a reader that the tick interrupted
// sees it moved and reads again. The tick itself is never interrupted by
// the reader, so it needs no such care.
volatile uint32_t osl_air_sender_changes;

bool osl_air_find(const uint8_t *addr) {
    const uint32_t n = osl_air_sender_count;
    for (uint32_t i = 0; i < n && i < OSL_AIR_SENDERS; i++)
        if (memcmp(osl_air_senders[i], addr, OSL_ADDR_SIZE) == 0)
            return true;
    return false;
}

} // namespace

const osl_family osl_unknown_sensor_family =
    osl_family_def(-1, nullptr, osl_unknown_fields, "\n\r");

const osl_family *osl_family_of(int type) {
    for (const osl_family &f : osl_families)
        if (f.type == type)
            return &f;
    return nullptr;
}

osl_field_value osl_field_read_value(const osl_field_spec &f, const uint8_t *record) {
    const int32_t raw = osl_field_raw(f, record);
    if (f.divisor != 0.0f)
        return {true, static_cast<float>(raw + f.bias) / f.divisor, 0};
    return {false, 0.0f, raw * f.factor};
}

void osl_family_print_fields(const osl_family &family, const uint8_t *record) {
    for (int i = 0; i < family.count; i++) {
        const osl_field_spec &f = family.fields[i];
        const osl_field_value v = osl_field_read_value(f, record);
        if (f.texts != nullptr) {
            if (v.whole >= 0 && v.whole < f.texts_count)
                fputs(f.texts[v.whole], stdout);
        } else if (f.log == nullptr) {
            continue;
        } else if (f.log_as_bytes) {
            printf(f.log, (v.whole >> 8) & 0xFF, v.whole & 0xFF);
        } else if (v.is_quotient) {
            printf(f.log, static_cast<double>(v.quotient));
        } else {
            printf(f.log, v.whole);
        }
    }
    fputs(family.line_end, stdout);
}

void osl_air_note_sender(const uint8_t *addr) {
    if (osl_air_find(addr))
        return;
    osl_air_sender_changes = osl_air_sender_changes + 1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    const uint32_t slot = osl_air_sender_next % OSL_AIR_SENDERS;
    memcpy(osl_air_senders[slot], addr, OSL_ADDR_SIZE);
    osl_air_sender_next = (slot + 1) % OSL_AIR_SENDERS;
    if (osl_air_sender_count < OSL_AIR_SENDERS)
        osl_air_sender_count = osl_air_sender_count + 1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    osl_air_sender_changes = osl_air_sender_changes + 1;
}

bool osl_air_sent_by(const uint8_t *addr) {
    for (;;) {
        const uint32_t before = osl_air_sender_changes;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        const bool found = osl_air_find(addr);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        if (before % 2 == 0 && osl_air_sender_changes == before)
            return found;
    }
}

extern "C" {

int osl_record_type(const osl_record *rec) {
    if (rec == nullptr)
        return OSL_FIELDS_UNKNOWN_TYPE;
    if (osl_air_sent_by(rec->addr))
        return OSL_DEV_AIR;
    return rec->payload[OSL_REC_TYPE];
}

int osl_record_fields(const osl_record *rec, osl_field *fields, int max) {
    const osl_family *family = rec == nullptr ? nullptr : osl_family_of(osl_record_type(rec));
    if (family == nullptr)
        return OSL_FIELDS_UNKNOWN_TYPE;
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(rec);
    int n = 0;
    for (int i = 0; i < family->count; i++) {
        const osl_field_spec &f = family->fields[i];
        if (f.name == nullptr)
            continue;
        if (fields != nullptr && n < max) {
            const osl_field_value v = osl_field_read_value(f, bytes);
            fields[n].name = f.name;
            fields[n].unit = f.unit;
            fields[n].value = v.is_quotient ? static_cast<double>(v.quotient) : v.whole;
        }
        n++;
    }
    return n;
}

const char *osl_device_kind_name(int type) {
    const osl_family *family = osl_family_of(type);
    return family != nullptr ? family->kind : nullptr;
}

} // extern "C"
