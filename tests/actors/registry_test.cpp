// Actor registration: the checks in their order, the log lines, the lookups
// and the tick's trigger countdowns over the tables.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "actors/kinds.h"
#include "actors/registry.h"
#include "core/log.h"
#include "osl.h"
#include "support/capture.h"
#include "support/lib_fixture.h"

namespace {

using osl::test::LibFixture;
using osl::test::mask_times;
using osl::test::StdoutCapture;

constexpr const char *ADDR = "CBFD786BAA68";
constexpr const char *KEY = "000102030405060708090A0B0C0D0E0F";
constexpr const char *ADDR2 = "112233445566";

using add_fn = int (*)(const char *, const char *, const char *);

struct KindOps {
    const char *label;
    add_fn add;
    int (*find_name)(const char *);
    int (*find_addr)(const uint8_t *);
    int (*find_frame_addr)(const uint8_t *);
    volatile int32_t *count;
    osl_actor_kind_id id;
};

const KindOps kinds[] = {
    {"relay", osl_relay_add, osl_relay_find_name, osl_relay_find_addr, osl_relay_find_frame_addr,
     &osl_relay_count, OSL_KIND_RELAY},
    {"dimmer", osl_dimmer_add, osl_dimmer_find_name, osl_dimmer_find_addr,
     osl_dimmer_find_frame_addr, &osl_dimmer_count, OSL_KIND_DIMMER},
    {"pwm", osl_pwm_add, osl_pwm_find_name, osl_pwm_find_addr, osl_pwm_find_frame_addr,
     &osl_pwm_count, OSL_KIND_PWM},
};

// The library open with its own log on and the open lines already taken.
class RegistryLog : public LibFixture {
  protected:
    void SetUp() override {
        LibFixture::SetUp();
        use_manual_timer();
        ASSERT_EQ(osl_bt_open(0, 0, 0, OSL_LOG_LIB), 0);
        out.take();
    }
    std::string said() { return mask_times(out.take()); }
    StdoutCapture out;
};

TEST_F(RegistryLog, SuccessfulAddPrintsAddressNameAndKey) {
    for (const KindOps &k : kinds) {
        SCOPED_TRACE(k.label);
        std::string addr = std::string("0000000000") + std::to_string(10 + (&k - kinds));
        ASSERT_EQ(k.add("hall", addr.c_str(), KEY), 0);
        EXPECT_EQ(said(), std::string("T [osl add] ") + k.label + " <1> 0x" + addr +
                              " 'hall'\n\r\tSEC_KEY: 000102030405060708090A0B0C0D0E0F : OK\n\r");
        EXPECT_EQ(*k.count, 1);
    }
}

// A program that keeps keys out of its log: the add line shows "(hidden)"
// where the key's digits stood, and nothing else of it changes.
struct HiddenKeyCase {
    const char *what;
    int flags;
    const char *line;
};

void PrintTo(const HiddenKeyCase &c, std::ostream *os) {
    *os << c.what;
}

class RegistryHiddenKey : public LibFixture, public ::testing::WithParamInterface<HiddenKeyCase> {};

TEST_P(RegistryHiddenKey, AddLineShowsTheKeyOnlyWhenNotHidden) {
    use_manual_timer();
    ASSERT_EQ(osl_bt_open(0, 0, 0, GetParam().flags), 0);
    StdoutCapture out;
    ASSERT_EQ(osl_dimmer_add("hall", ADDR, KEY), 0);
    EXPECT_EQ(osl_dimmer_add("hall", ADDR2, "not a key"), OSL_ADD_BAD_KEY);
    EXPECT_EQ(mask_times(out.stop()), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, RegistryHiddenKey,
    ::testing::Values(
        HiddenKeyCase{"shown", OSL_LOG_LIB,
                      "T [osl add] dimmer <1> 0xCBFD786BAA68 'hall'\n\r"
                      "\tSEC_KEY: 000102030405060708090A0B0C0D0E0F : OK\n\r"
                      "T [osl add] dimmer <2> 0x112233445566 'hall' : error: sec key\n\r"},
        HiddenKeyCase{"hidden", OSL_LOG_LIB | OSL_LOG_HIDE_KEYS,
                      "T [osl add] dimmer <1> 0xCBFD786BAA68 'hall'\n\r"
                      "\tSEC_KEY: (hidden) : OK\n\r"
                      "T [osl add] dimmer <2> 0x112233445566 'hall' : error: sec key\n\r"},
        HiddenKeyCase{"hidden_without_library_log", OSL_LOG_ACTORS | OSL_LOG_HIDE_KEYS, ""}),
    [](const ::testing::TestParamInfo<HiddenKeyCase> &i) { return std::string(i.param.what); });

// One failing add per row, after the setup registrations; the result, the
// line and the unchanged count show which check refused it.
struct FailureCase {
    const char *what;
    add_fn add;
    const char *name;
    const char *addr;
    const char *key;
    int result;
    const char *line;
};

const FailureCase failures[] = {
    {"address of 11 digits", osl_relay_add, "hall", "CBFD786BAA6", KEY, -4,
     "T [osl add] relay <2> 0x : error: bt addr\n\r"},
    {"colon in address", osl_relay_add, "hall", "CB:FD:78:6B:AA:68", KEY, -4,
     "T [osl add] relay <2> 0x : error: bt addr\n\r"},
    {"null address", osl_relay_add, "hall", nullptr, KEY, -4,
     "T [osl add] relay <2> 0x : error: bt addr\n\r"},
    {"bad address before empty name", osl_dimmer_add, "", "zz", KEY, -4,
     "T [osl add] dimmer <2> 0x : error: bt addr\n\r"},
    {"relay address as dimmer", osl_dimmer_add, "hall", ADDR2, KEY, -10,
     "T [osl add] dimmer <2> 0x112233445566 : error: address used as relay\n\r"},
    {"used address before empty name", osl_pwm_add, "", ADDR2, KEY, -10,
     "T [osl add] pwm <1> 0x112233445566 : error: address used as relay\n\r"},
    {"same address in lower case", osl_relay_add, "hall", "aabbccddeeff", KEY, -10,
     "T [osl add] relay <2> 0xAABBCCDDEEFF : error: address used as dimmer\n\r"},
    {"empty name", osl_relay_add, "", ADDR, KEY, -6,
     "T [osl add] relay <2> 0xCBFD786BAA68 : error: no name specified\n\r"},
    {"null name", osl_pwm_add, nullptr, ADDR, KEY, -6,
     "T [osl add] pwm <1> 0xCBFD786BAA68 : error: no name specified\n\r"},
    {"key of 31 digits", osl_relay_add, "hall", ADDR, "000102030405060708090A0B0C0D0E0", -8,
     "T [osl add] relay <2> 0xCBFD786BAA68 'hall' : error: sec key\n\r"},
    {"null key", osl_dimmer_add, "hall", ADDR, nullptr, -8,
     "T [osl add] dimmer <2> 0xCBFD786BAA68 'hall' : error: sec key\n\r"},
};

TEST_F(RegistryLog, FailedAddsReportTheFirstFailingCheck) {
    // A relay at ADDR2 and a dimmer at AABBCCDDEEFF are already there.
    ASSERT_EQ(osl_relay_add("first", ADDR2, KEY), 0);
    ASSERT_EQ(osl_dimmer_add("d", "AABBCCDDEEFF", KEY), 0);
    said();
    for (const FailureCase &c : failures) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.add(c.name, c.addr, c.key), c.result);
        EXPECT_EQ(said(), c.line);
        EXPECT_EQ(osl_relay_count, 1);
        EXPECT_EQ(osl_dimmer_count, 1);
        EXPECT_EQ(osl_pwm_count, 0);
    }
}

