// A running loop, as the programs run it (osl_bt_read, and osl_sleep_ms when
// nothing is waiting, on the real 10 ms tick), against a simulated
// controller that misbehaves: reads that fail, commands answered with
// errors, bursts longer than a tick or the record queue can take, events cut
// short and events longer than a slot. Nothing may crash, every record read
// must be the record of a frame that was sent, byte for byte and in order,
// what the queue could not take must be counted as overflow, and the next
// good frame must be accepted.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/adapter.h"
#include "core/platform.h"
#include "lifecycle.h"
#include "osl.h"
#include "support/frames.h"
#include "support/lib_fixture.h"

namespace osl::test {
namespace {

using sim::Call;

const Addr SENSOR = addr_from_text("D40A1B2C3D01");
const Addr AIR = addr_from_text("E8F1A2B3C4D5");
const char *const RELAY_NAME = "hall";
const char *const RELAY_ADDR = "CBFD786BAA68";
const char *const RELAY_KEY = "000102030405060708090A0B0C0D0E0F";

// A frame to deliver and the record it must give.
struct Frame {
    Bytes event;
    osl_record record;
};

std::string hex_of(const osl_record &r) {
    return hex(reinterpret_cast<const uint8_t *>(&r), OSL_REC_SIZE);
}

class FaultyController : public LibFixture {
  protected:
    void SetUp() override {
        LibFixture::SetUp();
        osl_timer = &osl_timer_posix;
        ASSERT_EQ(osl_relay_add(RELAY_NAME, RELAY_ADDR, RELAY_KEY), 0);
        ASSERT_EQ(osl_bt_open(0, 0, 0, OSL_LOG_SENSORS | OSL_LOG_ACTORS | OSL_LOG_AIR), 0);
    }

    // A new weather frame each time (its time field counts up, so no two
    // are repeats of each other).
    Frame meteo() {
        DeviceBlock b;
        b.wt = ++serial_;
        b.type = OSL_DEV_METEO;
        b.vcc = 213;
        b.b7 = {0x3A, 0x09, 0x29, 0x38, 0x07, 0x0C, 0xE4, 0x02, 0x58};
        const int8_t rssi = static_cast<int8_t>(-30 - serial_ % 60);
        return {sensor_report(SENSOR, b.bytes(), rssi), record_of(b.bytes(), SENSOR, rssi)};
    }

    // A new air-sensor frame: plain, outside the reception window.
    Frame air() {
        AirBlock a;
        a.minutes_from = 1;
        a.minutes_to = 2;
        a.vcc = 213;
        a.type = 0x30; // not 0: osl_bt_read answers a record's type, and 0 means none
        a.kelvin_x100 = 0x739B;
        a.pm10 = static_cast<uint16_t>(++serial_);
        return {air_report(AIR, a.bytes(), -61), record_of(a.bytes(), AIR, -61)};
    }

    void deliver(const Frame &f) { sim.deliver(f.event); }

    // The programs' loop: takes records until `want` came or the deadline
    // passed, sleeping 10 ms whenever none is waiting.
    static std::vector<osl_record>
    loop(size_t want, std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
        std::vector<osl_record> records;
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (records.size() < want && std::chrono::steady_clock::now() < end) {
            osl_record r;
            const int type = osl_bt_read(&r);
            EXPECT_GE(type, 0);
            if (type < 0)
                break;
            if (type == 0)
                osl_sleep_ms(10);
            else
                records.push_back(r);
        }
        return records;
    }

    // The loop for a while longer: nothing more may come.
    static void expect_quiet() {
        const std::vector<osl_record> more = loop(1, std::chrono::milliseconds(150));
        for (const osl_record &r : more)
            ADD_FAILURE() << "unexpected record " << hex_of(r);
    }

    // The records read are those of `sent`, in order, each once.
    static void expect_records(const std::vector<osl_record> &read,
                               const std::vector<Frame> &sent) {
        ASSERT_EQ(read.size(), sent.size());
        for (size_t i = 0; i < read.size(); i++)
            EXPECT_EQ(hex_of(read[i]), hex_of(sent[i].record)) << "record " << i;
    }

    // One good frame after the trouble is read as it was sent.
    void expect_next_frame_accepted() {
        const Frame f = meteo();
        deliver(f);
        expect_records(loop(1), {f});
    }

