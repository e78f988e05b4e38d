// A whole virtual kit: five sensors, the air sensor and three actors, and
// the clock that decides who speaks when.
//
// The kit speaks in rounds. At the start of each round every device that is
// due gets a turn, one frame every FRAME_GAP_MS, built at the moment it goes
// out (so a command obeyed meanwhile shows in the very next report); then
// the kit keeps quiet for the rest of the round. The quiet spell is longer
// than the library's reception window (99 ticks after the last accepted
// frame), so each round is a window of its own: the window's 100 slots never
// fill up, and the repeat filter never meets a frame of an earlier round.
#pragma once

#include <cstddef>
#include <cstdint>

#include "devices.h"

namespace osl::virtkit {

// The kit's addresses and keys as a kit owner reads them off the scanner.
// The sensors sit at the smart-home program's demonstration addresses.
inline constexpr char WEATHER_ADDR[] = "111111111111"; // meteo, motion, button
inline constexpr char DOOR_ADDR[] = "CBFD786BAA68";    // magneto, flood
inline constexpr char AIR_ADDR[] = "A0A1A2A3A4A5";
inline constexpr char RELAY_ADDR[] = "C0FFEE000020";
inline constexpr char RELAY_KEY[] = "2B7E151628AED2A6ABF7158809CF4F3C";
inline constexpr char DIMMER_ADDR[] = "C0FFEE000021";
inline constexpr char DIMMER_KEY[] = "603DEB1015CA71BE2B73AEF0857D7781";
inline constexpr char PWM_ADDR[] = "C0FFEE000022";
inline constexpr char PWM_KEY[] = "F58C4C04D6E5F1BA779EABFB5F7BFBD6";

class Kit {
  public:
    static constexpr uint32_t ROUND_MS = 2500;
    static constexpr uint32_t FRAME_GAP_MS = 60;
    // Seconds a device has been on when the kit starts.
    static constexpr uint32_t UPTIME_AT_START_S = 3600;

    Kit();

    Meteo meteo;
    Motion motion;
    Button button;
    Flood flood;
    Magneto magneto;
    Air air;
    Relay relay;
    Dimmer dimmer;
    Pwm pwm;

    static constexpr int DEVICES = 9;
    Device *const devices[DEVICES] = {&meteo, &motion, &button, &flood, &magneto,
                                      &air,   &relay,  &dimmer, &pwm};
    static constexpr int ACTORS = 3;
    Actor *const actors[ACTORS] = {&relay, &dimmer, &pwm};

    // One frame going out.
    using Send = void (*)(void *context, Device &from, const AdvData &data);
    // Sends every frame due up to `now_ms` on the kit's clock (milliseconds
    // since it started), oldest first. A caller that comes late gets the
    // frames it missed of the current round; whole rounds missed are skipped.
    void run_until(uint32_t now_ms, Send send, void *context);

    // Advertising data heard on the air, offered to every actor; the actor
    // that obeyed it, or nullptr.
    Actor *hear(const uint8_t *adv, size_t len);

    uint32_t rounds() const { return round_; }

  private:
    struct Turn {
        Device *device;
        bool sec_key; // an actor's key announcement rather than its report
    };
    void plan_round();

    uint32_t round_ = 0;
    uint32_t round_start_ms_ = 0;
    bool started_ = false;
    Turn turns_[2 * DEVICES] = {};
    int turn_count_ = 0;
    int next_turn_ = 0;
};

} // namespace osl::virtkit
