// The virtual kit's devices, written from the devices' side of the radio
// formats: sensors that broadcast sealed readings, the plain air sensor, and
// actors that announce their keys, report their state sealed with their own
// key and obey the commands addressed to them.
//
// Nothing here allocates or blocks after construction: the in-process kit
// builds frames from the library's tick, in signal context.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace osl::virtkit {

using Addr = std::array<uint8_t, 6>; // most significant byte first, as written
using Key = std::array<uint8_t, 16>;

// 31 bytes of advertising data at most, as a device loads it.
struct AdvData {
    uint8_t bytes[31] = {};
    uint8_t len = 0;
    // A sealed frame's 16 bytes before sealing, what its receiver unseals
    // (the key itself for a SEC_KEY announcement); zeros for a plain frame.
    uint8_t plain[16] = {};
};

// A small deterministic generator: the same seed gives the same kit.
class Rng {
  public:
    explicit Rng(uint32_t seed) : state_(seed != 0 ? seed : 1) {}
    uint32_t next();
    // Uniform in [lo, hi].
    int range(int lo, int hi);
    bool chance(int one_in) { return range(1, one_in) == 1; }

  private:
    uint32_t state_;
};

// Text forms as a kit owner writes them; false when malformed.
bool addr_from_text(const char *text, Addr *out);
bool key_from_text(const char *text, Key *out);

// Whether a sealed frame is an actor's SEC_KEY announcement (its type byte
// travels in the clear).
bool is_sec_key(const AdvData &data);

class Device {
  public:
    Device(const char *name, const Addr &addr, uint8_t type, int8_t rssi, uint32_t seed)
        : name_(name), addr_(addr), type_(type), rssi_(rssi), rng_(seed) {}
    virtual ~Device() = default;
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    const char *name() const { return name_; }
    const Addr &addr() const { return addr_; }
    // A device moved elsewhere, e.g. to a sensor no program knows.
    void set_addr(const Addr &addr) { addr_ = addr; }
    uint8_t type() const { return type_; } // device type code; 0 for the air sensor
    // Signal strength of its next frame, as a receiver nearby measures it.
    int8_t rssi() { return static_cast<int8_t>(rssi_ + rng_.range(-3, 3)); }

    // Whether it speaks up in the kit's round `round` (its cadence; a button
    // only when clicked). Called once per round.
    virtual bool due(uint32_t round) = 0;
    // Its frame for this moment (`now_s`: seconds the device has been on),
    // with readings moved on since the last one.
    virtual void frame(uint32_t now_s, AdvData *out) = 0;

  protected:
    // The 16 plain bytes common to all sealed frames: time, type, supply
    // voltage, interval; the caller fills bytes 7 to 15.
    void common(uint8_t block[16], uint32_t now_s, uint8_t interval_s);
    // Seals the block with the key, type byte in clear, in the standard layout.
    static void sealed(const uint8_t block[16], uint8_t frame_type, const uint8_t *key,
                       AdvData *out);

    const char *name_;
    Addr addr_;
    uint8_t type_;
    int8_t rssi_;
    Rng rng_;
};

// --- sensors, sealed with the sensor key ---------------------------------

class Meteo : public Device {
  public:
    Meteo(const Addr &a, uint32_t seed = 11) : Device("METEO", a, 1, -52, seed) {}
    bool due(uint32_t round) override { return round % 2 == 0; }
    void frame(uint32_t now_s, AdvData *out) override;
    int16_t centi_celsius = 2150; // drifts by a few hundredths per frame
    uint8_t humidity = 45;

  private:
    uint8_t light_ = 120;
};

class Motion : public Device {
  public:
    Motion(const Addr &a, uint32_t seed = 12) : Device("MOTION", a, 2, -61, seed) {}
    bool due(uint32_t) override { return true; }
    void frame(uint32_t now_s, AdvData *out) override;
    bool detected = false; // as reported in the last frame
};

class Button : public Device {
  public:
    Button(const Addr &a, uint32_t seed = 13) : Device("BUTTON", a, 3, -58, seed) {}
    // Clicked now and then: single click, double click or held.
    bool due(uint32_t) override;
    void frame(uint32_t now_s, AdvData *out) override;
    uint8_t function = 0; // 1 single, 2 double, 3 holding

