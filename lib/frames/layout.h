// How the kit's frames sit in LE advertising data: the AD structures it
// uses, the standard layout in which devices and the command transmitter
// place a sealed payload, and the frame types of that payload.
#pragma once

#include <cstdint>

#include "core/hci_defs.h"
#include "osl.h"
#include "seal.h"

namespace osl::frame {

// AD structure types.
inline constexpr uint8_t AD_FLAGS = 0x01;
inline constexpr uint8_t AD_COMPLETE_NAME = 0x09;
inline constexpr uint8_t AD_MANUFACTURER = 0xFF;

// Positions inside one AD structure, counted from its length byte.
inline constexpr int AD_TYPE = 1;
inline constexpr int AD_DATA = 2; // the name's text; the company identifier
// Manufacturer data: length, type, two company identifier bytes, payload.
inline constexpr int MANUF_PAYLOAD = 4;

// The kit's sealed frames carry the company identifier FF FF.
inline constexpr uint8_t KIT_COMPANY_BYTE = 0xFF;

// Standard layout of the 31 bytes of advertising data: a flags structure,
// then the manufacturer structure holding exactly the sealed payload.
inline constexpr int ADV_DATA_SIZE = 31;
inline constexpr uint8_t ADV_FLAGS_VALUE = 0x04; // BR/EDR not supported
inline constexpr uint8_t STD_HEADER[] = {
    0x02, AD_FLAGS, ADV_FLAGS_VALUE, 0x1B, AD_MANUFACTURER, KIT_COMPANY_BYTE, KIT_COMPANY_BYTE};
inline constexpr int STD_PAYLOAD = sizeof STD_HEADER; // 7
static_assert(STD_PAYLOAD + OSL_SEALED_SIZE == ADV_DATA_SIZE, "payload fills the data");

// The standard layout in a received report: payload at 21..44, RSSI at 45.
inline constexpr int REPORT_STD_PAYLOAD = hci::report::DATA + STD_PAYLOAD;
inline constexpr int REPORT_STD_RSSI = hci::report::DATA + ADV_DATA_SIZE;
inline constexpr int REPORT_STD_SIZE = REPORT_STD_RSSI + 1;

// In the standard layout the report's RSSI is the byte after the payload.
inline constexpr int RSSI_AFTER_PAYLOAD = OSL_SEALED_SIZE;

// Frame types, byte OSL_SEALED_TYPE of a sealed payload (sensors 0..7, the
// actors by their device types).
inline constexpr uint8_t TYPE_SENSOR_LAST = 7;
inline constexpr uint8_t TYPE_SEC_KEY = 254;

// The air-quality sensor: plain frames, recognised by their complete local name.
inline constexpr char AIR_NAME[] = "Tulvo";
inline constexpr int AIR_NAME_LEN = sizeof AIR_NAME - 1;
inline constexpr int AIR_PAYLOAD_SIZE = 16;

// The device record's layout is public: OSL_REC_* in osl.h.

// A command to an actor, the 24-byte payload before sealing. Byte 4, which
// holds the device type in the devices' own frames, holds the command code.
namespace command {
inline constexpr int TIME = 0;         // calendar time, 32 bits, least significant byte first
inline constexpr int CODE = 4;         // CODE_VALUE
inline constexpr int TARGET = 5;       // the actor's address, most significant byte first
inline constexpr int TARGET_TYPE = 11; // the actor's device type
inline constexpr int VALUES = 12;      // up to three value bytes
inline constexpr int VALUES_MAX = 3;
inline constexpr uint8_t CODE_VALUE = 6;
} // namespace command

} // namespace osl::frame