    // The log lines go to the test's output, beside any failure: a capture
    // would swallow the failure messages too.
    uint32_t serial_ = 0;
};

// Failed reads, some of them many in a row, with the errors a socket read
// can give: the events wait on the socket and arrive once reads work again.
TEST_F(FaultyController, FailedReadsLoseNothing) {
    for (int err : {EIO, EINTR, EAGAIN, ENETDOWN, EBADF}) {
        SCOPED_TRACE(strerror(err));
        const uint32_t reads = sim.reads();
        sim.fail(Call::Read, err, 40);
        std::vector<Frame> sent;
        for (int i = 0; i < 5; i++) {
            sent.push_back(meteo());
            deliver(sent.back());
        }
        expect_records(loop(sent.size()), sent);
        EXPECT_GE(sim.reads() - reads, 40u);
    }
    // Every read failing for a while: the loop keeps running, and the frames
    // delivered meanwhile come when the reads do.
    sim.fail(Call::Read, EIO, -1);
    std::vector<Frame> sent = {meteo(), air(), meteo()};
    for (const Frame &f : sent)
        deliver(f);
    EXPECT_TRUE(loop(1, std::chrono::milliseconds(200)).empty());
    sim.fail(Call::Read, 0, 0);
    expect_records(loop(sent.size()), sent);
    expect_quiet();
    expect_next_frame_accepted();
}

// Commands the controller fails or refuses: the send reports it, the tick
// reads again at once (the transmitter's busy flag is down), and the next
// send goes through.
TEST_F(FaultyController, CommandErrorsLeaveReceptionRunning) {
    // Statuses a controller answers: invalid parameters, and the refusal of
    // a command its state does not allow (advertising parameters while it
    // advertises, which the transmitter gets past once).
    constexpr uint8_t INVALID = 0x12;
    constexpr uint8_t DISALLOWED = hci::STATUS_COMMAND_DISALLOWED;
    struct Case {
        const char *what;
        Call call;
        uint8_t status; // the controller's answer; 0: the call itself fails
        int times;
        int skip; // good requests before the fault
        int result;
    };
    const Case cases[] = {
        {"data refused", Call::SendReq, INVALID, 1, 0, -24},
        {"data failed", Call::SendReq, 0, 1, 0, -22},
        {"parameters refused", Call::SendReq, INVALID, 1, 1, -28},
        {"parameters disallowed once", Call::SendReq, DISALLOWED, 1, 1, 0},
        {"parameters disallowed twice", Call::SendReq, DISALLOWED, 2, 1, -28},
        {"parameters failed", Call::SendReq, 0, 1, 1, -26},
        {"advertising refused", Call::AdvEnable, DISALLOWED, 1, 0, 0},
        {"advertising failed", Call::AdvEnable, 0, 1, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.status != 0)
            sim.status(c.call, c.status, c.times, c.skip);
        else
            sim.fail(c.call, ETIMEDOUT, c.times, c.skip);
        EXPECT_EQ(osl_relay_on(RELAY_NAME, 0x01), c.result);
        EXPECT_EQ(osl_tx_busy, 0);
        expect_next_frame_accepted();
        EXPECT_EQ(osl_relay_off(RELAY_NAME, 0x01), 0);
        expect_next_frame_accepted();
    }
}

// More events at once than one tick reads (10): later ticks take the rest,
// in order.
TEST_F(FaultyController, BurstLongerThanATickArrivesWhole) {
    std::vector<Frame> sent;
    for (int i = 0; i < 35; i++)
        sent.push_back(i % 5 == 4 ? air() : meteo());
    for (const Frame &f : sent)
        deliver(f);
    expect_records(loop(sent.size()), sent);
    expect_quiet();
    EXPECT_EQ(osl_overflow_count, 0u);
    expect_next_frame_accepted();
}

// A burst while the application is busy elsewhere: more than the record
// queue holds. What the queue cannot take is counted, never torn: the
// records read are whole records of frames sent, in the order sent, and
// with the overflow they account for every event.
TEST_F(FaultyController, BurstBeyondTheQueueIsCounted) {
    std::vector<Frame> sent;
    for (int i = 0; i < 80; i++)
        sent.push_back(i % 4 == 3 ? air() : meteo());
    const uint32_t overflow = osl_overflow_count;
    for (const Frame &f : sent)
        deliver(f);
    // Busy: sleeping, not reading, until the ticks have read every event.
    ASSERT_TRUE(wait_until([&] {
        osl_sleep_ms(10);
        return sim.pending() == 0;
    }));
    const uint32_t lost = osl_overflow_count - overflow;
    const std::vector<osl_record> read = loop(sent.size() - lost);
    expect_quiet();
    EXPECT_GT(lost, 0u);
    EXPECT_EQ(read.size() + lost, sent.size());
    EXPECT_LE(read.size() * OSL_REC_SIZE, 1024u);
    size_t next = 0; // the records are a subsequence of the frames sent
    for (const osl_record &r : read) {
        while (next < sent.size() && hex_of(sent[next].record) != hex_of(r))
            next++;
        EXPECT_LT(next, sent.size()) << "record not sent, or out of order: " << hex_of(r);
        next++;
    }
    expect_next_frame_accepted();
}

// Events cut short at every length: none gives a record, and the good
// frames between them are read as they were sent.
TEST_F(FaultyController, EventsCutShortAreRefused) {
    std::vector<Frame> good;
    // A sealed frame's payload ends at byte 45; an air frame's at byte 44.
    for (size_t len = 1; len < 45; len++) {
        const Frame sealed = meteo();
        const Frame plain = air();
        sim.deliver(sealed.event.data(), len);
        if (len < plain.event.size() - 1)
            sim.deliver(plain.event.data(), len);
        good.push_back(len % 2 ? meteo() : air());
        deliver(good.back());
    }
    expect_records(loop(good.size()), good);
    expect_quiet();
    expect_next_frame_accepted();
}

// Events longer than a slot (50 bytes) are read as their first 50 bytes;
// nothing of them stays behind for the next, shorter event.
TEST_F(FaultyController, EventsLongerThanASlot) {
    const Frame first = meteo();
    Bytes longer = first.event; // the report, then bytes a slot cannot hold
    for (uint8_t b = 0; b < 24; b++)
        longer.push_back(static_cast<uint8_t>(0xA0 + b));
    const Frame next = meteo();
    // Garbage of the full packet size, then the next frame cut where only
    // what an earlier event left in the slot could complete it.
    Bytes garbage(255, 0xFF);
    garbage[0] = 0x04;
    garbage[3] = 0x02;
    sim.deliver(longer);
    sim.deliver(longer); // a repeat: refused, its slot used again
    sim.deliver(next.event.data(), 30);
    sim.deliver(garbage);
    sim.deliver(next.event);
    expect_records(loop(2), {first, next});
    expect_quiet();
    expect_next_frame_accepted();
}

} // namespace
} // namespace osl::test
