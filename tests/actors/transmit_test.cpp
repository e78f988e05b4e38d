// The command transmitter: the advertising data and parameters it loads, in
// which order and on which socket; the sealing, opened with the tests' own
// cipher; the busy flag that keeps the tick off the socket while the 10 ms
// timer keeps counting; the transmit lamp; every failure of the exchange; and
// that without an open link nothing is sent at all.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <functional>
#include <ostream>

#include "actor_fixture.h"
#include "actors/transmit.h"
#include "sim/hci_sim.h"
#include "support/child.h"

namespace osl::test {
namespace {

using namespace std::chrono_literals;
using sim::Call;

const std::string DATA_REQUEST = "send_req ogf=0x08 ocf=0x0008 clen=32 timeout=1000 sock=1001";
const std::string PARAMS_REQUEST = "send_req ogf=0x08 ocf=0x0006 clen=15 timeout=1000 sock=1001";
const std::string ADVERTISE_ON = "adv_enable enable=1 timeout=1000 sock=1001";
const std::string ADVERTISE_OFF = "adv_enable enable=0 timeout=1000 sock=1001";
const std::vector<std::string> FULL_SEND = {DATA_REQUEST, PARAMS_REQUEST, ADVERTISE_ON,
                                            ADVERTISE_OFF};

const Bytes ADV_PARAMETERS = {0x20, 0x00, 0x25, 0x00, 0x00, 0x00, 0x00, 0x00,
                              0x00, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00};

uint32_t time_of(const Block &plain) {
    return static_cast<uint32_t>(plain[0]) | static_cast<uint32_t>(plain[1]) << 8 |
           static_cast<uint32_t>(plain[2]) << 16 | static_cast<uint32_t>(plain[3]) << 24;
}

// A flood sensor's frame, told apart from others by its time field.
Bytes flood_report(uint32_t wt) {
    return sensor_report(addr_from_text("A1B2C3D4E5F6"),
                         DeviceBlock{wt, OSL_DEV_FLOOD, 71, 0, {}}.bytes(), -40);
}

class Transmit : public ActorFixture {};

// ---- a command as it goes out ----------------------------------------------------

struct LayoutCase {
    const char *what;
    const Actor *target;
    const Actor *decoy;            // same kind, index 0, another key
    std::array<uint8_t, 3> values; // what the caller's value pointer points at
    std::array<uint8_t, 4> sent;   // payload bytes 12..15 before sealing
};

const LayoutCase layouts[] = {
    {"relay", &RELAY, &RELAY_DECOY, {0x83, 0x5A, 0x5A}, {0x83, 0x00, 0x00, 0x00}},
    // One value byte, whatever lies after it in the caller's memory.
    {"dimmer", &DIMMER, &DIMMER_DECOY, {55, 0xAA, 0xBB}, {0x37, 0x00, 0x00, 0x00}},
    {"pwm", &PWM, &PWM_DECOY, {10, 20, 30}, {0x0A, 0x14, 0x1E, 0x00}},
};

void PrintTo(const LayoutCase &c, std::ostream *os) {
    *os << c.what;
}

class TransmitLayout : public Transmit, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(TransmitLayout, LoadsDataThenParametersOnTheCommandSocketThenAdvertises) {
    const LayoutCase &c = GetParam();
    ASSERT_NO_FATAL_FAILURE(open(0, Ticks::Real));
    const time_t before = time(nullptr);
    EXPECT_EQ(osl_send_command(ACTOR_INDEX, c.values.data(), c.target->type), 0);
    const time_t after = time(nullptr);

    EXPECT_EQ(sim.calls(), FULL_SEND);
    ASSERT_EQ(sim.commands().size(), 2u);
    for (const sim::Command &cmd : sim.commands())
        EXPECT_EQ(cmd.sock, COMMAND_SOCKET);
    EXPECT_EQ(sim.commands()[1].params, ADV_PARAMETERS);

