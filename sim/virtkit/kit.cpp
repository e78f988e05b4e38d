#include "kit.h"

namespace osl::virtkit {

namespace {

Addr addr_of(const char *text) {
    Addr a{};
    addr_from_text(text, &a);
    return a;
}

Key key_of(const char *text) {
    Key k{};
    key_from_text(text, &k);
    return k;
}

} // namespace

Kit::Kit()
    : meteo(addr_of(WEATHER_ADDR)), motion(addr_of(WEATHER_ADDR)), button(addr_of(WEATHER_ADDR)),
      flood(addr_of(DOOR_ADDR)), magneto(addr_of(DOOR_ADDR)), air(addr_of(AIR_ADDR)),
      relay(addr_of(RELAY_ADDR), key_of(RELAY_KEY)),
      dimmer(addr_of(DIMMER_ADDR), key_of(DIMMER_KEY)), pwm(addr_of(PWM_ADDR), key_of(PWM_KEY)) {}

void Kit::plan_round() {
    turn_count_ = 0;
    next_turn_ = 0;
    for (Device *d : devices)
        if (d->due(round_))
            turns_[turn_count_++] = Turn{d, false};
    for (Actor *a : actors)
        if (a->announces(round_))
            turns_[turn_count_++] = Turn{a, true};
}

void Kit::run_until(uint32_t now_ms, Send send, void *context) {
    if (!started_) {
        started_ = true;
        round_start_ms_ = now_ms;
        plan_round();
    }
    for (;;) {
        if (now_ms - round_start_ms_ >= ROUND_MS) {
            // A new round; after a long absence the kit picks up from now
            // rather than sending a backlog.
            round_start_ms_ += ROUND_MS;
            if (now_ms - round_start_ms_ >= ROUND_MS)
                round_start_ms_ = now_ms;
            round_++;
            plan_round();
        }
        if (next_turn_ >= turn_count_ ||
            now_ms - round_start_ms_ < static_cast<uint32_t>(next_turn_) * FRAME_GAP_MS)
            return;
        Turn t = turns_[next_turn_++];
        AdvData data;
        if (t.sec_key)
            static_cast<Actor *>(t.device)->sec_key_frame(&data);
        else
            t.device->frame(UPTIME_AT_START_S + now_ms / 1000, &data);
        send(context, *t.device, data);
    }
}

Actor *Kit::hear(const uint8_t *adv, size_t len) {
    for (Actor *a : actors)
        if (a->hear(adv, len) == Heard::Obeyed)
            return a;
    return nullptr;
}

} // namespace osl::virtkit
