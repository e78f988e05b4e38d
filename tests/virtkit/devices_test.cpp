// The virtual kit's devices on their own: what they put on the air unseals
// with the right key into the documented layout, and the actors obey only
// the commands meant for them. Commands here are built by hand from the
// command layout, independently of the library's transmitter.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "frames/layout.h"
#include "frames/seal.h"
#include "sim/virtkit/kit.h"
#include "support/frames.h"

namespace osl::test {
namespace {

using virtkit::AdvData;
using virtkit::Heard;
using virtkit::Kit;

// A command as the library's transmitter lays it out: flags, the kit's
// manufacturer structure, and the payload sealed with `key`.
struct CommandSpec {
    uint8_t code = 6;
    Addr target{};
    uint8_t type = 0;
    uint8_t values[3] = {};
};
Bytes command(const CommandSpec &c, const Key &key) {
    Block plain{};
    plain[0] = 0x10; // time, any
    plain[4] = c.code;
    memcpy(plain.data() + 5, c.target.data(), 6);
    plain[11] = c.type;
    memcpy(plain.data() + 12, c.values, 3);
    return standard_adv_data(seal_payload(plain, 0, key));
}

Addr addr_of(const char *text) {
    return addr_from_text(text);
}
Key key_of(const char *text) {
    return key_from_text(text);
}

// Unseals a device's frame; the 16 plain bytes, or fails the test.
Block unsealed(const AdvData &d, const Key &key, uint8_t expected_type) {
    Block b{};
    EXPECT_EQ(d.len, frame::ADV_DATA_SIZE);
    EXPECT_EQ(0, memcmp(d.bytes, frame::STD_HEADER, sizeof frame::STD_HEADER));
    uint8_t payload[OSL_SEALED_SIZE];
    memcpy(payload, d.bytes + frame::STD_PAYLOAD, sizeof payload);
    EXPECT_EQ(payload[OSL_SEALED_TYPE], expected_type);
    EXPECT_EQ(osl_unseal(payload, key.data()), 0) << "tag does not match the key";
    memcpy(b.data(), payload, b.size());
    // The plain copy a device's log shows is what its receiver unseals.
    EXPECT_EQ(0, memcmp(d.plain, b.data(), b.size()));
    return b;
}

class ActorTest : public ::testing::Test {
  protected:
    Kit kit;
    Key relay_key = key_of(virtkit::RELAY_KEY);
    Addr relay_addr = addr_of(virtkit::RELAY_ADDR);