    // LE Set Advertising Data: its length, then the flags and manufacturer
    // headers of the standard layout, then the sealed payload.
    const Bytes &data = sim.commands()[0].params;
    ASSERT_EQ(data.size(), 32u);
    EXPECT_EQ(data[0], 31);
    EXPECT_EQ(Bytes(data.begin() + 1, data.begin() + 8),
              (Bytes{0x02, 0x01, 0x04, 0x1B, 0xFF, 0xFF, 0xFF}));

    const Opened o = open_command(data, key_from_text(c.target->key));
    EXPECT_TRUE(o.tag_ok);
    EXPECT_EQ(o.type_byte, 0); // payload byte 16, outside the seal
    EXPECT_GE(time_of(o.plain), static_cast<uint32_t>(before));
    EXPECT_LE(time_of(o.plain), static_cast<uint32_t>(after));
    EXPECT_EQ(o.plain[4], 6); // the command code
    const Addr target = addr_from_text(c.target->addr);
    EXPECT_EQ(Bytes(o.plain.begin() + 5, o.plain.begin() + 11),
              Bytes(target.begin(), target.end()));
    EXPECT_EQ(o.plain[11], c.target->type);
    EXPECT_EQ((std::array<uint8_t, 4>{o.plain[12], o.plain[13], o.plain[14], o.plain[15]}), c.sent);
    // Sealed with the target's own key: another actor's key does not open it.
    EXPECT_FALSE(open_command(data, key_from_text(c.decoy->key)).tag_ok);

