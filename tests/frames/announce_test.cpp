// Key announcements kept for the application: heard whatever the verbosity,
// their kind learnt from the actor's registration or its own frames, and the
// ring that holds them: repeats kept once, the newest 8, emptied at open.
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/platform.h"
#include "frames/layout.h"
#include "osl.h"
#include "decoder_fixture.h"

namespace osl::test {
namespace {

const char *const KEY = "00112233445566778899AABBCCDDEEFF";
const char *const OTHER_KEY = "F0E1D2C3B4A5968778695A4B3C2D1E0F";

// The actor under test, and a distinct address for the n-th of many.
const Addr ACTOR = addr_from_text("C0FFEE000020");
Addr nth_addr(int n) {
    Addr a = addr_from_text("C0FFEE000100");
    a[5] = static_cast<uint8_t>(n);
    return a;
}

Bytes announcement(const Addr &from, const char *key, int8_t rssi = -60) {
    return sec_key_report(from, key_from_text(key), rssi);
}

// A frame of the actor itself, reporting nothing in particular; `wt` makes
// frames of one actor differ, so the window takes none for a repeat.
Bytes own_frame(const Addr &from, uint8_t type, const char *key, uint32_t wt = 1) {
    DeviceBlock b;
    b.wt = wt;
    b.type = type;
    b.vcc = 213;
    return actor_report(from, b.bytes(), key_from_text(key), -50);
}

// "C0FFEE000020 00112233445566778899AABBCCDDEEFF 20 -60"
std::string text_of(const osl_key_announcement &a) {
    return hex(a.addr, sizeof a.addr) + " " + hex(a.key, sizeof a.key) + " " +
           std::to_string(a.type) + " " + std::to_string(a.rssi);
}

std::string expected(const Addr &from, const char *key, int type, int rssi = -60) {
    return hex(from.data(), from.size()) + " " + key + " " + std::to_string(type) + " " +
           std::to_string(rssi);
}

// Every announcement waiting, oldest first.
std::vector<std::string> take_announcements() {
    std::vector<std::string> taken;
    osl_key_announcement a;
    while (taken.size() <= OSL_ANNOUNCEMENTS_MAX && osl_key_announcement_read(&a) == 1)
        taken.push_back(text_of(a));
    return taken;
}

using Announcements = DecoderFixture;

// --- heard whatever the verbosity ------------------------------------------------

struct VerbosityCase {
    const char *what;
    int flags;
    int result; // of the decoder, as before announcements were kept
    const char *line;
};

void PrintTo(const VerbosityCase &c, std::ostream *os) {
    *os << c.what;
}

class AnnouncementVerbosity : public DecoderFixture,
                              public ::testing::WithParamInterface<VerbosityCase> {};

TEST_P(AnnouncementVerbosity, HeardAndLoggedAsBefore) {
    const VerbosityCase &c = GetParam();
    open(c.flags);
    EXPECT_EQ(decode(announcement(ACTOR, KEY, -61)), c.result);
    EXPECT_EQ(take_records().size(), 0u);
    EXPECT_EQ(said(), c.line);
    EXPECT_EQ(take_announcements(), std::vector<std::string>{expected(ACTOR, KEY, 0, -61)});
}

INSTANTIATE_TEST_SUITE_P(
    Flags, AnnouncementVerbosity,
    ::testing::Values(VerbosityCase{"no_logs", 0, OSL_DECODE_KEY_UNLOGGED, ""},
                      VerbosityCase{"library_log", OSL_LOG_LIB, OSL_DECODE_KEY_UNLOGGED, ""},
                      VerbosityCase{"keys_hidden_without_actor_log",
                                    OSL_LOG_SENSORS | OSL_LOG_HIDE_KEYS, OSL_DECODE_KEY_UNLOGGED,
                                    ""},
                      VerbosityCase{"actor_log", OSL_LOG_ACTORS, frame::REPORT_STD_SIZE,
                                    "T [osl rec] SEC_KEY \"C0FFEE000020\", "
                                    "\"00112233445566778899AABBCCDDEEFF\"\n\r"},
                      VerbosityCase{"actor_log_keys_hidden", OSL_LOG_ACTORS | OSL_LOG_HIDE_KEYS,
                                    frame::REPORT_STD_SIZE,
                                    "T [osl rec] SEC_KEY \"C0FFEE000020\", \"(hidden)\"\n\r"}),
    [](const ::testing::TestParamInfo<VerbosityCase> &i) { return std::string(i.param.what); });

TEST_F(Announcements, OneWithABadTagIsNotKept) {
    open(OSL_LOG_ACTORS);
    Bytes forged = announcement(ACTOR, KEY);
    forged[frame::REPORT_STD_PAYLOAD + OSL_SEALED_TAG + 2] ^= 0x10;
    EXPECT_EQ(decode(forged), -10);
    EXPECT_TRUE(take_announcements().empty());
}

// --- the kind ----------------------------------------------------------------------

class AnnouncedKind : public DecoderFixture, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(AnnouncedKind, UnknownUntilTheActorsOwnFrameIsHeard) {
    const uint8_t type = GetParam();
    open(0);
    receive(announcement(ACTOR, KEY));
    EXPECT_EQ(take_announcements(), std::vector<std::string>{expected(ACTOR, KEY, 0)});

