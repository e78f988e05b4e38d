#include "devices.h"

#include <cstring>

#include "core/addr.h"
#include "core/text.h"
#include "frames/layout.h"
#include "frames/seal.h"

namespace osl::virtkit {

namespace {

namespace command = osl::frame::command;

// Supply voltage byte: volts x 71 (3.00 V).
constexpr uint8_t VCC_3V = 213;
// Firmware version in bytes 14 and 15 of the devices that report one.
constexpr uint8_t FW_MAJOR = 0x01;
constexpr uint8_t FW_MINOR = 0x07;
// Relay commands: 0x80 | mask switches on, the mask alone switches off,
// 0xC0 | bits sets every channel.
constexpr uint8_t RELAY_ON = 0x80;
constexpr uint8_t RELAY_SET = 0xC0;
constexpr uint8_t RELAY_CHANNELS = 0x0F;
constexpr uint8_t LEVEL_MAX = 100;
// The air sensor's company identifier: any; only the kit's sealed frames
// need FF FF.
constexpr uint8_t AIR_COMPANY[2] = {0xE5, 0x02};

void put16(uint8_t *at, unsigned v) {
    at[0] = static_cast<uint8_t>(v >> 8);
    at[1] = static_cast<uint8_t>(v);
}

void fw(uint8_t block[16]) {
    block[14] = FW_MAJOR;
    block[15] = FW_MINOR;
}

uint8_t level(uint8_t v) {
    return v > LEVEL_MAX ? LEVEL_MAX : v;
}

} // namespace

uint32_t Rng::next() {
    // xorshift32: enough for plausible readings, the same on every machine.
    uint32_t x = state_;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    state_ = x;
    return x;
}

int Rng::range(int lo, int hi) {
    return lo + static_cast<int>(next() % static_cast<uint32_t>(hi - lo + 1));
}

bool addr_from_text(const char *text, Addr *out) {
    return osl_hex_to_bytes(text, out->data(), static_cast<int>(out->size())) == 0;
}

bool key_from_text(const char *text, Key *out) {
    return osl_hex_to_bytes(text, out->data(), static_cast<int>(out->size())) == 0;
}

void Device::common(uint8_t block[16], uint32_t now_s, uint8_t interval_s) {
    memset(block, 0, 16);
    for (int i = 0; i < 4; i++)
        block[i] = static_cast<uint8_t>(now_s >> (8 * i));
    block[OSL_REC_TYPE] = type_;
    block[5] = static_cast<uint8_t>(VCC_3V - rng_.range(0, 2));
    block[6] = static_cast<uint8_t>(interval_s / 2);
}

bool is_sec_key(const AdvData &data) {
    const int at = frame::STD_PAYLOAD + OSL_SEALED_TYPE;
    return data.len > at && data.bytes[at] == frame::TYPE_SEC_KEY;
}

void Device::sealed(const uint8_t block[16], uint8_t frame_type, const uint8_t *key, AdvData *out) {
    memcpy(out->bytes, frame::STD_HEADER, sizeof frame::STD_HEADER);
    uint8_t *payload = out->bytes + frame::STD_PAYLOAD;
    memcpy(payload, block, OSL_BLOCK_SIZE);
    memcpy(out->plain, block, OSL_BLOCK_SIZE);
    payload[OSL_SEALED_TYPE] = frame_type;
    osl_seal(payload, key);
    out->len = frame::ADV_DATA_SIZE;
}

void Meteo::frame(uint32_t now_s, AdvData *out) {
    centi_celsius = static_cast<int16_t>(centi_celsius + rng_.range(-6, 6));
    if (centi_celsius < 1500 || centi_celsius > 2800)
        centi_celsius = 2150;
    humidity = static_cast<uint8_t>(humidity + rng_.range(-1, 1));
    if (humidity < 30 || humidity > 70)
        humidity = 45;
    light_ = static_cast<uint8_t>(light_ + rng_.range(-4, 4));
    uint8_t b[16];
    common(b, now_s, 5);
    b[7] = 0x00; // inputs
    put16(b + 8, static_cast<uint16_t>(centi_celsius));
    b[10] = humidity;
    b[11] = light_;
    put16(b + 12, static_cast<unsigned>(1650 + rng_.range(-20, 20)));
    put16(b + 14, static_cast<unsigned>(820 + rng_.range(-10, 10)));
    sealed(b, type_, osl_sensor_key, out);
}

void Motion::frame(uint32_t now_s, AdvData *out) {
    detected = rng_.chance(4);
    uint8_t b[16];
    common(b, now_s, 2);
    b[7] = detected ? 0x80 : 0x00;
    b[8] = static_cast<uint8_t>(22 + rng_.range(0, 1));
    b[9] = static_cast<uint8_t>(90 + rng_.range(-5, 5));
    put16(b + 10, static_cast<unsigned>(1200 + rng_.range(-15, 15)));
    put16(b + 12, static_cast<unsigned>(300 + rng_.range(-5, 5)));
    fw(b);
    sealed(b, type_, osl_sensor_key, out);
}

bool Button::due(uint32_t) {
    if (!rng_.chance(4))
        return false;
    function = static_cast<uint8_t>(rng_.range(1, 3));
    return true;
}

void Button::frame(uint32_t now_s, AdvData *out) {
    clicks_++;
    uint8_t b[16];
    common(b, now_s, 0);
    b[7] = function;
    b[8] = function == 3 ? 0x01 : 0x00; // the input is still held
    b[9] = 21;
    b[10] = static_cast<uint8_t>(80 + rng_.range(-5, 5));
    fw(b);
    sealed(b, type_, osl_sensor_key, out);
}

void Flood::frame(uint32_t now_s, AdvData *out) {
    if (alarm_frames_ > 0)
        alarm_frames_--;
    else if (rng_.chance(10))
        alarm_frames_ = 2;
    flooded = alarm_frames_ > 0;
    uint8_t b[16];
    common(b, now_s, 7);
    b[7] = flooded ? 0x01 : 0x00;
    b[8] = 14;
    fw(b);
    sealed(b, type_, osl_sensor_key, out);
}

bool Magneto::due(uint32_t round) {
    if (--rounds_left_ <= 0) {
        closed = !closed;
        rounds_left_ = rng_.range(3, 8);
        moved_ = true;
    }
    return moved_ || round % 2 == 0;
}

void Magneto::frame(uint32_t now_s, AdvData *out) {
    moved_ = false;
    uint8_t b[16];
    common(b, now_s, 5);
    b[7] = closed ? 0x80 : 0x00;
    b[8] = 19;
    b[9] = static_cast<uint8_t>(60 + rng_.range(-5, 5));
    put16(b + 10, static_cast<unsigned>(closed ? 3100 : 120) + rng_.range(0, 9));
    put16(b + 12, static_cast<unsigned>(2900 + rng_.range(-10, 10)));
    fw(b);
    sealed(b, type_, osl_sensor_key, out);
}

void Air::frame(uint32_t now_s, AdvData *out) {
    centi_kelvin_ = static_cast<uint16_t>(centi_kelvin_ + rng_.range(-5, 5));
    if (centi_kelvin_ < 28815 || centi_kelvin_ > 30315)
        centi_kelvin_ = 29545;
    pm10_ = static_cast<uint16_t>(pm10_ + rng_.range(pm10_ > 5 ? -2 : 0, 2));
    pm2_5_ = static_cast<uint16_t>(pm2_5_ + rng_.range(pm2_5_ > 3 ? -1 : 0, 1));
    pm1_ = static_cast<uint16_t>(pm1_ + rng_.range(pm1_ > 2 ? -1 : 0, 1));

    uint8_t plain[frame::AIR_PAYLOAD_SIZE] = {};
    const uint32_t minutes = now_s / 60;
    plain[1] = static_cast<uint8_t>(minutes);
    plain[2] = static_cast<uint8_t>(minutes + 10); // measured over ten minutes
    plain[3] = VCC_3V;
    put16(plain + 5, centi_kelvin_);
    plain[7] = 48;
    put16(plain + 8, pm10_);
    put16(plain + 10, pm2_5_);
    put16(plain + 12, pm1_);

    // Flags, the complete local name, then the manufacturer structure.
    uint8_t *p = out->bytes;
    *p++ = 0x02;
    *p++ = frame::AD_FLAGS;
    *p++ = frame::ADV_FLAGS_VALUE;
    *p++ = static_cast<uint8_t>(1 + frame::AIR_NAME_LEN);
    *p++ = frame::AD_COMPLETE_NAME;
    memcpy(p, frame::AIR_NAME, frame::AIR_NAME_LEN);
    p += frame::AIR_NAME_LEN;
    *p++ = static_cast<uint8_t>(1 + sizeof AIR_COMPANY + sizeof plain);
    *p++ = frame::AD_MANUFACTURER;
    memcpy(p, AIR_COMPANY, sizeof AIR_COMPANY);
    p += sizeof AIR_COMPANY;
    memcpy(p, plain, sizeof plain);
    p += sizeof plain;
    out->len = static_cast<uint8_t>(p - out->bytes);
}

// --- actors ----------------------------------------------------------------

void Actor::frame(uint32_t now_s, AdvData *out) {
    uint8_t b[16];
    common(b, now_s, 2);
    report(b);
    fw(b);
    sealed(b, type_, key_.data(), out);
}

void Actor::sec_key_frame(AdvData *out) const {
    sealed(key_.data(), frame::TYPE_SEC_KEY, osl_sensor_key, out);
}

Heard Actor::hear(const uint8_t *adv, size_t len) {
    // Walk the AD structures for the kit's manufacturer data: company FF FF
    // and at least the 24 bytes of a sealed payload.
    const uint8_t *payload_at = nullptr;
    for (size_t i = 0; i < len;) {
        const size_t ad_len = adv[i];
        if (ad_len == 0 || i + 1 + ad_len > len)
            break;
        if (adv[i + frame::AD_TYPE] == frame::AD_MANUFACTURER &&
            ad_len >= 3 + static_cast<size_t>(OSL_SEALED_SIZE) &&
            adv[i + frame::AD_DATA] == frame::KIT_COMPANY_BYTE &&
            adv[i + frame::AD_DATA + 1] == frame::KIT_COMPANY_BYTE) {
            payload_at = adv + i + frame::MANUF_PAYLOAD;
            break;
        }
        i += 1 + ad_len;
    }
    if (payload_at == nullptr)
        return Heard::NotKitFrame;

    uint8_t payload[OSL_SEALED_SIZE];
    memcpy(payload, payload_at, sizeof payload);
    if (osl_unseal(payload, key_.data()) != 0)
        return Heard::BadTag;
    if (payload[command::CODE] != command::CODE_VALUE)
        return Heard::NotCommand;
    if (memcmp(payload + command::TARGET, addr_.data(), addr_.size()) != 0)
        return Heard::OtherAddress;
    if (payload[command::TARGET_TYPE] != type_)
        return Heard::OtherType;
    apply(payload + command::VALUES);
    obeyed_++;
    return Heard::Obeyed;
}

void Relay::apply(const uint8_t values[3]) {
    const uint8_t v = values[0];
    if ((v & RELAY_SET) == RELAY_SET)
        channels = v & RELAY_CHANNELS;
    else if (v & RELAY_ON)
        channels = static_cast<uint8_t>(channels | (v & RELAY_CHANNELS));
    else
        channels = static_cast<uint8_t>(channels & ~(v & RELAY_CHANNELS));
}

void Relay::report(uint8_t b[16]) {
    b[7] = channels;
    b[8] = static_cast<uint8_t>(celsius_ + rng_.range(0, 1));
    b[9] = 0;
    put16(b + 10, static_cast<unsigned>(3300 + rng_.range(-15, 15)));
    put16(b + 12, static_cast<unsigned>(230 * __builtin_popcount(channels)));
}

void Dimmer::apply(const uint8_t values[3]) {
    level = osl::virtkit::level(values[0]);
}

void Dimmer::report(uint8_t b[16]) {
    b[7] = static_cast<uint8_t>(celsius_ + rng_.range(0, 2));
    b[8] = 0;
    b[9] = level;
    put16(b + 12, static_cast<unsigned>(33 * level));
}

void Pwm::apply(const uint8_t values[3]) {
    for (int i = 0; i < 3; i++)
        levels[i] = osl::virtkit::level(values[i]);
}

void Pwm::report(uint8_t b[16]) {
    b[7] = static_cast<uint8_t>(celsius_ + rng_.range(0, 1));
    b[8] = 0;
    b[9] = levels[0];
    b[10] = levels[1];
    b[11] = levels[2];
    put16(b + 12, static_cast<unsigned>(12 * (levels[0] + levels[1] + levels[2])));
}

} // namespace osl::virtkit