TEST_F(RegistryLog, EleventhAddOfAKindIsRefusedOthersStillFit) {
    for (const KindOps &k : kinds) {
        SCOPED_TRACE(k.label);
        for (int i = 0; i < OSL_MAX_ACTORS; i++) {
            char addr[13];
            snprintf(addr, sizeof addr, "%02X00000000%02X", static_cast<int>(&k - kinds), i);
            ASSERT_EQ(k.add("a", addr, KEY), 0);
        }
        said();
        EXPECT_EQ(k.add("a", "FFFFFFFFFFFF", KEY), -2);
        EXPECT_EQ(said(), std::string("T [osl err] ") + k.label + "_add:cant add " + k.label +
                              ":no resources <10>\n\r");
        EXPECT_EQ(*k.count, OSL_MAX_ACTORS);
    }
}

TEST(Registry, AddsBeforeOpenPrintNothingAndGiveTheSameResults) {
    StdoutCapture out;
    EXPECT_EQ(osl_relay_add("hall", ADDR, KEY), 0);
    EXPECT_EQ(osl_dimmer_add("hall", ADDR, KEY), -10);
    EXPECT_EQ(osl_pwm_add("", ADDR2, KEY), -6);
    EXPECT_EQ(out.stop(), "");
}

TEST(Registry, FailedAddLeavesTheEntryFreeForTheNext) {
    ASSERT_EQ(osl_relay_add("broken", ADDR, "not a key"), -8);
    EXPECT_EQ(osl_relay_count, 0);
    EXPECT_EQ(osl_relay_find_name("broken"), -1);
    const uint8_t frame_addr[6] = {0x68, 0xAA, 0x6B, 0x78, 0xFD, 0xCB};
    EXPECT_EQ(osl_relay_find_frame_addr(frame_addr), -1);

    // The same address is free too, since the failed entry never counted.
    ASSERT_EQ(osl_relay_add("hall", ADDR, KEY), 0);
    EXPECT_STREQ(osl_relay_table[0].name, "hall");
    EXPECT_EQ(osl_relay_find_name("hall"), 0);
}

