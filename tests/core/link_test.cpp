// Adapter supervision on the simulated controller, ticks driven by hand:
// each fault the adapter may suffer, that frames are heard again within a
// bound afterwards, whole and once each, the back-off while the adapter
// stays away, and that nothing at all changes while all is well.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "core/adapter.h"
#include "core/link.h"
#include "lifecycle.h"
#include "osl.h"
#include "support/capture.h"
#include "support/frames.h"
#include "support/lib_fixture.h"

namespace osl::test {
namespace {

using sim::Call;

const Addr SENSOR = addr_from_text("D40A1B2C3D01");

class Link : public LibFixture {
  protected:
    void SetUp() override {
        LibFixture::SetUp();
        use_manual_timer();
        ASSERT_EQ(osl_bt_open(0, 0, 0, OSL_LOG_LIB), OSL_OPEN_OK);
        sim.clear_record();
    }

    // A new frame from the sensor, its count of seconds the sequence number.
    void send() {
        DeviceBlock b;
        b.type = OSL_DEV_METEO;
        b.vcc = 213;
        b.wt = next_++;
        sim.deliver(sensor_report(SENSOR, b.bytes(), -50));
    }

    // n ticks, each followed by the application's read of every record, as
    // a program's loop does; the numbers of the frames read are kept.
    void run(int n) {
        for (int i = 0; i < n; i++) {
            tick();
            osl_record rec;
            while (osl_bt_read(&rec) > 0)
                read_.push_back(rec.payload[0] | rec.payload[1] << 8);
        }
    }

    // Sends a frame every `every` ticks for `ticks` ticks.
    void traffic(int ticks, int every = 10) {
        for (int i = 0; i < ticks; i++) {
            if (i % every == 0)
                send();
            run(1);
        }
    }

    int calls_named(const std::string &name) const {
        int n = 0;
        for (const std::string &c : sim.calls())
            if (c.rfind(name, 0) == 0)
                n++;
        return n;
    }

    osl_link_status status() const {
        osl_link_status s;
        EXPECT_EQ(osl_link_get_status(&s), 0);
        return s;
    }