    // Each request waits for the command's completion with a one-byte reply,
    // with the busy flag set; the lamp is lit before advertising starts and
    // stays lit until it has stopped.
    ASSERT_EQ(moments().size(), 4u);
    const char *calls[] = {"send_req ocf=0x0008", "send_req ocf=0x0006", "adv_enable 1",
                           "adv_enable 0"};
    const char *lamp[] = {"10", "10", "101", "101"};
    for (size_t i = 0; i < 4; i++) {
        SCOPED_TRACE(calls[i]);
        EXPECT_EQ(moments()[i].call, calls[i]);
        EXPECT_EQ(moments()[i].busy, 1);
        EXPECT_EQ(moments()[i].tx_lamp, lamp[i]);
    }
    for (size_t i = 0; i < 2; i++) {
        EXPECT_EQ(moments()[i].event, 0);
        EXPECT_EQ(moments()[i].rlen, 1);
    }
    EXPECT_EQ(osl_tx_busy, 0);
    EXPECT_EQ(tx_lamp(), "1010");
    EXPECT_FALSE(sim.advertising());
}

INSTANTIATE_TEST_SUITE_P(Kinds, TransmitLayout, ::testing::ValuesIn(layouts),
                         [](const ::testing::TestParamInfo<LayoutCase> &case_info) {
                             return std::string(case_info.param.what);
                         });

TEST_F(Transmit, SameCommandInOneSecondIsTheSameDataAndChangesWithTheNext) {
    ASSERT_NO_FATAL_FAILURE(open(0, Ticks::Real));
    const Key key = key_from_text(DIMMER.key);
    const uint8_t level = 55;
    auto send = [&] {
        forget();
        EXPECT_EQ(osl_send_command(ACTOR_INDEX, &level, OSL_DEV_DIMMER), 0);
        std::vector<Bytes> blocks = data_blocks();
        EXPECT_EQ(blocks.size(), 1u);
        return blocks.empty() ? Bytes{} : blocks[0];
    };

    // Two sends now and then straddle a second; then the pair is taken again.
    Bytes first, second;
    for (int attempt = 0; attempt < 5; attempt++) {
        first = send();
        second = send();
        if (time_of(open_command(first, key).plain) == time_of(open_command(second, key).plain))
            break;
    }
    const uint32_t t = time_of(open_command(second, key).plain);
    ASSERT_EQ(time_of(open_command(first, key).plain), t);
    EXPECT_EQ(first, second);

    ASSERT_TRUE(wait_until([&] { return time(nullptr) > static_cast<time_t>(t); }, 5s));
    const Bytes later = send();
    const Opened a = open_command(second, key);
    const Opened b = open_command(later, key);
    EXPECT_TRUE(b.tag_ok);
    EXPECT_GT(time_of(b.plain), t);
    // Only the time differs before sealing, yet the whole sealed block and
    // the tag change: a byte of it stays the same only by chance (1 in 256).
    EXPECT_EQ(Bytes(a.plain.begin() + 4, a.plain.end()), Bytes(b.plain.begin() + 4, b.plain.end()));
    int changed = 0;
    for (size_t i = 0; i < a.sealed.size(); i++)
        changed += a.sealed[i] != b.sealed[i];
    EXPECT_GE(changed, 8);
    EXPECT_NE(a.tag, b.tag);
}

// ---- what is not sent ------------------------------------------------------------

TEST_F(Transmit, TypesOtherThanTheActorsAreRefusedBeforeAnythingHappens) {
    ASSERT_NO_FATAL_FAILURE(open(0, Ticks::ByHand));
    const uint8_t values[3] = {1, 2, 3};
    for (int type : {0, OSL_DEV_METEO, OSL_DEV_MAGNETO, 19, 23, 254, 255}) {
        SCOPED_TRACE(type);
        EXPECT_EQ(osl_send_command(ACTOR_INDEX, values, static_cast<uint8_t>(type)), -50);
        EXPECT_TRUE(sim.calls().empty());
        EXPECT_TRUE(moments().empty()) << "busy flag or lamp touched";
        EXPECT_EQ(osl_tx_busy, 0);
        EXPECT_EQ(tx_lamp(), "10");
    }
}

// One failure of the exchange per row: the result, errno, the requests that
// went out, and that advertising and the lamp stayed off.
struct FailureCase {
    const char *what;
    void (*arrange)(sim::Controller &);
    int result;
    int err;
    std::vector<std::string> calls;
};

const FailureCase failures[] = {
    {"data_request_fails",
     [](sim::Controller &s) { s.fail(Call::SendReq, ENETDOWN); },
     -22,
     ENETDOWN,
     {DATA_REQUEST}},
    {"data_refused",
     [](sim::Controller &s) { s.status(Call::SendReq, hci::STATUS_COMMAND_DISALLOWED); },
     -24,
     EIO,
     {DATA_REQUEST}},
    {"parameters_request_fails",
     [](sim::Controller &s) { s.fail(Call::SendReq, EHOSTUNREACH, 1, 1); },
     -26,
     EHOSTUNREACH,
     {DATA_REQUEST, PARAMS_REQUEST}},
    // Refused for another reason than advertising (invalid parameters): no
    // second try.
    {"parameters_refused",
     [](sim::Controller &s) { s.status(Call::SendReq, 0x12, 1, 1); },
     -28,
     EIO,
     {DATA_REQUEST, PARAMS_REQUEST}},
    // Refused while advertising, and again once advertising was stopped.
    {"parameters_disallowed_twice",
     [](sim::Controller &s) { s.status(Call::SendReq, hci::STATUS_COMMAND_DISALLOWED, 2, 1); },
     -28,
     EIO,
     {DATA_REQUEST, PARAMS_REQUEST, ADVERTISE_OFF, PARAMS_REQUEST}},
};

void PrintTo(const FailureCase &c, std::ostream *os) {
    *os << c.what;
}

class TransmitFailure : public Transmit, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(TransmitFailure, EndsAtOnceWithItsResultBusyFlagClearedLampUntouched) {
    const FailureCase &c = GetParam();
    // A failure returns before the advertising window: no tick is needed.
    ASSERT_NO_FATAL_FAILURE(open(0, Ticks::ByHand));
    c.arrange(sim);
    const uint8_t values[3] = {10, 20, 30};
    errno = 0;
    const int result = osl_send_command(ACTOR_INDEX, values, OSL_DEV_PWM);
    const int err = errno;
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(err, c.err);
    EXPECT_EQ(sim.calls(), c.calls);
    for (const Moment &m : moments())
        EXPECT_EQ(m.busy, 1) << m.call;
    EXPECT_EQ(osl_tx_busy, 0);
    EXPECT_EQ(tx_lamp(), "10");
    EXPECT_FALSE(sim.advertising());
    // The command itself was complete when it went out, so after a failure
    // of the parameters the controller holds the new advertising data.
    const Opened o = sent_to(PWM);
    EXPECT_EQ(o.plain[12], 10);
    EXPECT_EQ(o.plain[14], 30);