TEST(Registry, LongNamesAreCutTo63Characters) {
    const std::string name70(70, 'n');
    ASSERT_EQ(osl_pwm_add(name70.c_str(), ADDR, KEY), 0);
    EXPECT_EQ(osl_pwm_find_name(name70.c_str()), -1);
    EXPECT_EQ(osl_pwm_find_name(name70.substr(0, 63).c_str()), 0);
    EXPECT_EQ(std::string(osl_pwm_table[0].name), name70.substr(0, 63));
}

TEST(Registry, NewEntryStartsIdleWithKeyAndAddressStored) {
    // What an earlier failed add wrote must not survive into the new entry.
    osl_pwm_table[0].trigger = 7;
    osl_pwm_table[0].wanted[1] = 9;
    osl_pwm_table[0].reported[2] = 9;
    ASSERT_EQ(osl_pwm_add("p", ADDR, "00112233445566778899aabbccddeeff"), 0);
    const osl_pwm_entry &e = osl_pwm_table[0];
    const uint8_t addr[6] = {0xCB, 0xFD, 0x78, 0x6B, 0xAA, 0x68};
    const uint8_t key[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                             0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    EXPECT_EQ(memcmp(e.addr, addr, 6), 0);
    EXPECT_EQ(memcmp(e.sec_key, key, 16), 0);
    EXPECT_EQ(e.trigger, 0u);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(e.wanted[i], 0);
        EXPECT_EQ(e.reported[i], 0);
    }
}

// Names the kind in test listings instead of dumping the pointers.
void PrintTo(const KindOps &k, std::ostream *os) {
    *os << k.label;
}

class RegistryLookup : public ::testing::TestWithParam<KindOps> {};

TEST_P(RegistryLookup, ByNameStoredAddressAndFrameAddress) {
    const KindOps &k = GetParam();
    const uint8_t stored[6] = {0xCB, 0xFD, 0x78, 0x6B, 0xAA, 0x68};
    const uint8_t frame[6] = {0x68, 0xAA, 0x6B, 0x78, 0xFD, 0xCB};
    EXPECT_EQ(k.find_addr(stored), -1);
    EXPECT_EQ(k.find_frame_addr(frame), -1);
    EXPECT_EQ(k.find_name("hall"), -1);
    ASSERT_EQ(k.add("other", "010203040506", KEY), 0);
    ASSERT_EQ(k.add("hall", ADDR, KEY), 0);
    ASSERT_EQ(k.add("hall", "0A0B0C0D0E0F", KEY), 0); // a second actor of the same name
    EXPECT_EQ(k.find_addr(stored), 1);
    EXPECT_EQ(k.find_frame_addr(frame), 1);
    EXPECT_EQ(k.find_frame_addr(stored), -1); // the byte order matters
    EXPECT_EQ(k.find_addr(frame), -1);
    const uint8_t second[6] = {0x0F, 0x0E, 0x0D, 0x0C, 0x0B, 0x0A};
    EXPECT_EQ(k.find_frame_addr(second), 2);
    EXPECT_EQ(k.find_name("hall"), 1); // the first registered of that name
    EXPECT_EQ(k.find_name("Hall"), -1);
    EXPECT_EQ(k.find_name(nullptr), -1);
}