    std::vector<int> read_;
    int next_ = 0;
};

TEST_F(Link, AQuietRoomOnlyAsksWhetherTheControllerStillScans) {
    StdoutCapture out;
    run(4 * OSL_LINK_SILENCE_TICKS + 1);
    EXPECT_EQ(mask_times(out.stop()), "");
    // One question per silence of 5 s, each refused: the controller scans.
    EXPECT_EQ(calls_named("scan_params"), 4);
    EXPECT_EQ(calls_named("scan_enable"), 0);
    EXPECT_EQ(calls_named("socket"), 0);
    const osl_link_status s = status();
    EXPECT_EQ(s.state, OSL_LINK_UP);
    EXPECT_EQ(s.recoveries, 0u);
    EXPECT_EQ(s.read_errors, 0u);
    EXPECT_EQ(s.ms_since_event, static_cast<uint32_t>((4 * OSL_LINK_SILENCE_TICKS + 1) * 10));
}

TEST_F(Link, ABusyRoomSendsNothing) {
    traffic(4 * OSL_LINK_SILENCE_TICKS);
    EXPECT_TRUE(sim.calls().empty());
    EXPECT_EQ(read_.size(), static_cast<size_t>(next_));
}

// Another program switched scanning off (or the controller was reset): the
// silence that follows is questioned, and the scan started again.
TEST_F(Link, AScanSwitchedOffIsStartedAgainAfterTheSilence) {
    traffic(100);
    sim.set_scanning(false);
    StdoutCapture out;
    traffic(OSL_LINK_SILENCE_TICKS + 200);
    EXPECT_EQ(mask_times(out.stop()), "T [osl link] scanning was off: started again\n\r");
    EXPECT_TRUE(sim.scanning());
    // Heard again within a frame's time of the question; none twice.
    const int sent_after = next_;
    traffic(100);
    ASSERT_FALSE(read_.empty());
    EXPECT_EQ(read_.back(), next_ - 1);
    for (size_t i = 1; i < read_.size(); i++)
        EXPECT_LT(read_[i - 1], read_[i]);
    EXPECT_GE(static_cast<int>(read_.size()), 10 + (next_ - sent_after));
    EXPECT_EQ(status().recoveries, 1u);
}

// Each fault the adapter may suffer, as the kernel shows it to the library
// (sim::Controller's fault model, measured in the test machine), and what
// brings it back, if anything: every frame sent once the adapter is back is
// read within 10 s, whole and once, and the link says what happened.
struct AdapterFault {
    const char *what;
    std::function<void(sim::Controller &)> fault;
    int back_after; // ticks until `back` runs; the adapter is back from then on
    std::function<void(sim::Controller &)> back;
    std::vector<std::string> lines; // the link's lines, in order
};

const AdapterFault adapter_faults[] = {
    {"reset",
     [](sim::Controller &c) { c.reset_controller(); },
     0,
     nullptr,
     {"[osl link] scanning was off: started again"}},
    {"scan_switched_off_by_another_program",
     [](sim::Controller &c) { c.set_scanning(false); },
     0,
     nullptr,
     {"[osl link] scanning was off: started again"}},
    {"powered_down_and_up_within_the_silence",
     [](sim::Controller &c) { c.power_down(); },
     200,
     [](sim::Controller &c) { c.power_up(); },
     {"[osl link] scanning was off: started again"}},
    {"powered_down_for_long",
     [](sim::Controller &c) { c.power_down(); },
     1500,
     [](sim::Controller &c) { c.power_up(); },
     {"[osl link] lost: the adapter does not answer (Network is down)",
      "[osl link] not open (code 2: no Bluetooth adapter found (is one present, and up?)); next "
      "try in 1 s",
      "[osl link] open again: hci0"}},
    {"unplugged_and_plugged_back",
     [](sim::Controller &c) { c.unplug(); },
     250,
     [](sim::Controller &c) { c.plug(0); },
     {"[osl link] lost: read error (Broken pipe)", "[osl link] not open (code 2",
      "[osl link] hci0 was down: brought up", "[osl link] open again: hci0"}},
    {"plugged_back_under_another_index",
     [](sim::Controller &c) { c.unplug(); },
     250,
     [](sim::Controller &c) { c.plug(4); },
     {"[osl link] lost: read error (Broken pipe)", "[osl link] hci4 was down: brought up",
      "[osl link] open again: hci4"}},
};

class LinkFault : public Link, public ::testing::WithParamInterface<AdapterFault> {};

TEST_P(LinkFault, FramesAreHeardAgainWithinTenSecondsOfTheAdapterBeingBack) {
    const AdapterFault &f = GetParam();
    std::vector<int> sent_at; // by frame number
    std::vector<int> read_at;
    int t = 0;
    auto step = [&] {
        if (t % 10 == 0) {
            sent_at.push_back(t);
            send();
        }
        const size_t before = read_.size();
        run(1);
        for (size_t i = before; i < read_.size(); i++)
            read_at.push_back(t);
        t++;
    };
    while (t < 300)
        step();
    StdoutCapture out;
    f.fault(sim);
    const int faulted = t;
    while (t < faulted + f.back_after)
        step();
    if (f.back)
        f.back(sim);
    const int back = t;
    while (t < back + 2000)
        step();
    const std::string said = mask_times(out.stop());

    // Once each, in order.
    for (size_t i = 1; i < read_.size(); i++)
        ASSERT_LT(read_[i - 1], read_[i]) << said;
    // Every frame sent after the adapter was back was read, within 10 s.
    int checked = 0;
    for (size_t i = 0; i < read_.size(); i++) {
        const int frame = read_[i];
        if (sent_at[static_cast<size_t>(frame)] >= back) {
            EXPECT_LE(read_at[i] - sent_at[static_cast<size_t>(frame)], 1000) << frame;
            checked++;
        }
    }
    int sent_after = 0;
    for (int at : sent_at)
        sent_after += at >= back + 1000 ? 1 : 0;
    EXPECT_GE(checked, sent_after) << said;
    EXPECT_EQ(read_.back(), next_ - 1) << said;
    // The lines, in order.
    size_t at = 0;
    for (const std::string &line : f.lines) {
        const size_t found = said.find("T " + line, at);
        ASSERT_NE(found, std::string::npos) << line << "\nin:\n" << said;
        at = found + line.size();
    }
    EXPECT_EQ(status().state, OSL_LINK_UP);
    EXPECT_GE(status().recoveries, 1u);
}

INSTANTIATE_TEST_SUITE_P(Faults, LinkFault, ::testing::ValuesIn(adapter_faults),
                         [](const ::testing::TestParamInfo<AdapterFault> &case_info) {
                             return std::string(case_info.param.what);
                         });

// A controller that says it scans and reports nothing for a minute is
// wedged: its scan is started again, then less often while the silence goes
// on (a room may really be empty), and as often again once it reports.
TEST_F(Link, AWedgedControllerHasItsScanStartedAgain) {
    traffic(100);
    sim.wedge();
    StdoutCapture out;
    std::vector<int> restarts;
    for (int t = 0; t < 8 * 60 * 100; t++) {
        const bool was = sim.wedged();
        run(1);
        if (was && !sim.wedged())
            restarts.push_back(t);
        if (!sim.wedged() && restarts.size() < 3)
            sim.wedge(); // still nothing to hear
    }
    ASSERT_EQ(restarts.size(), 3u);
    // 60 s after the last report (as the 5 s questions fall), then 120 s, 240 s.
    EXPECT_NEAR(restarts[0], 60 * 100, OSL_LINK_SILENCE_TICKS);
    EXPECT_NEAR(restarts[1] - restarts[0], 120 * 100, OSL_LINK_SILENCE_TICKS);
    EXPECT_NEAR(restarts[2] - restarts[1], 240 * 100, OSL_LINK_SILENCE_TICKS);
    const std::string said = mask_times(out.stop());
    EXPECT_EQ(said.rfind("T [osl link] no report for 60 s: scan started again\n\r", 0), 0u) << said;
    EXPECT_TRUE(sim.scanning());

    // Heard again: the next wedge is met after a minute once more.
    const int before = static_cast<int>(read_.size());
    traffic(100);
    EXPECT_EQ(static_cast<int>(read_.size()), before + 10);
    sim.wedge();
    int t = 0;
    while (sim.wedged() && t < 200 * 100) {
        run(1);
        t++;
    }
    EXPECT_NEAR(t, 60 * 100, OSL_LINK_SILENCE_TICKS);
}

// Reads that fail for a second, or once with the errno of a device that is
// gone: the link is closed and opened again at once.
TEST_F(Link, PersistentReadErrorsOpenTheLinkAgain) {
    struct Case {
        int err;
        int times; // failed reads
        const char *reason;
    };
    const Case cases[] = {
        {EIO, static_cast<int>(OSL_LINK_ERROR_TICKS), "read error (Input/output error)"},
        {ENETDOWN, -1, "read error (Network is down)"},
        {EPIPE, 1, "read error (Broken pipe)"},
        {ENODEV, 1, "read error (No such device)"},
    };
    uint32_t recoveries = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reason);
        traffic(50);
        sim.fail(Call::Read, c.err, c.times);
        // The new socket reads well (a fault of the old one's).
        sim.on_listen = [this](int) { sim.fail(Call::Read, 0, 0); };
        StdoutCapture out;
        traffic(OSL_LINK_ERROR_TICKS + 20);
        EXPECT_EQ(mask_times(out.stop()), std::string("T [osl link] lost: ") + c.reason +
                                              "\n\rT [osl link] open again: hci0\n\r");
        EXPECT_EQ(status().recoveries, ++recoveries);
        EXPECT_EQ(status().state, OSL_LINK_UP);
        EXPECT_EQ(osl_adapter.state, OSL_ADAPTER_FILTERED);
        EXPECT_EQ(sim.open_sockets(), 2);
        const int before = static_cast<int>(read_.size());
        traffic(30);
        EXPECT_EQ(static_cast<int>(read_.size()), before + 3);
    }
    // Whole records, in order, none twice; those queued on a closed socket
    // are lost with it.
    for (size_t i = 1; i < read_.size(); i++)
        EXPECT_LT(read_[i - 1], read_[i]);
}

