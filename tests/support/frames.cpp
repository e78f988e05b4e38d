#include "frames.h"

#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

#include "sim/hci_sim.h"
#include "core/text.h"
#include "frames/layout.h"
#include "frames/seal.h"

namespace osl::test {

std::string hex(const uint8_t *bytes, size_t n) {
    std::string s;
    char two[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(two, sizeof two, "%02X", bytes[i]);
        s += two;
    }
    return s;
}

Bytes from_hex(const char *text) {
    auto nibble = [](char ch) -> int {
        if (ch >= '0' && ch <= '9')
            return ch - '0';
        if (ch >= 'A' && ch <= 'F')
            return ch - 'A' + 10;
        if (ch >= 'a' && ch <= 'f')
            return ch - 'a' + 10;
        ADD_FAILURE() << "not a hexadecimal digit: " << ch;
        return 0;
    };
    const size_t n = strlen(text);
    EXPECT_EQ(n % 2, 0u) << text;
    Bytes out;
    for (size_t i = 0; i + 1 < n; i += 2)
        out.push_back(static_cast<uint8_t>(nibble(text[i]) << 4 | nibble(text[i + 1])));
    return out;
}

Addr addr_from_text(const char *text) {
    Addr a{};
    EXPECT_EQ(osl_hex_to_bytes(text, a.data(), static_cast<int>(a.size())), 0) << text;
    return a;
}

Key key_from_text(const char *text) {
    Key k{};
    EXPECT_EQ(osl_hex_to_bytes(text, k.data(), static_cast<int>(k.size())), 0) << text;
    return k;
}

Key sensor_key() {
    Key k;
    memcpy(k.data(), osl_sensor_key, k.size());
    return k;
}

Block DeviceBlock::bytes() const {
    Block b{};
    for (int i = 0; i < 4; i++)
        b[i] = static_cast<uint8_t>(wt >> (8 * i));
    b[4] = type;
    b[5] = vcc;
    b[6] = nm;
    for (size_t i = 0; i < b7.size(); i++)
        b[7 + i] = b7[i];
    return b;
}

Block AirBlock::bytes() const {
    Block b{};
    b[1] = minutes_from;
    b[2] = minutes_to;
    b[3] = vcc;
    b[4] = type;
    b[5] = static_cast<uint8_t>(kelvin_x100 >> 8);
    b[6] = static_cast<uint8_t>(kelvin_x100);
    b[7] = rh;
    const uint16_t pm[3] = {pm10, pm2_5, pm1};
    for (int i = 0; i < 3; i++) {
        b[8 + 2 * i] = static_cast<uint8_t>(pm[i] >> 8);
        b[9 + 2 * i] = static_cast<uint8_t>(pm[i]);
    }
    return b;
}

Sealed seal_payload(const Block &plain, uint8_t frame_type, const Key &key) {
    Sealed s{};
    memcpy(s.data(), plain.data(), plain.size());
    s[OSL_SEALED_TYPE] = frame_type;
    osl_seal(s.data(), key.data());
    return s;
}

Bytes standard_adv_data(const Sealed &payload) {
    Bytes d(frame::ADV_DATA_SIZE);
    memcpy(d.data(), frame::STD_HEADER, sizeof frame::STD_HEADER);
    memcpy(d.data() + frame::STD_PAYLOAD, payload.data(), payload.size());
    return d;
}

Bytes sealed_report(const Addr &from, const Sealed &payload, int8_t rssi) {
    return sim::adv_report(from.data(), standard_adv_data(payload), rssi);
}

Bytes sensor_report(const Addr &from, const Block &plain, uint8_t frame_type, int8_t rssi) {
    return sealed_report(from, seal_payload(plain, frame_type, sensor_key()), rssi);
}

Bytes sensor_report(const Addr &from, const Block &plain, int8_t rssi) {
    uint8_t type = plain[4] <= frame::TYPE_SENSOR_LAST ? plain[4] : 0;
    return sensor_report(from, plain, type, rssi);
}

Bytes actor_report(const Addr &from, const Block &plain, const Key &key, int8_t rssi) {
    return sealed_report(from, seal_payload(plain, plain[4], key), rssi);
}

Bytes sec_key_report(const Addr &from, const Key &announced, int8_t rssi) {
    Block plain;
    memcpy(plain.data(), announced.data(), plain.size());
    return sealed_report(from, seal_payload(plain, frame::TYPE_SEC_KEY, sensor_key()), rssi);
}

// Written into a sized buffer rather than grown: GCC's -O2 flow analysis
// misreads repeated vector growth here as an overflow.
Bytes air_adv_data(const Block &plain, const char *name, uint16_t company) {
    const size_t name_len = strlen(name);
    Bytes d(3 + 2 + name_len + 4 + plain.size());
    uint8_t *p = d.data();
    *p++ = 0x02;
    *p++ = frame::AD_FLAGS;
    *p++ = frame::ADV_FLAGS_VALUE;
    *p++ = static_cast<uint8_t>(1 + name_len);
    *p++ = frame::AD_COMPLETE_NAME;
    memcpy(p, name, name_len);
    p += name_len;
    *p++ = static_cast<uint8_t>(1 + 2 + plain.size());
    *p++ = frame::AD_MANUFACTURER;
    *p++ = static_cast<uint8_t>(company);
    *p++ = static_cast<uint8_t>(company >> 8);
    memcpy(p, plain.data(), plain.size());
    return d;
}

osl_record record_of(const Block &payload, const Addr &from, int8_t rssi) {
    osl_record r;
    memcpy(r.payload, payload.data(), sizeof r.payload);
    memcpy(r.addr, from.data(), sizeof r.addr);
    r.rssi = rssi;
    return r;
}

Bytes air_report(const Addr &from, const Block &plain, int8_t rssi) {
    return sim::adv_report(from.data(), air_adv_data(plain), rssi);
}

} // namespace osl::test