INSTANTIATE_TEST_SUITE_P(Kinds, RegistryLookup, ::testing::ValuesIn(kinds),
                         [](const ::testing::TestParamInfo<KindOps> &case_info) {
                             return std::string(case_info.param.label);
                         });

// --- removal -----------------------------------------------------------------

// The library open with its own log on, for the removal of one kind's actors.
class RegistryRemove : public LibFixture, public ::testing::WithParamInterface<KindOps> {
  protected:
    void SetUp() override {
        LibFixture::SetUp();
        use_manual_timer();
        ASSERT_EQ(osl_bt_open(0, 0, 0, OSL_LOG_LIB), 0);
    }
    static osl_actor_ref entry(int i) { return osl_actor_kinds[GetParam().id].entry(i); }
    static int channels() { return osl_actor_kinds[GetParam().id].channels; }
};

// Actor n of four: its address, name, key and a state of its own.
std::string nth_addr(int n) {
    std::string addr(12, '0');
    addr[1] = static_cast<char>('A' + n);
    return addr;
}
std::string nth_name(int n) {
    return std::string(1, static_cast<char>('a' + n));
}
std::string nth_key(int n) {
    return std::string(32, static_cast<char>('1' + n));
}

TEST_P(RegistryRemove, LaterActorsMoveDownWithAllTheyHold) {
    const KindOps &k = GetParam();
    for (int n = 0; n < 4; n++) {
        ASSERT_EQ(k.add(nth_name(n).c_str(), nth_addr(n).c_str(), nth_key(n).c_str()), 0);
        *entry(n).trigger = 100u + static_cast<uint32_t>(n);
        for (int c = 0; c < channels(); c++) {
            entry(n).wanted[c] = static_cast<uint8_t>(10 * n + c);
            entry(n).reported[c] = static_cast<uint8_t>(20 * n + c);
        }
    }
    StdoutCapture out;
    EXPECT_EQ(osl_actor_remove("0b0000000000"), 0); // in either case, as the add takes it
    EXPECT_EQ(mask_times(out.take()),
              std::string("T [osl remove] ") + k.label + " 0x0B0000000000 'b'\n\r");

    // Left in their order, each with its own key (and its expansion, which
    // the tick opens its frames with), countdown and states.
    ASSERT_EQ(*k.count, 3);
    const int left[] = {0, 2, 3};
    for (int i = 0; i < 3; i++) {
        const int n = left[i];
        SCOPED_TRACE(n);
        const osl_actor_ref e = entry(i);
        EXPECT_EQ(std::string(e.name), nth_name(n));
        EXPECT_EQ(k.find_name(nth_name(n).c_str()), i);
        uint8_t key[16];
        memset(key, 0x11 * (n + 1), sizeof key);
        EXPECT_EQ(memcmp(e.sec_key, key, sizeof key), 0);
        osl_aes_key expanded;
        osl_aes_key_expand(key, &expanded);
        EXPECT_EQ(memcmp(e.schedule, &expanded, sizeof expanded), 0);
        EXPECT_EQ(*e.trigger, 100u + static_cast<uint32_t>(n));
        for (int c = 0; c < channels(); c++) {
            EXPECT_EQ(e.wanted[c], 10 * n + c);
            EXPECT_EQ(e.reported[c], 20 * n + c);
        }
    }
    const uint8_t b_stored[6] = {0x0B, 0, 0, 0, 0, 0};
    const uint8_t b_frame[6] = {0, 0, 0, 0, 0, 0x0B};
    EXPECT_EQ(k.find_name("b"), -1);
    EXPECT_EQ(k.find_addr(b_stored), -1);
    EXPECT_EQ(k.find_frame_addr(b_frame), -1);
    // The place given up keeps nothing of the actor that had it, its key least.
    const osl_actor_ref freed = entry(3);
    EXPECT_EQ(freed.name[0], '\0');
    const uint8_t zero[16] = {};
    EXPECT_EQ(memcmp(freed.sec_key, zero, sizeof zero), 0);
    EXPECT_EQ(*freed.trigger, 0u);

    // The moved countdowns run on in their new places.
    tick();
    EXPECT_EQ(*entry(1).trigger, 101u);

    // The first and the last go as well.
    EXPECT_EQ(osl_actor_remove(nth_addr(0).c_str()), 0);
    EXPECT_EQ(osl_actor_remove(nth_addr(3).c_str()), 0);
    ASSERT_EQ(*k.count, 1);
    EXPECT_EQ(std::string(entry(0).name), "c");
    EXPECT_EQ(mask_times(out.stop()), std::string("T [osl remove] ") + k.label +
                                          " 0x0A0000000000 'a'\n\r" + "T [osl remove] " + k.label +
                                          " 0x0D0000000000 'd'\n\r");
}