    // Not registered: the frame is neither queued nor printed, only remembered.
    EXPECT_EQ(decode(own_frame(ACTOR, type, KEY)), frame::REPORT_STD_SIZE);
    EXPECT_EQ(take_records().size(), 0u);
    receive(announcement(ACTOR, KEY));
    EXPECT_EQ(take_announcements(), std::vector<std::string>{expected(ACTOR, KEY, type)});
}

INSTANTIATE_TEST_SUITE_P(Kinds, AnnouncedKind,
                         ::testing::Values(OSL_DEV_RELAY, OSL_DEV_DIMMER, OSL_DEV_PWM));

// One row per address: the frames heard (from it, unless the row says
// otherwise), then its announcement of KEY.
struct KindCase {
    const char *what;
    std::vector<Bytes> (*frames)(const Addr &announcer);
    int type;
};

const KindCase kind_cases[] = {
    {"nothing heard", [](const Addr &) { return std::vector<Bytes>{}; }, 0},
    {"its own frame",
     [](const Addr &a) { return std::vector<Bytes>{own_frame(a, OSL_DEV_DIMMER, KEY)}; },
     OSL_DEV_DIMMER},
    {"a frame sealed with another key",
     [](const Addr &a) { return std::vector<Bytes>{own_frame(a, OSL_DEV_DIMMER, OTHER_KEY)}; }, 0},
    {"a frame of another address",
     [](const Addr &) { return std::vector<Bytes>{own_frame(nth_addr(99), OSL_DEV_PWM, KEY)}; }, 0},
    {"a newer frame with another key took the place of one that opened",
     [](const Addr &a) {
         return std::vector<Bytes>{own_frame(a, OSL_DEV_RELAY, KEY, 1),
                                   own_frame(a, OSL_DEV_RELAY, OTHER_KEY, 2)};
     },
     0},
    {"a newer frame with the key took the place of one that did not open",
     [](const Addr &a) {
         return std::vector<Bytes>{own_frame(a, OSL_DEV_PWM, OTHER_KEY, 1),
                                   own_frame(a, OSL_DEV_PWM, KEY, 2)};
     },
     OSL_DEV_PWM},
};

TEST_F(Announcements, KindOnlyFromAFrameTheAnnouncedKeyOpens) {
    open(0);
    int n = 0;
    for (const KindCase &c : kind_cases) {
        SCOPED_TRACE(c.what);
        const Addr a = nth_addr(++n);
        receive(c.frames(a));
        receive(announcement(a, KEY));
        EXPECT_EQ(take_announcements(), std::vector<std::string>{expected(a, KEY, c.type)});
    }
}

TEST_F(Announcements, RegisteredActorHasItsKindWhileTheKeyIsItsOwn) {
    ASSERT_EQ(osl_pwm_add("strip", "C0FFEE000020", KEY), 0);
    open(OSL_LOG_ACTORS);
    receive(announcement(ACTOR, KEY));
    EXPECT_EQ(take_announcements(), std::vector<std::string>{expected(ACTOR, KEY, OSL_DEV_PWM)});

    // The actor was given a new key: nothing tells its kind until one of its
    // frames, which the registered key does not open, is heard.
    receive(announcement(ACTOR, OTHER_KEY));
    EXPECT_EQ(take_announcements(), std::vector<std::string>{expected(ACTOR, OTHER_KEY, 0)});
    EXPECT_EQ(decode(own_frame(ACTOR, OSL_DEV_PWM, OTHER_KEY)), OSL_DECODE_BAD_TAG);
    EXPECT_EQ(take_records().size(), 0u);
    tick(100); // a new window: the same announcement is printed again
    receive(announcement(ACTOR, OTHER_KEY));
    EXPECT_EQ(take_announcements(),
              std::vector<std::string>{expected(ACTOR, OTHER_KEY, OSL_DEV_PWM)});
    EXPECT_EQ(take_records().size(), 0u); // and the lines printed
    EXPECT_EQ(said(),
              "T [osl rec] SEC_KEY \"C0FFEE000020\", \"00112233445566778899AABBCCDDEEFF\"\n\r"
              "T [osl rec] SEC_KEY \"C0FFEE000020\", \"F0E1D2C3B4A5968778695A4B3C2D1E0F\"\n\r"
              "T [osl rec] SEC_KEY \"C0FFEE000020\", \"F0E1D2C3B4A5968778695A4B3C2D1E0F\"\n\r");
}

TEST_F(Announcements, TheLastEightActorsFramesAreRemembered) {
    open(0);
    for (int n = 1; n <= 9; n++)
        receive(own_frame(nth_addr(n), OSL_DEV_RELAY, KEY));
    receive({announcement(nth_addr(1), KEY), announcement(nth_addr(2), KEY),
             announcement(nth_addr(9), KEY)});
    EXPECT_EQ(take_announcements(),
              (std::vector<std::string>{expected(nth_addr(1), KEY, 0),
                                        expected(nth_addr(2), KEY, OSL_DEV_RELAY),
                                        expected(nth_addr(9), KEY, OSL_DEV_RELAY)}));

    // A newer frame of an actor remembered already takes no other's place:
    // the oldest, that of the second actor, stays.
    receive(own_frame(nth_addr(5), OSL_DEV_RELAY, KEY, 2));
    receive(announcement(nth_addr(2), KEY));
    EXPECT_EQ(take_announcements(),
              std::vector<std::string>{expected(nth_addr(2), KEY, OSL_DEV_RELAY)});
}

// --- the ring ----------------------------------------------------------------------

TEST_F(Announcements, RepeatsWaitingAreKeptOnce) {
    open(0);
    const Bytes a = announcement(ACTOR, KEY);
    const Bytes b = announcement(nth_addr(1), OTHER_KEY);
    receive({a, a, b, a, b, a});
    EXPECT_EQ(
        take_announcements(),
        (std::vector<std::string>{expected(ACTOR, KEY, 0), expected(nth_addr(1), OTHER_KEY, 0)}));

    // Once taken it is no longer waiting, and a new burst is kept again; so
    // is the same key of the same actor once its kind is known.
    receive(a);
    receive(own_frame(ACTOR, OSL_DEV_RELAY, KEY));
    receive({a, a});
    EXPECT_EQ(
        take_announcements(),
        (std::vector<std::string>{expected(ACTOR, KEY, 0), expected(ACTOR, KEY, OSL_DEV_RELAY)}));
}

TEST_F(Announcements, AFullRingKeepsTheNewestEight) {
    open(0);
    for (int n = 1; n <= 11; n++)
        receive(announcement(nth_addr(n), KEY));
    std::vector<std::string> newest;
    for (int n = 4; n <= 11; n++)
        newest.push_back(expected(nth_addr(n), KEY, 0));
    EXPECT_EQ(take_announcements(), newest);

    // Taken partly, then overrun: the reader starts from the oldest left.
    for (int n = 1; n <= 8; n++)
        receive(announcement(nth_addr(n), KEY));
    osl_key_announcement first;
    ASSERT_EQ(osl_key_announcement_read(&first), 1);
    EXPECT_EQ(text_of(first), expected(nth_addr(1), KEY, 0));
    for (int n = 9; n <= 12; n++)
        receive(announcement(nth_addr(n), KEY));
    newest.clear();
    for (int n = 5; n <= 12; n++)
        newest.push_back(expected(nth_addr(n), KEY, 0));
    EXPECT_EQ(take_announcements(), newest);
}

TEST_F(Announcements, ReadWithANullPointerTakesNothing) {
    open(0);
    EXPECT_EQ(osl_key_announcement_read(nullptr), 0);
    receive(announcement(ACTOR, KEY));
    EXPECT_EQ(osl_key_announcement_read(nullptr), 0);
    EXPECT_EQ(take_announcements(), std::vector<std::string>{expected(ACTOR, KEY, 0)});
}

TEST_F(Announcements, OpenStartsWithNoneWaitingAndNoFrameRemembered) {
    open(0);
    receive({own_frame(ACTOR, OSL_DEV_DIMMER, KEY), announcement(nth_addr(1), KEY)});
    osl_bt_close();
    // The lock of the first open is held for the life of the process.
    static std::string second_lock;
    second_lock = path("osl-again");
    osl_lock_path = second_lock.c_str();
    open(0);
    EXPECT_TRUE(take_announcements().empty());
    receive(announcement(ACTOR, KEY));
    EXPECT_EQ(take_announcements(), std::vector<std::string>{expected(ACTOR, KEY, 0)});
}

} // namespace
} // namespace osl::test
