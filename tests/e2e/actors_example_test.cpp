// The actors example, end to end in one process with the real 10 ms timer:
// its commands travel through the library's transmitter to the virtual
// kit's actors, their sealed reports come back through the decoder, and the
// comply operations keep them in the wanted state when a command is lost or
// an actor is switched behind the library's back.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

#include "actors.h"
#include "osl.h"
#include "sim/virtkit/in_process.h"
#include "support/capture.h"
#include "support/lib_fixture.h"

namespace osl::test {
namespace {

using virtkit::Kit;

// Rounds of the kit are 2.5 s; a command, the report that shows it and the
// comply that follows fit in two. The deadline allows for a loaded machine.
constexpr auto DEADLINE = std::chrono::seconds(60);

class ActorsExampleTest : public LibFixture {
  protected:
    void SetUp() override {
        LibFixture::SetUp();
        on_air.start();
    }
    void TearDown() override {
        out.stop();
        on_air.stop();
        LibFixture::TearDown();
    }

    // Runs the example's loop until cond holds; false at the deadline.
    bool run_until(const std::function<bool()> &cond) {
        const auto end = std::chrono::steady_clock::now() + DEADLINE;
        while (!cond()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            if (actors_example_step() == -1)
                return false;
            text += out.take();
        }
        text += out.take();
        return true;
    }

    // The virtual actors do what the program wants.
    bool relay_complies() { return kit.relay.channels == actors_example_wanted().relay; }
    bool dimmer_complies() { return kit.dimmer.level == actors_example_wanted().dimmer; }
    bool pwm_complies() {
        const ActorsWanted &w = actors_example_wanted();
        return kit.pwm.levels[0] == w.pwm[0] && kit.pwm.levels[1] == w.pwm[1] &&
               kit.pwm.levels[2] == w.pwm[2];
    }
    bool all_comply() { return relay_complies() && dimmer_complies() && pwm_complies(); }

    // A line of `text` from `from` on.
    bool printed(const std::string &line, size_t from = 0) const {
        return text.find(line, from) != std::string::npos;
    }
    // The library has heard each actor report the wanted state, and said so.
    bool all_reported_ok(size_t from = 0) const {
        return printed("[osl comply] relay 'garden relay' ok", from) &&
               printed("[osl comply] dimmer 'hall dimmer' ok", from) &&
               printed("[osl comply] pwm 'kitchen leds' ok", from);
    }

    Kit kit;
    virtkit::InProcessKit on_air{kit};
    StdoutCapture out;
    std::string text;
};

TEST_F(ActorsExampleTest, TheExampleRegistersWhatTheKitAnnounces) {
    // The example carries the addresses and keys the scanner shows for the
    // virtual kit; if either side changes, the example no longer drives it.
    EXPECT_STREQ(RELAY_ADDR, virtkit::RELAY_ADDR);
    EXPECT_STREQ(RELAY_KEY, virtkit::RELAY_KEY);
    EXPECT_STREQ(DIMMER_ADDR, virtkit::DIMMER_ADDR);
    EXPECT_STREQ(DIMMER_KEY, virtkit::DIMMER_KEY);
    EXPECT_STREQ(PWM_ADDR, virtkit::PWM_ADDR);
    EXPECT_STREQ(PWM_KEY, virtkit::PWM_KEY);
}

TEST_F(ActorsExampleTest, DrivesRelayDimmerAndPwmToTheWantedState) {
    ASSERT_EQ(actors_example_open(), 0);
    ASSERT_TRUE(run_until([&] { return all_comply() && all_reported_ok(); })) << text;

    // The commands went out, and each actor's report shows its new state.
    EXPECT_TRUE(printed("[osl send] relay_on 'garden relay' 00->01 [0]")) << text;
    EXPECT_TRUE(printed("[osl send] pwm 'kitchen leds' 0,0,0->20,40,80 [0]")) << text;
    EXPECT_TRUE(printed("PWM=20%,40%,80%")) << text;
    EXPECT_TRUE(printed(" ch=0")) << text;
    EXPECT_EQ(osl_relay_get_ch0(RELAY_NAME), 1);
    EXPECT_EQ(osl_dimmer_get(DIMMER_NAME), actors_example_wanted().dimmer);
    EXPECT_EQ(osl_pwm_get_ch2(PWM_NAME), actors_example_wanted().pwm[2]);
    actors_example_close();
}

// An actor switched by hand reports a state the program did not ask for;
// the comply operation on that report sends the wanted state again.
struct HandCase {
    const char *name;
    void (*switch_by_hand)(Kit &);
    // The comply line that sends the state again (its values are left out:
    // a trigger of the example may change the wanted state meanwhile).
    const char *resend;
};
void PrintTo(const HandCase &c, std::ostream *os) {
    *os << c.name;
}

class SwitchedByHandTest : public ActorsExampleTest,
                           public ::testing::WithParamInterface<HandCase> {};

TEST_P(SwitchedByHandTest, ComplyBringsTheActorBack) {
    const HandCase &c = GetParam();
    ASSERT_EQ(actors_example_open(), 0);
    ASSERT_TRUE(run_until([&] { return all_comply() && all_reported_ok(); })) << text;

    on_air.by_hand(c.switch_by_hand);
    ASSERT_FALSE(all_comply());
    const size_t mark = text.size();
    ASSERT_TRUE(run_until([&] { return printed(c.resend, mark) && all_comply(); })) << text;
    // ... and the actor's next report is accepted as compliant.
    const size_t fixed = text.size();
    EXPECT_TRUE(run_until([&] { return all_reported_ok(fixed); })) << text.substr(mark);
    actors_example_close();
}

INSTANTIATE_TEST_SUITE_P(Actors, SwitchedByHandTest,
                         ::testing::Values(HandCase{"Relay",
                                                    [](Kit &k) { k.relay.channels = 0x0C; },
                                                    "[osl relay comply] send 'garden relay' "},
                                           HandCase{"Dimmer", [](Kit &k) { k.dimmer.level = 99; },
                                                    "[osl dimmer comply] send 'hall dimmer' "},
                                           HandCase{"Pwm",
                                                    [](Kit &k) {
                                                        k.pwm.levels[0] = 0;
                                                        k.pwm.levels[1] = 0;
                                                    },
                                                    "[osl pwm comply] send 'kitchen leds' "}),
                         [](const ::testing::TestParamInfo<HandCase> &case_info) {
                             return std::string(case_info.param.name);
                         });

TEST_F(ActorsExampleTest, ALostCommandIsSentAgainAtTheActorsNextReport) {
    // The first advertising window, the relay's first command, reaches nobody.
    sim.drop_advertising(1);
    ASSERT_EQ(actors_example_open(), 0);
    EXPECT_EQ(sim.dropped_windows(), 1);
    EXPECT_EQ(kit.relay.obeyed(), 0u);
    EXPECT_EQ(kit.dimmer.obeyed(), 1u);

    ASSERT_TRUE(run_until([&] { return all_comply() && all_reported_ok(); })) << text;
    // The relay's report of 00 was answered with the whole wanted state.
    EXPECT_TRUE(printed("[osl relay comply] send 'garden relay' 00->01 [0]")) << text;
    EXPECT_GE(kit.relay.obeyed(), 1u);
}

} // namespace
} // namespace osl::test