TEST_P(RegistryRemove, AFullTableTakesAnActorAgainAfterARemoval) {
    const KindOps &k = GetParam();
    for (int i = 0; i < OSL_MAX_ACTORS; i++) {
        char addr[13];
        snprintf(addr, sizeof addr, "0000000000%02X", i);
        ASSERT_EQ(k.add(std::to_string(i).c_str(), addr, KEY), 0);
    }
    EXPECT_EQ(k.add("new", ADDR, KEY), OSL_ADD_FULL);
    EXPECT_EQ(osl_actor_remove("000000000004"), 0);
    EXPECT_EQ(k.add("new", ADDR, KEY), 0);
    EXPECT_EQ(*k.count, OSL_MAX_ACTORS);
    EXPECT_EQ(k.find_name("new"), OSL_MAX_ACTORS - 1);
    EXPECT_EQ(k.find_name("5"), 4);
}

TEST_P(RegistryRemove, TheAddressIsFreeForAnyKindAndANewKey) {
    const KindOps &k = GetParam();
    ASSERT_EQ(k.add("hall", ADDR, KEY), 0);
    ASSERT_EQ(osl_actor_remove(ADDR), 0);
    const KindOps &other = kinds[(GetParam().id + 1) % OSL_ACTOR_KINDS];
    ASSERT_EQ(other.add("hall", ADDR, "FFEEDDCCBBAA99887766554433221100"), 0);
    EXPECT_EQ(*k.count, 0);
    EXPECT_EQ(other.find_name("hall"), 0);
    EXPECT_EQ(osl_actor_kinds[other.id].entry(0).sec_key[0], 0xFF);
}

INSTANTIATE_TEST_SUITE_P(Kinds, RegistryRemove, ::testing::ValuesIn(kinds),
                         [](const ::testing::TestParamInfo<KindOps> &case_info) {
                             return std::string(case_info.param.label);
                         });

// One refused removal per row; nothing registered changes.
struct RemoveFailure {
    const char *what;
    const char *addr;
    int result;
    const char *line;
};

const RemoveFailure remove_failures[] = {
    {"null address", nullptr, OSL_ADD_BAD_ADDR, "T [osl remove] 0x : error: bt addr\n\r"},
    {"address of 11 digits", "CBFD786BAA6", OSL_ADD_BAD_ADDR,
     "T [osl remove] 0x : error: bt addr\n\r"},
    {"colons in the address", "CB:FD:78:6B:AA:68", OSL_ADD_BAD_ADDR,
     "T [osl remove] 0x : error: bt addr\n\r"},
    {"no actor there", "CBFD786BAA69", OSL_NO_ACTOR,
     "T [osl remove] 0xCBFD786BAA69 : error: no actor\n\r"},
};

TEST_F(RegistryLog, RefusedRemovalsChangeNothing) {
    ASSERT_EQ(osl_relay_add("hall", ADDR, KEY), 0);
    ASSERT_EQ(osl_pwm_add("strip", ADDR2, KEY), 0);
    said();
    for (const RemoveFailure &c : remove_failures) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(osl_actor_remove(c.addr), c.result);
        EXPECT_EQ(said(), c.line);
        EXPECT_EQ(osl_relay_count, 1);
        EXPECT_EQ(osl_pwm_count, 1);
        EXPECT_EQ(osl_relay_find_name("hall"), 0);
    }
    // Removed once, an actor is not there to remove again.
    EXPECT_EQ(osl_actor_remove(ADDR2), 0);
    EXPECT_EQ(osl_actor_remove(ADDR2), OSL_NO_ACTOR);
    EXPECT_EQ(osl_pwm_find_name("strip"), -1);
    EXPECT_EQ(osl_relay_count, 1);
}