    Heard to_relay(uint8_t value) {
        CommandSpec c;
        c.target = relay_addr;
        c.type = OSL_DEV_RELAY;
        c.values[0] = value;
        Bytes adv = command(c, relay_key);
        return kit.relay.hear(adv.data(), adv.size());
    }
};

// --- the relay's three command forms --------------------------------------

struct RelayCase {
    uint8_t before;
    uint8_t command;
    uint8_t after;
};

class RelayFormsTest : public ActorTest, public ::testing::WithParamInterface<RelayCase> {};

TEST_P(RelayFormsTest, CommandByteSetsTheChannels) {
    const RelayCase &c = GetParam();
    kit.relay.channels = c.before;
    EXPECT_EQ(to_relay(c.command), Heard::Obeyed);
    EXPECT_EQ(kit.relay.channels, c.after);

    // Its next report carries the new channel bits in byte 7.
    AdvData d;
    kit.relay.frame(100, &d);
    Block b = unsealed(d, relay_key, OSL_DEV_RELAY);
    EXPECT_EQ(b[4], OSL_DEV_RELAY);
    EXPECT_EQ(b[7], c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, RelayFormsTest,
    ::testing::Values(RelayCase{0x00, 0x85, 0x05}, // on: 0x80 | mask, adds channels
                      RelayCase{0x0A, 0x81, 0x0B}, RelayCase{0x03, 0x80, 0x03},
                      RelayCase{0x0F, 0x05, 0x0A}, // off: the mask alone, clears channels
                      RelayCase{0x03, 0x00, 0x03}, RelayCase{0x0F, 0x0F, 0x00},
                      RelayCase{0x0F, 0xC4, 0x04}, // set: 0xC0 | bits, all channels at once
                      RelayCase{0x05, 0xC0, 0x00}, RelayCase{0x00, 0xCF, 0x0F}));

// --- refusals ---------------------------------------------------------------

TEST_F(ActorTest, RefusesACommandItWasNotMeantToObey) {
    kit.relay.channels = 0x01;
    CommandSpec good;
    good.target = relay_addr;
    good.type = OSL_DEV_RELAY;
    good.values[0] = 0x8F;

    struct Case {
        const char *what;
        Bytes adv;
        Heard heard;
    };
    CommandSpec foreign_addr = good;
    foreign_addr.target = addr_of(virtkit::DIMMER_ADDR);
    CommandSpec foreign_type = good;
    foreign_type.type = OSL_DEV_DIMMER;
    CommandSpec not_command = good;
    not_command.code = OSL_DEV_RELAY; // a relay's own report, not a command
    Bytes bad_tag = command(good, relay_key);
    bad_tag.back() ^= 0x01;
    Bytes truncated = command(good, relay_key);
    truncated.resize(20);
    Bytes other_company = command(good, relay_key);
    other_company[6] = 0x00;

    std::vector<Case> cases = {
        {"sealed with another key", command(good, key_of(virtkit::DIMMER_KEY)), Heard::BadTag},
        {"a tag byte changed", bad_tag, Heard::BadTag},
        {"another address", command(foreign_addr, relay_key), Heard::OtherAddress},
        {"another device type", command(foreign_type, relay_key), Heard::OtherType},
        {"not command code 6", command(not_command, relay_key), Heard::NotCommand},
        {"cut short", truncated, Heard::NotKitFrame},
        {"another company", other_company, Heard::NotKitFrame},
        {"nothing", Bytes{}, Heard::NotKitFrame},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(kit.relay.hear(c.adv.data(), c.adv.size()), c.heard) << c.what;
        EXPECT_EQ(kit.relay.channels, 0x01) << c.what;
    }
    EXPECT_EQ(kit.relay.obeyed(), 0u);
    // The same command, rightly addressed and sealed, is obeyed.
    Bytes ok = command(good, relay_key);
    EXPECT_EQ(kit.relay.hear(ok.data(), ok.size()), Heard::Obeyed);
    EXPECT_EQ(kit.relay.channels, 0x0F);
}

TEST_F(ActorTest, TheKitHandsACommandOnlyToItsTarget) {
    CommandSpec c;
    c.target = addr_of(virtkit::PWM_ADDR);
    c.type = OSL_DEV_PWM;
    c.values[0] = 10;
    c.values[1] = 150; // above 100: full
    c.values[2] = 30;
    Bytes adv = command(c, key_of(virtkit::PWM_KEY));
    EXPECT_EQ(kit.hear(adv.data(), adv.size()), &kit.pwm);
    EXPECT_EQ(kit.pwm.levels[0], 10);
    EXPECT_EQ(kit.pwm.levels[1], 100);
    EXPECT_EQ(kit.pwm.levels[2], 30);
    EXPECT_EQ(kit.relay.obeyed() + kit.dimmer.obeyed(), 0u);

    AdvData d;
    kit.pwm.frame(100, &d);
    Block b = unsealed(d, key_of(virtkit::PWM_KEY), OSL_DEV_PWM);
    EXPECT_EQ(b[9], 10);
    EXPECT_EQ(b[10], 100);
    EXPECT_EQ(b[11], 30);
}

TEST_F(ActorTest, DimmerReportsItsLevelInByteNine) {
    CommandSpec c;
    c.target = addr_of(virtkit::DIMMER_ADDR);
    c.type = OSL_DEV_DIMMER;
    c.values[0] = 55;
    Bytes adv = command(c, key_of(virtkit::DIMMER_KEY));
    EXPECT_EQ(kit.dimmer.hear(adv.data(), adv.size()), Heard::Obeyed);
    AdvData d;
    kit.dimmer.frame(100, &d);
    EXPECT_EQ(unsealed(d, key_of(virtkit::DIMMER_KEY), OSL_DEV_DIMMER)[9], 55);
}

TEST_F(ActorTest, KeyAnnouncementCarriesTheActorsKeyUnderTheSensorKey) {
    for (virtkit::Actor *a : kit.actors) {
        AdvData d;
        a->sec_key_frame(&d);
        Block b = unsealed(d, sensor_key(), frame::TYPE_SEC_KEY);
        EXPECT_EQ(0, memcmp(b.data(), a->key().data(), 16)) << a->name();
    }
}

// --- sensors -----------------------------------------------------------------

TEST(SensorTest, FramesUnsealWithTheSensorKeyIntoTheirLayout) {
    Kit kit;
    virtkit::Device *sensors[] = {&kit.meteo, &kit.motion, &kit.button, &kit.flood, &kit.magneto};
    for (virtkit::Device *s : sensors) {
        AdvData d;
        s->frame(0x01020304, &d);
        Block b = unsealed(d, sensor_key(), s->type());
        EXPECT_EQ(b[0], 0x04) << s->name(); // seconds, least significant byte first
        EXPECT_EQ(b[3], 0x01) << s->name();
        EXPECT_EQ(b[4], s->type()) << s->name();
        EXPECT_NEAR(b[5] / 71.0, 3.0, 0.05) << s->name();
    }
    AdvData d;
    kit.meteo.frame(0, &d);
    Block b = unsealed(d, sensor_key(), OSL_DEV_METEO);
    EXPECT_EQ(static_cast<int16_t>(b[8] << 8 | b[9]), kit.meteo.centi_celsius);
    kit.magneto.closed = false;
    kit.magneto.frame(0, &d);
    EXPECT_EQ(unsealed(d, sensor_key(), OSL_DEV_MAGNETO)[7] & 0x80, 0);
}

TEST(SensorTest, AirFrameIsPlainAndNamedTulvo) {
    Kit kit;
    AdvData d;
    kit.air.frame(600, &d);
    ASSERT_LE(d.len, 31);
    // Flags, then the complete local name, then the manufacturer bytes.
    EXPECT_EQ(Bytes(d.bytes + 3, d.bytes + 10),
              (Bytes{6, frame::AD_COMPLETE_NAME, 'T', 'u', 'l', 'v', 'o'}));
    EXPECT_EQ(d.bytes[11], frame::AD_MANUFACTURER);
    const uint8_t *plain = d.bytes + 14;
    const int kelvin = plain[5] << 8 | plain[6];
    EXPECT_NEAR((kelvin - 27315) / 100.0, 22.3, 1.0);
}

// Readings move: over many frames the kit's sensors change what they say.
TEST(SensorTest, ReadingsChangeAndTheButtonIsClickedNowAndThen) {
    Kit kit;
    int clicks = 0, door_moves = 0;
    bool was_closed = kit.magneto.closed;
    int16_t t_min = kit.meteo.centi_celsius, t_max = t_min;
    for (uint32_t round = 0; round < 200; round++) {
        AdvData d;
        if (kit.button.due(round))
            clicks++;
        kit.magneto.due(round);
        if (kit.magneto.closed != was_closed) {
            door_moves++;
            was_closed = kit.magneto.closed;
        }
        kit.meteo.frame(round, &d);
        t_min = std::min(t_min, kit.meteo.centi_celsius);
        t_max = std::max(t_max, kit.meteo.centi_celsius);
    }
    EXPECT_GT(clicks, 10);
    EXPECT_LT(clicks, 190);
    EXPECT_GT(door_moves, 10);
    EXPECT_GT(t_max - t_min, 5);
    EXPECT_LT(t_max - t_min, 1300);
}

// --- the kit's clock ------------------------------------------------------------

// Every round fits in its first part, and the rest is quiet for longer than
// the library's reception window lasts (99 ticks), so windows never fill.
TEST(KitClockTest, RoundsAreBurstsFollowedByAQuietSpell) {
    Kit kit;
    std::vector<uint32_t> times;
    uint32_t now = 0;
    struct Ctx {
        std::vector<uint32_t> *times;
        uint32_t *now;
    } ctx{&times, &now};
    for (now = 0; now < 10 * Kit::ROUND_MS; now += 5)
        kit.run_until(
            now,
            [](void *c, virtkit::Device &, const AdvData &) {
                Ctx *x = static_cast<Ctx *>(c);
                x->times->push_back(*x->now);
            },
            &ctx);
    ASSERT_GT(times.size(), 30u);
    uint32_t longest_gap = 0;
    for (size_t i = 1; i < times.size(); i++) {
        const uint32_t gap = times[i] - times[i - 1];
        EXPECT_TRUE(gap >= Kit::FRAME_GAP_MS || gap == 0 || gap > 1200) << gap;
        longest_gap = std::max(longest_gap, gap);
        // Within a round no frame goes later than its first 1.2 s.
        EXPECT_LT(times[i] % Kit::ROUND_MS, 1200u) << times[i];
    }
    EXPECT_GT(longest_gap, 1200u);
    EXPECT_EQ(kit.rounds(), 9u);
}

} // namespace
} // namespace osl::test