    // Nothing is left behind: the next send goes through whole.
    forget();
    raise(SIGINT); // no ticks here: the advertising window closes at once
    EXPECT_EQ(osl_send_command(ACTOR_INDEX, values, OSL_DEV_PWM), 0);
    EXPECT_EQ(sim.calls(), FULL_SEND);
}

INSTANTIATE_TEST_SUITE_P(Exchange, TransmitFailure, ::testing::ValuesIn(failures),
                         [](const ::testing::TestParamInfo<FailureCase> &case_info) {
                             return std::string(case_info.param.what);
                         });

// A program that ended inside its advertising window (killed, crashed)
// leaves the controller advertising its last command, and a controller
// refuses advertising parameters while it advertises. The next send stops
// that advertising and loads the parameters once more.
TEST_F(Transmit, AdvertisingLeftOnByAnEarlierProgramIsStoppedAndTheCommandGoesOut) {
    ASSERT_NO_FATAL_FAILURE(open(0, Ticks::Real));
    sim.set_advertising(true);
    const uint8_t level = 55;
    EXPECT_EQ(osl_send_command(ACTOR_INDEX, &level, OSL_DEV_DIMMER), 0);
    EXPECT_EQ(sim.calls(), (std::vector<std::string>{DATA_REQUEST, PARAMS_REQUEST, ADVERTISE_OFF,
                                                     PARAMS_REQUEST, ADVERTISE_ON, ADVERTISE_OFF}));
    EXPECT_EQ(sim.commands().back().params, ADV_PARAMETERS);
    EXPECT_EQ(sent_to(DIMMER).plain[12], level);
    EXPECT_FALSE(sim.advertising());
    EXPECT_EQ(osl_tx_busy, 0);
    EXPECT_EQ(tx_lamp(), "1010");
}

// Without an open link there is no socket to send on: the send fails at
// once and the controller sees no call at all, whatever the socket fields
// still hold.
enum class NoLink {
    BeforeOpen,
    NoAdapter,
    SocketRefused,
    SecondBindRefused,
    IoctlRefused,
    AfterClose
};

struct NoLinkCase {
    const char *what;
    NoLink how;
};

const NoLinkCase no_links[] = {
    {"before_open", NoLink::BeforeOpen},
    {"open_found_no_adapter", NoLink::NoAdapter},
    {"open_got_no_socket", NoLink::SocketRefused},
    {"open_could_not_bind_the_command_socket", NoLink::SecondBindRefused},
    {"open_could_not_set_non_blocking", NoLink::IoctlRefused},
    {"after_close", NoLink::AfterClose},
};

void PrintTo(const NoLinkCase &c, std::ostream *os) {
    *os << c.what;
}

class TransmitNoLink : public Transmit, public ::testing::WithParamInterface<NoLinkCase> {};

TEST_P(TransmitNoLink, SendFailsAtOnceWithoutTouchingAnyDescriptor) {
    ASSERT_NO_FATAL_FAILURE(register_actors());
    osl_timer = &sim::hand_timer;
    osl_hci = spy_port();
    switch (GetParam().how) {
    case NoLink::BeforeOpen:
        break;
    case NoLink::NoAdapter:
        sim.present = false;
        ASSERT_EQ(osl_bt_open(0, 0, 0, 0), 2);
        break;
    case NoLink::SocketRefused:
        sim.fail(Call::Socket, EMFILE);
        ASSERT_EQ(osl_bt_open(0, 0, 0, 0), 4);
        break;
    case NoLink::SecondBindRefused:
        sim.fail(Call::Bind, EADDRNOTAVAIL, 1, 1);
        ASSERT_EQ(osl_bt_open(0, 0, 0, 0), 6);
        break;
    case NoLink::IoctlRefused:
        sim.fail(Call::Ioctl, EINVAL);
        ASSERT_EQ(osl_bt_open(0, 0, 0, 0), 8);
        break;
    case NoLink::AfterClose:
        ASSERT_EQ(osl_bt_open(0, 0, 0, 0), 0);
        osl_bt_close();
        break;
    }
    EXPECT_EQ(sim.open_sockets(), 0);
    sim.clear_record();
    moments().clear();
    const uint32_t reads = sim.reads();

    const uint8_t level = 40;
    EXPECT_EQ(osl_send_command(ACTOR_INDEX, &level, OSL_DEV_DIMMER), -22);
    EXPECT_EQ(osl_relay_on(RELAY.name, 0x01), -22);
    EXPECT_EQ(osl_relay_off(RELAY.name, 0x01), -22);
    EXPECT_EQ(osl_dimmer_set(DIMMER.name, 40), -22);
    EXPECT_EQ(osl_pwm_set(PWM.name, 1, 2, 3), -22);
    EXPECT_TRUE(sim.calls().empty());
    EXPECT_TRUE(sim.commands().empty());
    EXPECT_TRUE(moments().empty());
    EXPECT_EQ(sim.reads(), reads);
    EXPECT_EQ(osl_tx_busy, 0);
}

INSTANTIATE_TEST_SUITE_P(States, TransmitNoLink, ::testing::ValuesIn(no_links),
                         [](const ::testing::TestParamInfo<NoLinkCase> &case_info) {
                             return std::string(case_info.param.what);
                         });

// An open that failed after the link was made leaves no tick running; the
// send still goes out and its advertising window still ends, counted by the
// sleep itself (a send there used to wait for ticks that never came).
TEST_F(Transmit, SendAfterAnOpenThatStartedNoTickStillEnds) {
    struct Case {
        const char *what;
        std::function<void()> arrange;
        int open_code;
    };
    const Case cases[] = {
        {"scan parameters refused twice",
         [this] { sim.status(Call::ScanParams, hci::STATUS_COMMAND_DISALLOWED, 2); },
         OSL_OPEN_SCAN_PARAMS},
        {"no timer", [] { osl_timer = &sim::timer_create_fails; }, OSL_OPEN_TIMER},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_TRUE(osl::test::passes_in_child([&] {
            register_actors();
            osl_timer = &osl_timer_posix;
            c.arrange();
            if (osl_bt_open(0, 0, 0, 0) != c.open_code)
                return false;
            const int sent = osl_relay_on(RELAY.name, 0x01);
            return sent == 0 && osl_tx_busy == 0 && !sim.advertising();
        }));
    }
}

// ---- the advertising window ------------------------------------------------------

TEST_F(Transmit, AfterAStopRequestAdvertisingIsSwitchedOnAndStraightOff) {
    ASSERT_NO_FATAL_FAILURE(open(0, Ticks::ByHand));
    raise(SIGINT);
    ASSERT_EQ(osl_stop_flag, OSL_STOP_REQUESTED);
    const uint8_t command = 0x81;
    // No tick runs here, so the send returns only if the window closes at once.
    EXPECT_EQ(osl_send_command(ACTOR_INDEX, &command, OSL_DEV_RELAY), 0);
    EXPECT_EQ(sim.calls(), FULL_SEND);
    EXPECT_EQ(osl_sleep_countdown, 10); // the window's ticks, none counted
    EXPECT_EQ(tx_lamp(), "1010");
    EXPECT_EQ(osl_tx_busy, 0);
    EXPECT_FALSE(sim.advertising());
    EXPECT_EQ(sent_to(RELAY).plain[12], 0x81);
}

TEST_F(Transmit, TickKeepsOffTheSocketDuringTheWindowWhileItsCountdownsRun) {
    ASSERT_NO_FATAL_FAILURE(open(0, Ticks::Real));
    ASSERT_EQ(osl_relay_set_trigger(RELAY.name, 60), 0); // shows the ticks running
    sim.on_advertise = [&] { sim.deliver(flood_report(7)); };
    const uint8_t level = 20;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(osl_send_command(ACTOR_INDEX, &level, OSL_DEV_DIMMER), 0);
    const auto took = std::chrono::steady_clock::now() - start;
    sim.on_advertise = nullptr;

    ASSERT_EQ(moments().size(), 4u);
    const Moment &on = moments()[2];
    const Moment &off = moments()[3];
    ASSERT_EQ(on.call, "adv_enable 1");
    ASSERT_EQ(off.call, "adv_enable 0");
    EXPECT_EQ(off.busy, 1);
    // The report heard during the window still waits on the scanning socket
    // when the window ends: no tick read anything meanwhile ...
    EXPECT_EQ(off.scan_pending, 1u);
    EXPECT_EQ(off.reads, on.reads);
    // ... yet the ticks ran: the sleep counted its 10 ticks down, the
    // trigger went down with them.
    EXPECT_GE(on.relay_trigger - off.relay_trigger, 10u);
    EXPECT_GE(took, 90ms);
    EXPECT_EQ(osl_tx_busy, 0);

    // Once the window is over the tick reads the report.
    osl_record rec;
    ASSERT_TRUE(wait_until([&] { return osl_bt_read(&rec) == OSL_DEV_FLOOD; }));
    EXPECT_EQ(time_of(Block{rec.payload[0], rec.payload[1], rec.payload[2], rec.payload[3]}), 7u);
    EXPECT_EQ(sim.pending(), 0u);
}

// With one socket for scanning and commands, the request that ends the
// window reads the socket's queue for its answer and throws away the
// report heard meanwhile. The command socket of its own keeps it.
struct SocketCase {
    const char *what;
    bool shared;
    std::vector<uint32_t> heard; // time fields of the flood records read
};

const SocketCase socket_cases[] = {
    {"one_socket_loses_the_report", true, {2}},
    {"two_sockets_keep_it", false, {1, 2}},
};

void PrintTo(const SocketCase &c, std::ostream *os) {
    *os << c.what;
}

class TransmitSockets : public Transmit, public ::testing::WithParamInterface<SocketCase> {};

TEST_P(TransmitSockets, ReportDuringTheWindow) {
    const SocketCase &c = GetParam();
    ASSERT_NO_FATAL_FAILURE(open(0, Ticks::Real));
    if (c.shared)
        osl_adapter.cmd_sock = osl_adapter.sock;
    sim.on_advertise = [&] { sim.deliver(flood_report(1)); };
    const uint8_t level = 20;
    const int sent = osl_send_command(ACTOR_INDEX, &level, OSL_DEV_DIMMER);
    sim.on_advertise = nullptr;
    osl_adapter.cmd_sock = COMMAND_SOCKET; // close must find both sockets
    EXPECT_EQ(sent, 0);
    ASSERT_EQ(sim.commands().size(), 2u);
    EXPECT_EQ(sim.commands()[0].sock, c.shared ? SCAN_SOCKET : COMMAND_SOCKET);

    // A second report marks the end: whatever of the first survived is read before it.
    sim.deliver(flood_report(2));
    std::vector<uint32_t> heard;
    osl_record rec;
    ASSERT_TRUE(wait_until([&] {
        while (osl_bt_read(&rec) == OSL_DEV_FLOOD)
            heard.push_back(
                time_of(Block{rec.payload[0], rec.payload[1], rec.payload[2], rec.payload[3]}));
        return !heard.empty() && heard.back() == 2;
    }));
    EXPECT_EQ(heard, c.heard);
}

INSTANTIATE_TEST_SUITE_P(Sockets, TransmitSockets, ::testing::ValuesIn(socket_cases),
                         [](const ::testing::TestParamInfo<SocketCase> &case_info) {
                             return std::string(case_info.param.what);
                         });

} // namespace
} // namespace osl::test