// The tick reads the tables at any moment: a SIGALRM that arrives while an
// actor is being removed waits until the table is whole again. A line the
// tick recorded earlier is printed during the removal, and raises the signal
// there; the handler notes what it finds.
std::vector<std::string> seen_by_handler;
int32_t count_seen_by_handler = -1;

void note_table(int) {
    count_seen_by_handler = osl_relay_count;
    for (int i = 0; i < osl_relay_count; i++)
        seen_by_handler.emplace_back(osl_relay_table[i].name);
}

void raise_alarm(time_t, const uint8_t *, unsigned) {
    raise(SIGALRM);
}

TEST(Registry, TheTickSeesTheTableOnlyBeforeOrAfterARemoval) {
    for (int n = 0; n < 3; n++)
        ASSERT_EQ(osl_relay_add(nth_name(n).c_str(), nth_addr(n).c_str(), KEY), 0);
    struct sigaction handler = {};
    struct sigaction old = {};
    handler.sa_handler = note_table;
    sigemptyset(&handler.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &handler, &old), 0);
    ASSERT_EQ(osl_log_defer(raise_alarm, nullptr, 0), 0);

    EXPECT_EQ(osl_actor_remove(nth_addr(0).c_str()), 0);
    EXPECT_EQ(count_seen_by_handler, 2);
    EXPECT_EQ(seen_by_handler, (std::vector<std::string>{"b", "c"}));
    sigaction(SIGALRM, &old, nullptr);
}

TEST(Registry, RemovalLeavesTheSignalMaskAsItFoundIt) {
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    for (bool blocked : {false, true}) {
        SCOPED_TRACE(blocked);
        sigprocmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &alarm, nullptr);
        ASSERT_EQ(osl_relay_add("r", ADDR, KEY), 0);
        StdoutCapture out;
        EXPECT_EQ(osl_actor_remove(ADDR), 0);
        EXPECT_EQ(out.stop(), ""); // before any open the verbosity is 0
        sigset_t now;
        sigprocmask(SIG_SETMASK, nullptr, &now);
        EXPECT_EQ(sigismember(&now, SIGALRM), blocked ? 1 : 0);
    }
    sigprocmask(SIG_UNBLOCK, &alarm, nullptr);
}

class RegistryTick : public LibFixture {
  protected:
    void SetUp() override {
        LibFixture::SetUp();
        use_manual_timer();
        ASSERT_EQ(osl_relay_add("r", "010000000000", KEY), 0);
        ASSERT_EQ(osl_dimmer_add("d", "020000000000", KEY), 0);
        ASSERT_EQ(osl_pwm_add("p", "030000000000", KEY), 0);
        ASSERT_EQ(osl_bt_open(0, 0, 0, 0), 0);
    }
};

TEST_F(RegistryTick, RunningTriggersComeToRestAtOne) {
    osl_relay_table[0].trigger = 3;
    osl_dimmer_table[0].trigger = 0;
    osl_pwm_table[0].trigger = 2;
    osl_relay_table[1].trigger = 5; // not registered: the tick leaves it alone
    tick();
    EXPECT_EQ(osl_relay_table[0].trigger, 2u);
    EXPECT_EQ(osl_dimmer_table[0].trigger, 0u);
    EXPECT_EQ(osl_pwm_table[0].trigger, 1u);
    tick(5);
    EXPECT_EQ(osl_relay_table[0].trigger, 1u);
    EXPECT_EQ(osl_dimmer_table[0].trigger, 0u);
    EXPECT_EQ(osl_pwm_table[0].trigger, 1u);
    EXPECT_EQ(osl_relay_table[1].trigger, 5u);
}

TEST_F(RegistryTick, RegistrationsOutliveClose) {
    osl_bt_close();
    EXPECT_EQ(osl_relay_find_name("r"), 0);
    EXPECT_EQ(osl_dimmer_find_name("d"), 0);
    EXPECT_EQ(osl_pwm_find_name("p"), 0);
}

} // namespace
