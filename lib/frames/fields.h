// The readings each device family carries in its record, described once.
//
// One table per family lists every field: where it lies in the 23-byte
// record, how its bytes are read, how it is scaled, its name and unit for the
// public decode (osl_record_fields), and the text its family's log line
// prints it with. The log lines, the public decode and, through the public
// decode, the programs all read these tables, so no one else knows an offset.
#pragma once

#include <cstdint>

#include "osl.h"

// How a field's bytes are read (multi-byte values high byte first, as the
// devices send them, except the count of seconds).
enum class osl_field_read : uint8_t {
    u8,
    s8,
    u16,
    s16,
    u32_le,   // bytes at..at+3 least significant first, taken as signed 32 bits
    bit,      // 1 when the byte has `mask` set, else 0
    diff,     // byte at+1 minus byte at, as a signed whole number
    air_temp, // like u16, with the high byte signed in the home build (air.cpp)
};

struct osl_field_spec {
    const char *name; // public name, lower case; null: only on the log line
    const char *unit; // UTF-8, or null
    uint8_t at;       // record byte of the first (or only) byte
    osl_field_read read;
    uint8_t mask = 0;          // read::bit: the flag
    int16_t bias = 0;          // added to the raw number before the division
    float divisor = 0.0f;      // a single-precision quotient; 0 for a whole number
    uint8_t factor = 1;        // whole numbers: the raw number times this
    const char *log = nullptr; // the log line's text of it, one conversion; null: not on the line
    // Instead of `log`: the text chosen by the value (0 .. texts_count-1);
    // other values print nothing.
    const char *const *texts = nullptr;
    uint8_t texts_count = 0;
    // The 16-bit value printed as its two bytes, high then low ("fw%.2X.%.2X").
    bool log_as_bytes = false;
};

struct osl_family {
    int type; // OSL_DEV_..., or -1 for the log line of an unknown sensor
    const char *kind;
    const osl_field_spec *fields;
    int count;
    const char *line_end; // printed after the fields
};

// Where the actors report their state, which their registry entries also
// keep: a relay's channel bits, a dimmer's level, a PWM controller's three
// levels from here on.
inline constexpr uint8_t OSL_RELAY_CHANNELS_AT = 7;
inline constexpr uint8_t OSL_DIMMER_LEVEL_AT = 9;
inline constexpr uint8_t OSL_PWM_LEVELS_AT = 9;

// The family of the record's device type, or of OSL_DEV_AIR; null for others.
const osl_family *osl_family_of(int type);
// The line of a sealed sensor frame whose type has no family.
extern const osl_family osl_unknown_sensor_family;

// A field's value, from the 23 bytes of a record: the quotient in single
// precision for quotients (as the log line computes and prints it), else
// the whole number.
struct osl_field_value {
    bool is_quotient;
    float quotient;
    int32_t whole;
};
osl_field_value osl_field_read_value(const osl_field_spec &f, const uint8_t *record);

// Application's flow: prints the family's fields along its log line, then
// its line end (the caller has printed the head: time, tag, address or name).
void osl_family_print_fields(const osl_family &family, const uint8_t *record);

// The air-quality sensor's frames carry no family mark: the decoder notes
// the addresses it heard them from (in the tick; address most significant
// byte first), and osl_record_type looks a record's address up there.
void osl_air_note_sender(const uint8_t *addr);
bool osl_air_sent_by(const uint8_t *addr);
// How the air build reads the temperature's high byte (defined by air.cpp,
// the one source built once per reading).
extern const bool osl_air_temp_high_signed;