  private:
    uint8_t clicks_ = 0;
};

class Flood : public Device {
  public:
    Flood(const Addr &a, uint32_t seed = 14) : Device("FLOOD", a, 4, -70, seed) {}
    bool due(uint32_t round) override { return round % 3 == 1; }
    void frame(uint32_t now_s, AdvData *out) override;
    bool flooded = false; // a short alarm every so often

  private:
    int alarm_frames_ = 0;
};

class Magneto : public Device {
  public:
    Magneto(const Addr &a, uint32_t seed = 15) : Device("MAGNETO", a, 5, -64, seed) {}
    // Every other round, and at once when the door moved.
    bool due(uint32_t round) override;
    void frame(uint32_t now_s, AdvData *out) override;
    bool closed = true; // magnet present: the door is shut

  private:
    int rounds_left_ = 4;
    bool moved_ = false;
};

// The air-quality sensor: plain frames, named "Tulvo", no key.
class Air : public Device {
  public:
    Air(const Addr &a, uint32_t seed = 16) : Device("AIR", a, 0, -67, seed) {}
    bool due(uint32_t round) override { return round % 3 == 2; }
    void frame(uint32_t now_s, AdvData *out) override;

  private:
    uint16_t centi_kelvin_ = 29545; // 22.30 degrees
    uint16_t pm10_ = 18, pm2_5_ = 11, pm1_ = 6;
};

// --- actors ----------------------------------------------------------------

// What an actor made of a command it heard.
enum class Heard {
    Obeyed,       // tag good, addressed to this actor: carried out
    NotKitFrame,  // no manufacturer structure with the kit's company identifier
    BadTag,       // not sealed with this actor's key
    NotCommand,   // sealed with its key, but not a command (code 6)
    OtherAddress, // a command for another device
    OtherType,    // its address, but another device type
};

class Actor : public Device {
  public:
    Actor(const char *name, const Addr &a, uint8_t type, const Key &key, int8_t rssi, uint32_t seed)
        : Device(name, a, type, rssi, seed), key_(key) {}
    const Key &key() const { return key_; }
    // Reports its state every round.
    bool due(uint32_t) override { return true; }
    // Its state report, sealed with its own key.
    void frame(uint32_t now_s, AdvData *out) override;
    // Its key announcement (frame type 254), sealed with the sensor key.
    void sec_key_frame(AdvData *out) const;
    // Announces its key every few rounds.
    bool announces(uint32_t round) const { return round % 3 == 0; }
    // Advertising data heard on the air.
    Heard hear(const uint8_t *adv, size_t len);
    uint32_t obeyed() const { return obeyed_; }

  protected:
    // Carries out the command's three value bytes.
    virtual void apply(const uint8_t values[3]) = 0;
    // Bytes 7 to 15 of its report.
    virtual void report(uint8_t block[16]) = 0;
    int8_t celsius_ = 31;

  private:
    Key key_;
    uint32_t obeyed_ = 0;
};

class Relay : public Actor {
  public:
    Relay(const Addr &a, const Key &k, uint32_t seed = 20) : Actor("RELAY", a, 20, k, -55, seed) {}
    // Channel n in bit n, channels 0 to 3. Set directly to switch it by hand.
    volatile uint8_t channels = 0;

  protected:
    void apply(const uint8_t values[3]) override;
    void report(uint8_t block[16]) override;
};

class Dimmer : public Actor {
  public:
    Dimmer(const Addr &a, const Key &k, uint32_t seed = 21)
        : Actor("DIMMER", a, 21, k, -60, seed) {}
    volatile uint8_t level = 0; // percent

  protected:
    void apply(const uint8_t values[3]) override;
    void report(uint8_t block[16]) override;
};

class Pwm : public Actor {
  public:
    Pwm(const Addr &a, const Key &k, uint32_t seed = 22) : Actor("PWM", a, 22, k, -57, seed) {}
    volatile uint8_t levels[3] = {}; // percent, channels 0 to 2

  protected:
    void apply(const uint8_t values[3]) override;
    void report(uint8_t block[16]) override;
};

} // namespace osl::virtkit
