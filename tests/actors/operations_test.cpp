// The actor operations: what each sends and keeps as wanted, what the gets
// read from the actors' own frames, when comply sends the wanted state
// again, the triggers' life, and every line they print, at which verbosity.
#include <cstdio>
#include <cstring>
#include <functional>
#include <ostream>

#include "actor_fixture.h"
#include "sim/hci_sim.h"

namespace osl::test {
namespace {

using sim::Call;

const osl_relay_entry &relay() {
    return osl_relay_table[ACTOR_INDEX];
}
const osl_dimmer_entry &dimmer() {
    return osl_dimmer_table[ACTOR_INDEX];
}
const osl_pwm_entry &pwm() {
    return osl_pwm_table[ACTOR_INDEX];
}

// The tables as bytes, to show an operation changed nothing at all.
std::string tables() {
    std::string t;
    t.append(reinterpret_cast<const char *>(osl_relay_table), sizeof osl_relay_table);
    t.append(reinterpret_cast<const char *>(osl_dimmer_table), sizeof osl_dimmer_table);
    t.append(reinterpret_cast<const char *>(osl_pwm_table), sizeof osl_pwm_table);
    return t;
}

class Operations : public ActorFixture {
  protected:
    // The value bytes (payload 12..15) of the one command sent since the
    // record was cleared, after the checks every command to the actor passes.
    std::array<uint8_t, 4> sent(const Actor &a) {
        const Opened o = sent_to(a);
        EXPECT_EQ(o.plain[4], 6);
        const Addr addr = addr_from_text(a.addr);
        EXPECT_EQ(Bytes(o.plain.begin() + 5, o.plain.begin() + 11),
                  Bytes(addr.begin(), addr.end()));
        EXPECT_EQ(o.plain[11], a.type);
        EXPECT_EQ(o.type_byte, 0);
        return {o.plain[12], o.plain[13], o.plain[14], o.plain[15]};
    }
};

// ---- names and addresses that are not there ---------------------------------------

// Every operation that takes a name, called with the name of an actor of
// another kind: the lookup is by kind, so none of them may find it.
struct NameCase {
    const char *op; // as the no-name line names it
    int (*call)(const char *name);
    int result;
    const char *foreign; // registered, but as another kind
};

const NameCase name_cases[] = {
    {"relay_on", [](const char *n) { return osl_relay_on(n, 0x01); }, -2, "lamp"},
    {"relay_off", [](const char *n) { return osl_relay_off(n, 0x01); }, -2, "lamp"},
    {"relay_get_ch0", osl_relay_get_ch0, -2, "lamp"},
    {"relay_get_ch1", osl_relay_get_ch1, -2, "lamp"},
    {"relay_get_ch2", osl_relay_get_ch2, -2, "lamp"},
    {"relay_get_ch3", osl_relay_get_ch3, -2, "lamp"},
    {"relay_set_trigger", [](const char *n) { return osl_relay_set_trigger(n, 5); }, -2, "lamp"},
    {"relay_clear_trigger", osl_relay_clear_trigger, -2, "lamp"},
    {"relay_is_trigger", osl_relay_is_trigger, 0, "lamp"},
    {"dimmer_set", [](const char *n) { return osl_dimmer_set(n, 50); }, -2, "strip"},
    {"dimmer_get", osl_dimmer_get, -2, "strip"},
    {"dimmer_set_trigger", [](const char *n) { return osl_dimmer_set_trigger(n, 5); }, -2, "strip"},
    {"dimmer_clear_trigger", osl_dimmer_clear_trigger, -2, "strip"},
    {"dimmer_is_trigger", osl_dimmer_is_trigger, 0, "strip"},
    {"pwm_set", [](const char *n) { return osl_pwm_set(n, 1, 2, 3); }, -2, "hall"},
    {"pwm_get_ch0", osl_pwm_get_ch0, -2, "hall"},
    {"pwm_get_ch1", osl_pwm_get_ch1, -2, "hall"},
    {"pwm_get_ch2", osl_pwm_get_ch2, -2, "hall"},
    // The pwm trigger's no-name line is spelt so.
    {"pwm_set_tigger", [](const char *n) { return osl_pwm_set_trigger(n, 5); }, -2, "hall"},
    {"pwm_clear_trigger", osl_pwm_clear_trigger, -2, "hall"},
    {"pwm_is_trigger", osl_pwm_is_trigger, 0, "hall"},
};

std::string no_name_line(const NameCase &c, const std::string &name) {
    return "T [osl err] " + std::string(c.op) + ":no name:'" + name + "'\n\r";
}

// Running triggers everywhere, so a lookup gone wrong shows in them too.
void arm_every_trigger() {
    for (int i = 0; i <= ACTOR_INDEX; i++) {
        osl_relay_table[i].trigger = 500;
        osl_dimmer_table[i].trigger = 1; // fired and not yet collected
        osl_pwm_table[i].trigger = 500;
    }
}

TEST_F(Operations, EveryNameOperationRefusesANameOfAnotherKind) {
    ASSERT_NO_FATAL_FAILURE(open(OSL_LOG_ACTORS, Ticks::ByHand));
    arm_every_trigger();
    const std::string before = tables();
    for (const NameCase &c : name_cases) {
        SCOPED_TRACE(c.op);
        EXPECT_EQ(c.call(c.foreign), c.result);
        EXPECT_EQ(said(), no_name_line(c, c.foreign));
    }
    EXPECT_EQ(tables(), before);
    EXPECT_TRUE(sim.calls().empty());
}

TEST_F(Operations, NullNameIsNoSuchActor) {
    ASSERT_NO_FATAL_FAILURE(open(OSL_LOG_ACTORS, Ticks::ByHand));
    arm_every_trigger();
    const std::string before = tables();
    for (const NameCase &c : name_cases) {
        SCOPED_TRACE(c.op);
        EXPECT_EQ(c.call(nullptr), c.result);
        // What stands for the missing name is the library's choice; the line is the operation's.
        const std::string line = said();
        const std::string start = "T [osl err] " + std::string(c.op) + ":no name:'";
        EXPECT_EQ(line.substr(0, start.size()), start) << line;
        EXPECT_GE(line.size(), start.size() + 3);
        EXPECT_EQ(line.substr(line.size() - 3), "'\n\r") << line;
    }
    EXPECT_EQ(tables(), before);
    EXPECT_TRUE(sim.calls().empty());
}

// Without OSL_LOG_ACTORS the same calls give the same results and print
// nothing, but for pwm_set's no-name line, which is always printed.
class OperationsQuiet : public Operations, public ::testing::WithParamInterface<int> {};

TEST_P(OperationsQuiet, OnlyThePwmSetNoNameLineIsPrinted) {
    ASSERT_NO_FATAL_FAILURE(open(GetParam(), Ticks::ByHand));
    for (const NameCase &c : name_cases) {
        SCOPED_TRACE(c.op);
        EXPECT_EQ(c.call(c.foreign), c.result);
        EXPECT_EQ(said(), std::string(c.op) == "pwm_set" ? no_name_line(c, c.foreign) : "");
        EXPECT_EQ(c.call(nullptr), c.result);
        const std::string null_line = said();
        const std::string start = "T [osl err] pwm_set:no name:'";
        if (std::string(c.op) == "pwm_set")
            EXPECT_EQ(null_line.substr(0, start.size()), start);
        else
            EXPECT_EQ(null_line, "");
    }
    // The comply operations' no-dev lines too.
    osl_record stranger{};
    const Addr addr = addr_from_text("112233445566");
    memcpy(stranger.addr, addr.data(), addr.size());
    EXPECT_EQ(osl_relay_comply(&stranger), -2);
    EXPECT_EQ(osl_dimmer_comply(&stranger), -2);
    EXPECT_EQ(osl_pwm_comply(&stranger), -2);
    EXPECT_EQ(osl_relay_comply(nullptr), -2);
    EXPECT_EQ(said(), "");
    EXPECT_TRUE(sim.calls().empty());

    // Nor the send lines, also of failed sends (which need no ticks).
    osl_record rec = report(RELAY, {0x01});
    sim.status(Call::SendReq, hci::STATUS_COMMAND_DISALLOWED, -1);
    EXPECT_EQ(osl_relay_on(RELAY.name, 0x01), -24);
    EXPECT_EQ(osl_relay_off(RELAY.name, 0x01), -24);
    EXPECT_EQ(osl_dimmer_set(DIMMER.name, 10), -24);
    EXPECT_EQ(osl_pwm_set(PWM.name, 1, 2, 3), -24);
    EXPECT_EQ(osl_relay_comply(&rec), -6);
    EXPECT_EQ(osl_relay_set_trigger(RELAY.name, 1), 0);
    EXPECT_EQ(said(), "");
}

INSTANTIATE_TEST_SUITE_P(Verbosity, OperationsQuiet,
                         ::testing::Values(0, OSL_LOG_LIB | OSL_LOG_SENSORS | OSL_LOG_AIR),
                         [](const ::testing::TestParamInfo<int> &case_info) {
                             return case_info.param == 0 ? std::string("none")
                                                         : std::string("all_but_actors");
                         });

struct ComplyKind {
    const char *kind;
    int (*comply)(const osl_record *);
    const Actor *other; // an actor of another kind, whose record this comply must refuse
};

const ComplyKind comply_kinds[] = {
    {"relay", osl_relay_comply, &DIMMER},
    {"dimmer", osl_dimmer_comply, &PWM},
    {"pwm", osl_pwm_comply, &RELAY},
};

TEST_F(Operations, ComplyRefusesRecordsOfOtherKindsAndUnknownAddresses) {
    ASSERT_NO_FATAL_FAILURE(open(OSL_LOG_ACTORS, Ticks::ByHand));
    for (const ComplyKind &k : comply_kinds) {
        SCOPED_TRACE(k.kind);
        osl_record rec = report(*k.other, {1, 2, 3});
        forget();
        const std::string before = tables();
        const std::string tag = "T [osl err] " + std::string(k.kind) + "_comply:no dev:";
        // The line ends with the address: no line end follows it.
        EXPECT_EQ(k.comply(&rec), -2);
        EXPECT_EQ(said(), tag + "0x" + k.other->addr);
        const Addr stranger = addr_from_text("112233445566");
        memcpy(rec.addr, stranger.data(), stranger.size());
        EXPECT_EQ(k.comply(&rec), -2);
        EXPECT_EQ(said(), tag + "0x112233445566");
        EXPECT_EQ(k.comply(nullptr), -2);
        const std::string null_line = said();
        EXPECT_EQ(null_line.substr(0, tag.size()), tag);
        EXPECT_EQ(null_line.find('\n'), std::string::npos);
        EXPECT_EQ(tables(), before);
        EXPECT_TRUE(sim.calls().empty());
    }
    // So the next output goes on on the same line.
    osl_record stranger{};
    memcpy(stranger.addr, addr_from_text("0102030405AB").data(), 6);
    EXPECT_EQ(osl_relay_comply(&stranger), -2);
    EXPECT_EQ(osl_pwm_get_ch0("nobody"), -2);
    EXPECT_EQ(said(), "T [osl err] relay_comply:no dev:0x0102030405ABT [osl err] pwm_get_ch0:no "
                      "name:'nobody'\n\r");
}

// The kind is the caller's choice of operation: comply goes by the address
// alone and never reads the record's device type.
TEST_F(Operations, ComplyGoesByTheAddressNotTheRecordsType) {
    ASSERT_NO_FATAL_FAILURE(open(OSL_LOG_ACTORS, Ticks::ByHand));
    osl_record rec = report(RELAY, {0x00});
    forget();
    rec.payload[OSL_REC_TYPE] = OSL_DEV_DIMMER;
    EXPECT_EQ(osl_relay_comply(&rec), 0);
    EXPECT_EQ(said(), "T [osl comply] relay 'hall' ok\n\r");
    EXPECT_EQ(osl_dimmer_comply(&rec), -2);
    EXPECT_EQ(said(), "T [osl err] dimmer_comply:no dev:0xCBFD786BAA68");
}

// ---- gets ----------------------------------------------------------------------

TEST_F(Operations, GetsReadTheStateTheFramesReported) {
    ASSERT_NO_FATAL_FAILURE(open(OSL_LOG_ACTORS, Ticks::ByHand));
    using Get = int (*)(const char *);
    const Get relay_gets[] = {osl_relay_get_ch0, osl_relay_get_ch1, osl_relay_get_ch2,
                              osl_relay_get_ch3};
    const Get pwm_gets[] = {osl_pwm_get_ch0, osl_pwm_get_ch1, osl_pwm_get_ch2};
    auto relay_channels = [&] {
        std::array<int, 4> ch{};
        for (int i = 0; i < 4; i++)
            ch[static_cast<size_t>(i)] = relay_gets[i](RELAY.name);
        return ch;
    };
    auto pwm_levels = [&] {
        return std::array<int, 3>{pwm_gets[0](PWM.name), pwm_gets[1](PWM.name),
                                  pwm_gets[2](PWM.name)};
    };

    // Before the first frame everything reads 0.
    EXPECT_EQ(relay_channels(), (std::array<int, 4>{0, 0, 0, 0}));
    EXPECT_EQ(osl_dimmer_get(DIMMER.name), 0);
    EXPECT_EQ(pwm_levels(), (std::array<int, 3>{0, 0, 0}));

    report(RELAY, {0x04});
    forget();
    EXPECT_EQ(relay_channels(), (std::array<int, 4>{0, 0, 1, 0}));
    report(RELAY, {0x0B});
    forget();
    EXPECT_EQ(relay_channels(), (std::array<int, 4>{1, 1, 0, 1}));
    // A level above 100 reads as it came.
    report(DIMMER, {150});
    forget();
    EXPECT_EQ(osl_dimmer_get(DIMMER.name), 150);
    report(PWM, {7, 200, 0});
    forget();
    EXPECT_EQ(pwm_levels(), (std::array<int, 3>{7, 200, 0}));
    // Only the frames' own actors changed.
    EXPECT_EQ(osl_relay_get_ch3(RELAY_DECOY.name), 0);
    EXPECT_EQ(osl_dimmer_get(DIMMER_DECOY.name), 0);
    EXPECT_EQ(osl_pwm_get_ch1(PWM_DECOY.name), 0);

    // The gets read what was reported, not what is wanted.
    sim.status(Call::SendReq, hci::STATUS_COMMAND_DISALLOWED,
               -1); // no send completes; none has to wait for ticks
    EXPECT_EQ(osl_relay_on(RELAY.name, 0x04), -24);
    EXPECT_EQ(osl_dimmer_set(DIMMER.name, 10), -24);
    EXPECT_EQ(osl_pwm_set(PWM.name, 1, 2, 3), -24);
    forget();
    EXPECT_EQ(relay_channels(), (std::array<int, 4>{1, 1, 0, 1}));
    EXPECT_EQ(osl_dimmer_get(DIMMER.name), 150);
    EXPECT_EQ(pwm_levels(), (std::array<int, 3>{7, 200, 0}));
    EXPECT_EQ(said(), ""); // gets print nothing of their own
}

// ---- triggers ------------------------------------------------------------------

struct TriggerKind {
    const char *kind;
    int (*set)(const char *, uint32_t);
    int (*clear)(const char *);
    int (*fired)(const char *);
    const char *name;
    volatile uint32_t *(*trigger)(int index);
};

const TriggerKind trigger_kinds[] = {
    {"relay", osl_relay_set_trigger, osl_relay_clear_trigger, osl_relay_is_trigger, "hall",
     [](int i) { return &osl_relay_table[i].trigger; }},
    {"dimmer", osl_dimmer_set_trigger, osl_dimmer_clear_trigger, osl_dimmer_is_trigger, "lamp",
     [](int i) { return &osl_dimmer_table[i].trigger; }},
    {"pwm", osl_pwm_set_trigger, osl_pwm_clear_trigger, osl_pwm_is_trigger, "strip",
     [](int i) { return &osl_pwm_table[i].trigger; }},
};

void PrintTo(const TriggerKind &k, std::ostream *os) {
    *os << k.kind;
}

class Triggers : public Operations, public ::testing::WithParamInterface<TriggerKind> {
  protected:
    void SetUp() override {
        Operations::SetUp();
        ASSERT_NO_FATAL_FAILURE(open(OSL_LOG_ACTORS, Ticks::ByHand));
    }
    void TearDown() override {
        // The trigger operations print nothing on their normal paths.
        EXPECT_EQ(said(), "");
        Operations::TearDown();
    }
    const TriggerKind &k() const { return GetParam(); }
    uint32_t trigger() const { return *k().trigger(ACTOR_INDEX); }
};

TEST_P(Triggers, OneSecondFiresAfter99TicksAndIsReportedOnce) {
    EXPECT_EQ(k().set(k().name, 1), 0);
    EXPECT_EQ(trigger(), 100u);
    for (int ticks = 0; ticks < 99; ticks++) {
        ASSERT_EQ(k().fired(k().name), 0) << "after " << ticks << " ticks";
        tick();
    }
    EXPECT_EQ(trigger(), 1u);
    EXPECT_EQ(k().fired(k().name), 1);
    EXPECT_EQ(trigger(), 0u);
    EXPECT_EQ(k().fired(k().name), 0);
    tick(10);
    EXPECT_EQ(k().fired(k().name), 0);
    EXPECT_EQ(trigger(), 0u);
    EXPECT_EQ(*k().trigger(0), 0u); // the decoy of the same kind was never armed
}

TEST_P(Triggers, ArmingStoresSecondsInTicksUpToOneDay) {
    const std::pair<uint32_t, uint32_t> cases[] = {
        {0, 0},
        {1, 100},
        {86400, 8640000},
        {86401, 8640000},
        {42949673, 8640000}, // whose ticks would not fit in 32 bits
        {0xFFFFFFFF, 8640000},
    };
    for (const auto &[seconds, ticks] : cases) {
        SCOPED_TRACE(seconds);
        EXPECT_EQ(k().set(k().name, seconds), 0);
        EXPECT_EQ(trigger(), ticks);
    }
    // Zero seconds leaves the trigger idle: it never fires.
    EXPECT_EQ(k().set(k().name, 0), 0);
    tick(5);
    EXPECT_EQ(k().fired(k().name), 0);
    EXPECT_EQ(trigger(), 0u);
}

TEST_P(Triggers, ArmingAgainReplacesEvenAFiredTrigger) {
    EXPECT_EQ(k().set(k().name, 1), 0);
    tick(99);
    ASSERT_EQ(trigger(), 1u); // fired, not collected
    EXPECT_EQ(k().set(k().name, 2), 0);
    EXPECT_EQ(trigger(), 200u);
    EXPECT_EQ(k().fired(k().name), 0); // the fired state is gone
    tick(198);
    EXPECT_EQ(k().fired(k().name), 0);
    tick();
    EXPECT_EQ(k().fired(k().name), 1);
}

TEST_P(Triggers, ClearingStopsARunningOrFiredTrigger) {
    EXPECT_EQ(k().set(k().name, 5), 0);
    tick(3);
    EXPECT_EQ(k().clear(k().name), 0);
    EXPECT_EQ(trigger(), 0u);
    tick(600);
    EXPECT_EQ(k().fired(k().name), 0);

    EXPECT_EQ(k().set(k().name, 1), 0);
    tick(99);
    ASSERT_EQ(trigger(), 1u);
    EXPECT_EQ(k().clear(k().name), 0);
    EXPECT_EQ(k().fired(k().name), 0);
    EXPECT_EQ(k().clear(k().name), 0); // an idle trigger clears too
}

INSTANTIATE_TEST_SUITE_P(Kinds, Triggers, ::testing::ValuesIn(trigger_kinds),
                         [](const ::testing::TestParamInfo<TriggerKind> &case_info) {
                             return std::string(case_info.param.kind);
                         });

// ---- sends that fail -------------------------------------------------------------

// The set operations return the transmitter's result and print it in their
// line; `wanted` changes all the same, so a later comply sends it again.
struct FailedSetCase {
    const char *what;
    void (*arrange)(sim::Controller &);
    std::function<int()> call;
    int result;
    const char *line;
    std::function<bool()> wanted_now; // `wanted` holds the new state
    const Actor *target;
    std::array<uint8_t, 4> values; // payload bytes 12..15 of the command
};

const FailedSetCase failed_sets[] = {
    {"relay_on, data refused",
     [](sim::Controller &s) { s.status(Call::SendReq, hci::STATUS_COMMAND_DISALLOWED); },
     [] { return osl_relay_on("hall", 0x13); },
     -24,
     "T [osl send] relay_on 'hall' 0A->03 [-24]\n\r",
     [] { return relay().wanted == 0x03; },
     &RELAY,
     {0x83, 0, 0, 0}},
    {"relay_off, data request fails",
     [](sim::Controller &s) { s.fail(Call::SendReq, EIO); },
     [] { return osl_relay_off("hall", 0x01); },
     -22,
     "T [osl send] relay_off 'hall' 0A->02 [-22]\n\r",
     [] { return relay().wanted == 0x02; },
     &RELAY,
     {0x01, 0, 0, 0}},
    {"dimmer_set, parameters request fails",
     [](sim::Controller &s) { s.fail(Call::SendReq, EIO, 1, 1); },
     [] { return osl_dimmer_set("lamp", 150); },
     -26,
     "T [osl send] dimmer 'lamp' 33->100 [-26]\n\r",
     [] { return dimmer().wanted == 100; },
     &DIMMER,
     {100, 0, 0, 0}},
    {"pwm_set, parameters refused",
     [](sim::Controller &s) { s.status(Call::SendReq, 1, 1, 1); },
     [] { return osl_pwm_set("strip", 120, 50, 255); },
     -28,
     "T [osl send] pwm 'strip' 1,2,3->100,50,100 [-28]\n\r",
     [] { return pwm().wanted[0] == 100 && pwm().wanted[1] == 50 && pwm().wanted[2] == 100; },
     &PWM,
     {100, 50, 100, 0}},
};

TEST_F(Operations, FailedSendsAreReturnedAndLoggedAndTheWantedStateKept) {
    ASSERT_NO_FATAL_FAILURE(open(OSL_LOG_ACTORS, Ticks::ByHand));
    report(RELAY, {0x0A});
    report(DIMMER, {33});
    report(PWM, {1, 2, 3});
    for (const FailedSetCase &c : failed_sets) {
        SCOPED_TRACE(c.what);
        forget();
        c.arrange(sim);
        EXPECT_EQ(c.call(), c.result);
        EXPECT_EQ(said(), c.line);
        EXPECT_TRUE(c.wanted_now());
        EXPECT_EQ(sent(*c.target), c.values);
        EXPECT_EQ(osl_tx_busy, 0);
    }
}

// Comply folds a failed send into -6.
TEST_F(Operations, ComplyWhoseSendFailsGivesMinusSix) {
    ASSERT_NO_FATAL_FAILURE(open(OSL_LOG_ACTORS, Ticks::ByHand));
    osl_relay_table[ACTOR_INDEX].wanted = 0x05;
    osl_dimmer_table[ACTOR_INDEX].wanted = 40;
    osl_pwm_entry &p = osl_pwm_table[ACTOR_INDEX];
    p.wanted[0] = 1;
    p.wanted[1] = 2;
    p.wanted[2] = 3;

    osl_record rec = report(RELAY, {0x01});
    forget();
    sim.status(Call::SendReq, hci::STATUS_COMMAND_DISALLOWED);
    EXPECT_EQ(osl_relay_comply(&rec), -6);
    EXPECT_EQ(said(), "T [osl relay comply] send 'hall' 01->05 [-24]\n\r");
    EXPECT_EQ(sent(RELAY), (std::array<uint8_t, 4>{0xC5, 0, 0, 0}));

    rec = report(DIMMER, {70});
    forget();
    sim.fail(Call::SendReq, EIO);
    EXPECT_EQ(osl_dimmer_comply(&rec), -6);
    EXPECT_EQ(said(), "T [osl dimmer comply] send 'lamp' 70->40 [-22]\n\r");
    EXPECT_EQ(sent(DIMMER), (std::array<uint8_t, 4>{40, 0, 0, 0}));

    rec = report(PWM, {1, 2, 4});
    forget();
    sim.status(Call::SendReq, 0x12, 1, 1); // invalid parameters
    EXPECT_EQ(osl_pwm_comply(&rec), -6);
    EXPECT_EQ(said(), "T [osl pwm comply] send 'strip' 1,2,4->1,2,3 [-28]\n\r");
    EXPECT_EQ(sent(PWM), (std::array<uint8_t, 4>{1, 2, 3, 0}));
    EXPECT_EQ(osl_tx_busy, 0);
}

// ---- sends that go out (the real timer paces the advertising window) ---------------

struct RelayCase {
    const char *what;
    bool on;
    uint8_t wanted_before;
    uint8_t mask;
    uint8_t command;
    uint8_t wanted_after;
};

const RelayCase relay_cases[] = {
    {"on keeps only channels 0..3 of the mask", true, 0x00, 0x13, 0x83, 0x03},
    {"on adds to the wanted channels", true, 0x02, 0x05, 0x85, 0x07},
    {"on with no channel", true, 0x05, 0x00, 0x80, 0x05},
    {"off with every bit clears channels 0..3", false, 0x0F, 0xFF, 0x0F, 0x00},
    {"off clears only the mask's channels", false, 0x07, 0x02, 0x02, 0x05},
    {"off with no channel", false, 0x05, 0x00, 0x00, 0x05},
};

TEST_F(Operations, RelayOnAndOffSendTheirCommandBytes) {
    ASSERT_NO_FATAL_FAILURE(open(OSL_LOG_ACTORS, Ticks::Real));
    report(RELAY, {0x0A});
    for (const RelayCase &c : relay_cases) {
        SCOPED_TRACE(c.what);
        osl_relay_table[ACTOR_INDEX].wanted = c.wanted_before;
        forget();
        EXPECT_EQ(c.on ? osl_relay_on(RELAY.name, c.mask) : osl_relay_off(RELAY.name, c.mask), 0);
        EXPECT_EQ(relay().wanted, c.wanted_after);
        EXPECT_EQ(sent(RELAY), (std::array<uint8_t, 4>{c.command, 0, 0, 0}));
        char line[64];
        snprintf(line, sizeof line, "T [osl send] %s 'hall' 0A->%02X [0]\n\r",
                 c.on ? "relay_on" : "relay_off", c.wanted_after);
        EXPECT_EQ(said(), line);
    }
    EXPECT_EQ(osl_relay_table[0].wanted, 0); // the decoy
}

struct LevelCase {
    const char *what;
    const Actor *target;
    std::array<uint8_t, 3> given;
    std::array<uint8_t, 3> kept; // wanted, and what is sent
    const char *line;
};

const LevelCase level_cases[] = {
    {"dimmer above 100", &DIMMER, {150}, {100}, "T [osl send] dimmer 'lamp' 33->100 [0]\n\r"},
    {"dimmer just above 100", &DIMMER, {101}, {100}, "T [osl send] dimmer 'lamp' 33->100 [0]\n\r"},
    {"dimmer at 100", &DIMMER, {100}, {100}, "T [osl send] dimmer 'lamp' 33->100 [0]\n\r"},
    {"dimmer at 0", &DIMMER, {0}, {0}, "T [osl send] dimmer 'lamp' 33->0 [0]\n\r"},
    {"dimmer at 55", &DIMMER, {55}, {55}, "T [osl send] dimmer 'lamp' 33->55 [0]\n\r"},
    {"pwm, each channel cut",
     &PWM,
     {120, 50, 255},
     {100, 50, 100},
     "T [osl send] pwm 'strip' 1,2,3->100,50,100 [0]\n\r"},
    {"pwm within range",
     &PWM,
     {10, 20, 30},
     {10, 20, 30},
     "T [osl send] pwm 'strip' 1,2,3->10,20,30 [0]\n\r"},
    {"pwm at the edges",
     &PWM,
     {101, 100, 0},
     {100, 100, 0},
     "T [osl send] pwm 'strip' 1,2,3->100,100,0 [0]\n\r"},
};

TEST_F(Operations, DimmerAndPwmLevelsAreCutTo100) {
    ASSERT_NO_FATAL_FAILURE(open(OSL_LOG_ACTORS, Ticks::Real));
    report(DIMMER, {33});
    report(PWM, {1, 2, 3});
    for (const LevelCase &c : level_cases) {
        SCOPED_TRACE(c.what);
        forget();
        std::array<uint8_t, 4> expected = {c.kept[0], 0, 0, 0};
        if (c.target == &DIMMER) {
            EXPECT_EQ(osl_dimmer_set(DIMMER.name, c.given[0]), 0);
            EXPECT_EQ(dimmer().wanted, c.kept[0]);
        } else {
            EXPECT_EQ(osl_pwm_set(PWM.name, c.given[0], c.given[1], c.given[2]), 0);
            EXPECT_EQ((std::array<uint8_t, 3>{pwm().wanted[0], pwm().wanted[1], pwm().wanted[2]}),
                      c.kept);
            expected = {c.kept[0], c.kept[1], c.kept[2], 0};
        }
        EXPECT_EQ(sent(*c.target), expected);
        EXPECT_EQ(said(), c.line);
    }
}

// Comply with a record: rows give the wanted state, what the actor's frame
// reports, and what the record handed to comply holds when the test changes
// it after reading (comply judges the record, not the stored state).
struct ComplyCase {
    const char *what;
    const Actor *actor;
    std::array<uint8_t, 3> wanted;
    std::array<uint8_t, 3> reported;
    bool record_changed;
    std::array<uint8_t, 3> record;
    int result;
    std::array<uint8_t, 3> sent; // value bytes when result is -4
    const char *line;
};

const ComplyCase comply_cases[] = {
    {"relay in the wanted state",
     &RELAY,
     {0x05},
     {0x05},
     false,
     {},
     0,
     {},
     "T [osl comply] relay 'hall' ok\n\r"},
    {"relay in another state",
     &RELAY,
     {0x05},
     {0x01},
     false,
     {},
     -4,
     {0xC5},
     "T [osl relay comply] send 'hall' 01->05 [0]\n\r"},
    {"relay never switched",
     &RELAY,
     {0x00},
     {0x03},
     false,
     {},
     -4,
     {0xC0},
     "T [osl relay comply] send 'hall' 03->00 [0]\n\r"},
    {"relay, all eight bits compared",
     &RELAY,
     {0x05},
     {0x85},
     false,
     {},
     -4,
     {0xC5},
     "T [osl relay comply] send 'hall' 85->05 [0]\n\r"},
    // The relay's line shows the stored report, the others' the record.
    {"relay record differs from the stored report",
     &RELAY,
     {0x05},
     {0x05},
     true,
     {0x01},
     -4,
     {0xC5},
     "T [osl relay comply] send 'hall' 05->05 [0]\n\r"},
    {"dimmer at the wanted level",
     &DIMMER,
     {40},
     {40},
     false,
     {},
     0,
     {},
     "T [osl comply] dimmer 'lamp' ok\n\r"},
    {"dimmer at another level",
     &DIMMER,
     {40},
     {70},
     false,
     {},
     -4,
     {40},
     "T [osl dimmer comply] send 'lamp' 70->40 [0]\n\r"},
    {"dimmer record differs from the stored report",
     &DIMMER,
     {40},
     {40},
     true,
     {71},
     -4,
     {40},
     "T [osl dimmer comply] send 'lamp' 71->40 [0]\n\r"},
    {"pwm at exactly the wanted levels",
     &PWM,
     {100, 50, 100},
     {100, 50, 100},
     false,
     {},
     0,
     {},
     "T [osl comply] pwm 'strip' ok\n\r"},
    {"pwm, last channel off by one",
     &PWM,
     {100, 50, 100},
     {100, 50, 99},
     false,
     {},
     -4,
     {100, 50, 100},
     "T [osl pwm comply] send 'strip' 100,50,99->100,50,100 [0]\n\r"},
    {"pwm, first channel off by one",
     &PWM,
     {100, 50, 100},
     {99, 50, 100},
     false,
     {},
     -4,
     {100, 50, 100},
     "T [osl pwm comply] send 'strip' 99,50,100->100,50,100 [0]\n\r"},
    {"pwm record differs from the stored report",
     &PWM,
     {100, 50, 100},
     {100, 50, 100},
     true,
     {100, 51, 100},
     -4,
     {100, 50, 100},
     "T [osl pwm comply] send 'strip' 100,51,100->100,50,100 [0]\n\r"},
};

void set_wanted(const Actor &a, const std::array<uint8_t, 3> &w) {
    if (a.type == OSL_DEV_RELAY)
        osl_relay_table[ACTOR_INDEX].wanted = w[0];
    else if (a.type == OSL_DEV_DIMMER)
        osl_dimmer_table[ACTOR_INDEX].wanted = w[0];
    else
        memcpy(osl_pwm_table[ACTOR_INDEX].wanted, w.data(), 3);
}

int comply(const Actor &a, const osl_record *rec) {
    if (a.type == OSL_DEV_RELAY)
        return osl_relay_comply(rec);
    if (a.type == OSL_DEV_DIMMER)
        return osl_dimmer_comply(rec);
    return osl_pwm_comply(rec);
}

TEST_F(Operations, ComplySendsTheWholeWantedStateWhenTheRecordDiffers) {
    ASSERT_NO_FATAL_FAILURE(open(OSL_LOG_ACTORS, Ticks::Real));
    for (const ComplyCase &c : comply_cases) {
        SCOPED_TRACE(c.what);
        set_wanted(*c.actor, c.wanted);
        osl_record rec = report(*c.actor, c.reported);
        if (c.record_changed)
            memcpy(rec.payload + state_at(c.actor->type), c.record.data(),
                   static_cast<size_t>(channels_of(c.actor->type)));
        forget();
        EXPECT_EQ(comply(*c.actor, &rec), c.result);
        EXPECT_EQ(said(), c.line);
        if (c.result == 0) {
            EXPECT_TRUE(sim.calls().empty());
        } else {
            std::array<uint8_t, 4> expected = {c.sent[0], c.sent[1], c.sent[2], 0};
            EXPECT_EQ(sent(*c.actor), expected);
        }
    }
}

// The road of a command and its mending, as an application walks it: set,
// the actor's frame, comply.
TEST_F(Operations, SetThenComplyWithTheActorsNextFrames) {
    ASSERT_NO_FATAL_FAILURE(open(0, Ticks::Real));
    EXPECT_EQ(osl_relay_on(RELAY.name, 0x05), 0);
    osl_record rec = report(RELAY, {0x05});
    forget();
    EXPECT_EQ(osl_relay_comply(&rec), 0);
    EXPECT_TRUE(sim.calls().empty());
    rec = report(RELAY, {0x01}); // one channel fell back
    forget();
    EXPECT_EQ(osl_relay_comply(&rec), -4);
    EXPECT_EQ(sent(RELAY), (std::array<uint8_t, 4>{0xC5, 0, 0, 0}));

    EXPECT_EQ(osl_pwm_set(PWM.name, 120, 50, 255), 0);
    rec = report(PWM, {100, 50, 100});
    forget();
    EXPECT_EQ(osl_pwm_comply(&rec), 0);
    EXPECT_TRUE(sim.calls().empty());

    EXPECT_EQ(osl_dimmer_set(DIMMER.name, 150), 0);
    rec = report(DIMMER, {100});
    forget();
    EXPECT_EQ(osl_dimmer_comply(&rec), 0);
    rec = report(DIMMER, {150});
    forget();
    EXPECT_EQ(osl_dimmer_comply(&rec), -4);
    EXPECT_EQ(sent(DIMMER), (std::array<uint8_t, 4>{100, 0, 0, 0}));
    // Nothing of this is printed without OSL_LOG_ACTORS.
    EXPECT_EQ(said(), "");
}

} // namespace
} // namespace osl::test
