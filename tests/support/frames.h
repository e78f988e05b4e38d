// Frames of the kit's devices, built the way the devices build them, for the
// simulated controller to deliver: a device's 16 plain bytes and frame type
// -> the sealed 24-byte payload -> 31 bytes of advertising data in the
// standard layout -> an HCI LE Advertising Report event.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "osl.h"

namespace osl::test {

using Bytes = std::vector<uint8_t>;
using Addr = std::array<uint8_t, 6>;    // most significant byte first, as written
using Key = std::array<uint8_t, 16>;    // first byte from the first two digits
using Block = std::array<uint8_t, 16>;  // a device's plain payload
using Sealed = std::array<uint8_t, 24>; // sealed bytes, frame type, tag

// Bytes as upper-case hexadecimal digits, for comparisons and failure reports.
std::string hex(const uint8_t *bytes, size_t n);
inline std::string hex(const Bytes &bytes) {
    return hex(bytes.data(), bytes.size());
}
// And back, from digits in either case, on its own rather than through the
// library's text helpers; a malformed text fails the test.
Bytes from_hex(const char *text);

// Text forms, as the add operations take them; a malformed text fails the test.
Addr addr_from_text(const char *text);
Key key_from_text(const char *text);
// The key all sensors and key announcements are sealed with.
Key sensor_key();

// The payload of a sensor or actor before sealing (byte meanings by type).
struct DeviceBlock {
    uint32_t wt = 0;             // bytes 0..3, least significant first
    uint8_t type = 0;            // byte 4, the device type
    uint8_t vcc = 0;             // byte 5, volts x 71
    uint8_t nm = 0;              // byte 6, seconds / 2
    std::array<uint8_t, 9> b7{}; // bytes 7..15
    Block bytes() const;
};

// The air sensor's plain manufacturer bytes.
struct AirBlock {
    uint8_t minutes_from = 0; // byte 1
    uint8_t minutes_to = 0;   // byte 2
    uint8_t vcc = 0;          // byte 3, volts x 71
    uint8_t type = 0;         // byte 4
    uint16_t kelvin_x100 = 0; // bytes 5, 6, high byte first
    uint8_t rh = 0;           // byte 7
    uint16_t pm10 = 0, pm2_5 = 0, pm1 = 0;
    Block bytes() const;
};

// Seals the 16 plain bytes with the key and puts the frame type in clear.
Sealed seal_payload(const Block &plain, uint8_t frame_type, const Key &key);

// 02 01 04 | 1B FF FF FF | the 24 payload bytes.
Bytes standard_adv_data(const Sealed &payload);

// Complete advertising reports (46 bytes, RSSI last).
Bytes sealed_report(const Addr &from, const Sealed &payload, int8_t rssi);
// A sensor frame; the frame type defaults to the device type where that is
// a sensor type (0..7), else 0.
Bytes sensor_report(const Addr &from, const Block &plain, int8_t rssi);
Bytes sensor_report(const Addr &from, const Block &plain, uint8_t frame_type, int8_t rssi);
// An actor's frame, sealed with its own key; the frame type is byte 4.
Bytes actor_report(const Addr &from, const Block &plain, const Key &key, int8_t rssi);
// An actor announcing its key.
Bytes sec_key_report(const Addr &from, const Key &announced, int8_t rssi);

// The record the library makes of a frame: its 16 plain bytes, the sender's
// address, the RSSI.
osl_record record_of(const Block &payload, const Addr &from, int8_t rssi);

// The air sensor's frame: flags, the complete local name, then the
// manufacturer structure with the company identifier and the plain bytes.
Bytes air_adv_data(const Block &plain, const char *name = "Tulvo", uint16_t company = 0x0A0B);
Bytes air_report(const Addr &from, const Block &plain, int8_t rssi);

} // namespace osl::test