// A passing fault loses nothing and opens nothing.
TEST_F(Link, ReadErrorsShorterThanASecondAreRiddenOut) {
    traffic(50);
    sim.fail(Call::Read, EIO, static_cast<int>(OSL_LINK_ERROR_TICKS) - 1);
    StdoutCapture out;
    traffic(OSL_LINK_ERROR_TICKS + 50);
    EXPECT_EQ(mask_times(out.stop()), "");
    EXPECT_EQ(calls_named("socket"), 0);
    EXPECT_EQ(read_.size(), static_cast<size_t>(next_));
    EXPECT_EQ(status().read_errors, OSL_LINK_ERROR_TICKS - 1);
    EXPECT_EQ(status().last_error, EIO);
}

// While the adapter stays away the library tries again after 1, 2, 4, 8 ...
// seconds, never more than a minute apart, and takes it back when it returns.
TEST_F(Link, AnAdapterThatStaysAwayIsAskedForWithBackOff) {
    traffic(50);
    sim.unplug();
    StdoutCapture out;
    std::vector<int> attempts; // ticks at which the adapter was looked for
    int seen = 0;
    for (int t = 0; t < 5 * 60 * 100; t++) {
        run(1);
        const int now = calls_named("get_route");
        if (now != seen)
            attempts.push_back(t);
        seen = now;
    }
    ASSERT_GE(attempts.size(), 8u);
    const std::vector<int> gaps_s = {1, 2, 4, 8, 16, 32, 60, 60};
    for (size_t i = 0; i + 1 < attempts.size() && i < gaps_s.size(); i++)
        EXPECT_NEAR(attempts[i + 1] - attempts[i], gaps_s[i] * 100, 1) << i;
    EXPECT_EQ(status().state, OSL_LINK_DOWN);
    EXPECT_EQ(status().dev_id, -1);
    const std::string said = mask_times(out.stop());
    EXPECT_NE(said.find("T [osl link] lost: read error (Broken pipe)\n\r"), std::string::npos);
    EXPECT_NE(
        said.find("T [osl link] not open (code 2: no Bluetooth adapter found (is one present, "
                  "and up?)); next try in 1 s\n\r"),
        std::string::npos);
    EXPECT_NE(said.find("; next try in 60 s\n\r"), std::string::npos);

    // Back, under another index.
    sim.plug(3);
    StdoutCapture back;
    traffic(60 * 100 + 100);
    EXPECT_EQ(mask_times(back.stop()),
              "T [osl link] hci3 was down: brought up\n\rT [osl link] open again: hci3\n\r");
    EXPECT_EQ(status().state, OSL_LINK_UP);
    EXPECT_EQ(status().dev_id, 3);
    ASSERT_FALSE(read_.empty());
    EXPECT_EQ(read_.back(), next_ - 1);
}

// The transmitter owns the adapter while it sends: supervision waits.
TEST_F(Link, NothingIsDoneWhileACommandIsSent) {
    sim.fail(Call::Read, EPIPE, 1);
    tick();
    osl_tx_busy = 1;
    osl_link_supervise();
    EXPECT_EQ(calls_named("socket"), 0);
    osl_tx_busy = 0;
    osl_link_supervise();
    EXPECT_EQ(calls_named("socket"), 2);
}

TEST_F(Link, StatusOfAClosedLibrary) {
    osl_bt_close();
    const osl_link_status s = status();
    EXPECT_EQ(s.state, OSL_LINK_CLOSED);
    EXPECT_EQ(s.dev_id, -1);
    EXPECT_EQ(osl_link_get_status(nullptr), OSL_LINK_NO_STATUS);
}

} // namespace
} // namespace osl::test
