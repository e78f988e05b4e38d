// Lamps against a GPIO tree made in a scratch directory. The value descriptors
// are never repositioned, so each value file (an ordinary file) keeps every
// "1" and "0" written to it, in order. Export and unexport are opened afresh
// for every line, so there they are FIFOs that the test reads, to see every
// number written and its order. The order across files comes from inotify.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

#include "lifecycle.h"
#include "core/lamps.h"
#include "osl.h"
#include "support/capture.h"
#include "support/frames.h"
#include "support/lib_fixture.h"

namespace osl::test {
namespace {

// The pins ostrel_home drives: receive, transmit, power.
constexpr int PIN_RX = 26;
constexpr int PIN_TX = 19;
constexpr int PIN_PWR = 13;

class LampTest : public LibFixture {
  protected:
    void SetUp() override {
        LibFixture::SetUp();
        use_manual_timer();
    }

    std::string root() const { return path("gpio"); }
    std::string line_dir(int gpio) const { return root() + "/gpio" + std::to_string(gpio); }
    std::string value(int gpio) const { return read_file(line_dir(gpio) + "/value"); }
    std::string direction(int gpio) const { return read_file(line_dir(gpio) + "/direction"); }
    std::string exported() { return drain(export_fd_, &exported_); }
    std::string unexported() { return drain(unexport_fd_, &unexported_); }

    void TearDown() override {
        LibFixture::TearDown();
        for (int fd : {export_fd_, unexport_fd_})
            if (fd >= 0)
                close(fd);
    }

    // The sysfs root with its export and unexport files, and the given lines
    // as if already exported (direction and value present).
    void make_tree(std::initializer_list<int> lines) {
        ASSERT_EQ(mkdir(root().c_str(), 0755), 0);
        export_fd_ = make_fifo(root() + "/export");
        unexport_fd_ = make_fifo(root() + "/unexport");
        for (int gpio : lines)
            make_line(gpio);
    }
    void make_line(int gpio) {
        ASSERT_EQ(mkdir(line_dir(gpio).c_str(), 0755), 0);
        write_file(line_dir(gpio) + "/direction", "");
        write_file(line_dir(gpio) + "/value", "");
    }

    // Replaces a file with a link to /dev/full: it opens, but no write succeeds.
    void make_refusing(const std::string &file) {
        unlink(file.c_str());
        ASSERT_EQ(symlink("/dev/full", file.c_str()), 0);
    }

    // A reader is open before the library writes, so its opens never block.
    static int make_fifo(const std::string &file) {
        EXPECT_EQ(mkfifo(file.c_str(), 0644), 0);
        int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        EXPECT_GE(fd, 0);
        return fd;
    }
    static std::string drain(int fd, std::string *seen) {
        char buf[256];
        ssize_t n;
        while (fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0)
            seen->append(buf, static_cast<size_t>(n));
        return *seen;
    }

    // A motion sensor's frame; each `wt` makes a new frame, not a repeat.
    static Bytes motion_frame(uint32_t wt) {
        DeviceBlock block;
        block.wt = wt;
        block.type = OSL_DEV_MOTION;
        return sensor_report(addr_from_text("A1B2C3D4E5F6"), block.bytes(), -60);
    }

    int open_quietly(int rx, int tx, int pwr) {
        StdoutCapture quiet;
        return osl_bt_open(rx, tx, pwr, OSL_LOG_LIB);
    }

  private:
    int export_fd_ = -1;
    int unexport_fd_ = -1;
    std::string exported_;
    std::string unexported_;
};

TEST_F(LampTest, OpenLightsAllThenLeavesOnlyPowerLit) {
    make_tree({PIN_RX, PIN_TX, PIN_PWR});
    ASSERT_EQ(open_quietly(PIN_RX, PIN_TX, PIN_PWR), 0);

    EXPECT_EQ(exported(), "261913");
    for (int gpio : {PIN_RX, PIN_TX, PIN_PWR})
        EXPECT_EQ(direction(gpio), "out") << gpio;
    EXPECT_EQ(value(PIN_RX), "10");
    EXPECT_EQ(value(PIN_TX), "10");
    EXPECT_EQ(value(PIN_PWR), "1");
    EXPECT_EQ(unexported(), "");
    EXPECT_EQ(osl_lamps.gpio[0], PIN_RX);
    EXPECT_EQ(osl_lamps.gpio[1], PIN_TX);
    EXPECT_EQ(osl_lamps.gpio[2], PIN_PWR);
    EXPECT_EQ(osl_lamps.osl_rx_lamp_count, 0u);
}

TEST_F(LampTest, ReceiveLampGoesDarkInTheFifthTickAfterTheFrameThatLitIt) {
    make_tree({PIN_RX, PIN_TX, PIN_PWR});
    ASSERT_EQ(open_quietly(PIN_RX, PIN_TX, PIN_PWR), 0);

    tick(3); // a dark receive lamp is left alone
    EXPECT_EQ(value(PIN_RX), "10");

    sim.deliver(motion_frame(1));
    tick(); // tick T: the frame is accepted and lights the lamp
    EXPECT_EQ(value(PIN_RX), "101");
    EXPECT_EQ(osl_lamps.osl_rx_lamp_count, 1u);

    sim.deliver(motion_frame(2));
    tick(); // a frame while lit neither relights nor prolongs it
    EXPECT_EQ(value(PIN_RX), "101");
    tick(3);
    EXPECT_EQ(osl_lamps.osl_rx_lamp_count, 5u);
    tick(); // T + 5
    EXPECT_EQ(value(PIN_RX), "1010");
    EXPECT_EQ(osl_lamps.osl_rx_lamp_count, 0u);
    tick(10);
    EXPECT_EQ(value(PIN_RX), "1010");
    EXPECT_EQ(value(PIN_TX), "10");
    EXPECT_EQ(value(PIN_PWR), "1");
}

TEST_F(LampTest, CloseDarkensClosesAndUnexportsInLampOrder) {
    make_tree({PIN_RX, PIN_TX, PIN_PWR});
    ASSERT_EQ(open_quietly(PIN_RX, PIN_TX, PIN_PWR), 0);
    sim.deliver(motion_frame(1));
    tick(3); // closed while the receive lamp is lit

    {
        StdoutCapture quiet;
        osl_bt_close();
    }

    EXPECT_EQ(value(PIN_RX), "1010");
    EXPECT_EQ(value(PIN_TX), "100");
    EXPECT_EQ(value(PIN_PWR), "10");
    EXPECT_EQ(unexported(), "261913");
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(osl_lamps.value_fd[i], 0) << i;
        EXPECT_EQ(osl_lamps.gpio[i], 0) << i;
    }
    // Nothing is left to darken: a later lamp change writes nothing.
    EXPECT_EQ(osl_lamp_set(&osl_lamps, LAMP_PWR, 1), 0);
    EXPECT_EQ(value(PIN_PWR), "10");
}

// --- the order across lamps ------------------------------------------------

// The writes to several files in the order the kernel saw them: one inotify
// queue watches them all, which per-file histories cannot tell. Each write
// to a value file is one byte, so the n-th write event of a value file is
// the n-th byte in it.
class WriteOrder {
  public:
    enum class File { Value, Direction, Unexport };

    WriteOrder() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
    ~WriteOrder() {
        if (fd_ >= 0)
            close(fd_);
    }
    WriteOrder(const WriteOrder &) = delete;
    WriteOrder &operator=(const WriteOrder &) = delete;

    bool ok() const { return fd_ >= 0; }

    // Closes are watched too: they name the value files closed, and they part
    // the writes of one file, which inotify would otherwise merge into one.
    void watch(const std::string &file, File kind, const std::string &label) {
        int wd = inotify_add_watch(fd_, file.c_str(), IN_MODIFY | IN_CLOSE_WRITE);
        ASSERT_GE(wd, 0) << file;
        watched_[wd] = Watched{file, kind, label, 0};
    }

    // What happened since the last call: "rx=1" a value byte, "rx closed" a
    // value file closed, "rx out" a direction written, "unexport" a release.
    std::string take() {
        std::string seen;
        alignas(inotify_event) char buf[4096];
        ssize_t n;
        while ((n = read(fd_, buf, sizeof buf)) > 0) {
            for (char *p = buf; p < buf + n;) {
                const auto *e = reinterpret_cast<const inotify_event *>(p);
                p += sizeof(inotify_event) + e->len;
                EXPECT_EQ(e->mask & IN_Q_OVERFLOW, 0u);
                auto it = watched_.find(e->wd);
                if (it == watched_.end())
                    continue;
                std::string token = describe(it->second, e->mask);
                if (!token.empty())
                    seen += (seen.empty() ? "" : " ") + token;
            }
        }
        return seen;
    }

  private:
    struct Watched {
        std::string file;
        File kind;
        std::string label;
        size_t writes;
    };

    static std::string describe(Watched &w, uint32_t mask) {
        if (mask & IN_MODIFY) {
            switch (w.kind) {
            case File::Value: {
                const std::string bytes = read_file(w.file);
                const size_t at = w.writes++;
                return w.label + "=" + (at < bytes.size() ? bytes.substr(at, 1) : "?");
            }
            case File::Direction:
                return w.label + " " + read_file(w.file);
            case File::Unexport:
                return w.label;
            }
        }
        if ((mask & IN_CLOSE_WRITE) && w.kind == File::Value)
            return w.label + " closed";
        return "";
    }

    int fd_;
    std::map<int, Watched> watched_;
};

TEST_F(LampTest, LampsChangeInOrderAcrossLampsAtOpenAndClose) {
    make_tree({PIN_RX, PIN_TX, PIN_PWR});
    WriteOrder order;
    ASSERT_TRUE(order.ok()) << "inotify: " << strerror(errno);
    const std::pair<const char *, int> lamps[] = {{"rx", PIN_RX}, {"tx", PIN_TX}, {"pwr", PIN_PWR}};
    for (const auto &[name, gpio] : lamps) {
        order.watch(line_dir(gpio) + "/direction", WriteOrder::File::Direction, name);
        order.watch(line_dir(gpio) + "/value", WriteOrder::File::Value, name);
    }
    order.watch(root() + "/unexport", WriteOrder::File::Unexport, "unexport");

    ASSERT_EQ(open_quietly(PIN_RX, PIN_TX, PIN_PWR), 0);
    // Every line is an output before any lamp is lit; power comes on first,
    // and receive and transmit go dark again once the library runs.
    EXPECT_EQ(order.take(), "rx out tx out pwr out pwr=1 rx=1 tx=1 rx=0 tx=0");

    {
        StdoutCapture quiet;
        osl_bt_close();
    }
    // Every lamp is dark and its file closed before the first line is released.
    EXPECT_EQ(order.take(),
              "rx=0 rx closed tx=0 tx closed pwr=0 pwr closed unexport unexport unexport");
    EXPECT_EQ(unexported(), "261913");
}

TEST_F(LampTest, LineAlreadyExportedIsSetUpNormally) {
    make_tree({PIN_PWR});
    // The kernel refuses to export a line twice: the export write fails.
    make_refusing(root() + "/export");
    ASSERT_EQ(open_quietly(0, 0, PIN_PWR), 0);
    EXPECT_EQ(direction(PIN_PWR), "out");
    EXPECT_EQ(value(PIN_PWR), "1");
    EXPECT_EQ(osl_lamps.gpio[2], PIN_PWR);
}

TEST_F(LampTest, NoGpioSupportFailsWithTheExportCodeOfTheFirstLamp) {
    // No sysfs GPIO tree at all.
    EXPECT_EQ(open_quietly(0, PIN_TX, PIN_PWR), 203);
    EXPECT_TRUE(sim.calls().empty()) << "the adapter is not touched after a lamp failure";
}

// --- pins: which numbers give a lamp -------------------------------------

struct PinCase {
    int pin;
    bool lamp;
};

class LampPinTest : public LampTest, public ::testing::WithParamInterface<PinCase> {};

TEST_P(LampPinTest, OnlyLinesTwoToTwentySevenGiveALamp) {
    const PinCase &c = GetParam();
    if (c.lamp)
        make_tree({c.pin});
    // Without a lamp no file may be touched, so no tree exists to touch.
    ASSERT_EQ(open_quietly(0, 0, c.pin), 0);
    if (c.lamp) {
        EXPECT_EQ(exported(), std::to_string(c.pin));
        EXPECT_EQ(value(c.pin), "1");
        EXPECT_GT(osl_lamps.value_fd[2], 0);
    } else {
        struct stat st;
        EXPECT_NE(stat(root().c_str(), &st), 0);
        EXPECT_EQ(osl_lamps.value_fd[2], 0);
        EXPECT_EQ(osl_lamps.gpio[2], 0);
        for (int lamp = LAMP_RX; lamp <= LAMP_PWR; lamp++)
            EXPECT_EQ(osl_lamp_set(&osl_lamps, lamp, 1), 0);
    }
}

std::string pin_name(const ::testing::TestParamInfo<PinCase> &info) {
    int pin = info.param.pin;
    return (pin < 0 ? "PinMinus" : "Pin") + std::to_string(pin < 0 ? -pin : pin);
}
void PrintTo(const PinCase &c, std::ostream *os) {
    *os << "pin " << c.pin;
}

INSTANTIATE_TEST_SUITE_P(Pins, LampPinTest,
                         ::testing::Values(PinCase{-1, false}, PinCase{0, false}, PinCase{1, false},
                                           PinCase{2, true}, PinCase{27, true}, PinCase{28, false},
                                           PinCase{100, false}),
                         pin_name);

// --- set-up failures: each lamp and step has its own code -----------------

enum class Missing { Export, Direction, Value };

class LampSetupFailureTest : public LampTest,
                             public ::testing::WithParamInterface<std::tuple<int, Missing>> {};

TEST_P(LampSetupFailureTest, FailingStepGivesItsCodeAndStopsTheOpen) {
    const int failing_lamp = std::get<0>(GetParam());
    const Missing missing = std::get<1>(GetParam());
    // All lamps share the export file, so a missing one can only fail the first
    // lamp that is set up: the lamps before it are left out then.
    int pins[3] = {PIN_RX, PIN_TX, PIN_PWR};
    for (int lamp = LAMP_RX; missing == Missing::Export && lamp < failing_lamp; lamp++)
        pins[lamp - 1] = 0;
    const int pin = pins[failing_lamp - 1];
    make_tree({PIN_RX, PIN_TX, PIN_PWR});
    switch (missing) {
    case Missing::Export:
        unlink((root() + "/export").c_str());
        break;
    case Missing::Direction:
        unlink((line_dir(pin) + "/direction").c_str());
        break;
    case Missing::Value:
        unlink((line_dir(pin) + "/value").c_str());
        break;
    }
    const int step = static_cast<int>(missing);

    EXPECT_EQ(open_quietly(pins[0], pins[1], pins[2]), 200 + 3 * (failing_lamp - 1) + step);

    // Earlier lamps are set up but not yet lit; later ones are not touched, and
    // the open stopped before the adapter.
    std::string exports;
    for (int lamp = LAMP_RX; lamp <= failing_lamp; lamp++)
        if (pins[lamp - 1] != 0)
            exports += std::to_string(pins[lamp - 1]);
    if (missing != Missing::Export) {
        EXPECT_EQ(exported(), exports);
    }
    for (int lamp = LAMP_RX; lamp < failing_lamp; lamp++) {
        if (pins[lamp - 1] == 0)
            continue;
        EXPECT_EQ(osl_lamps.gpio[lamp - 1], pins[lamp - 1]);
        EXPECT_GT(osl_lamps.value_fd[lamp - 1], 0);
        EXPECT_EQ(value(pins[lamp - 1]), "");
    }
    // The line is recorded for release once it is an output, even if its value file fails.
    EXPECT_EQ(osl_lamps.gpio[failing_lamp - 1], missing == Missing::Value ? pin : 0);
    EXPECT_EQ(osl_lamps.value_fd[failing_lamp - 1], 0);
    EXPECT_TRUE(sim.calls().empty());
}

void PrintTo(Missing m, std::ostream *os) {
    *os << "missing file " << static_cast<int>(m);
}

using FailureParam = std::tuple<int, Missing>;

std::string failure_name(const ::testing::TestParamInfo<FailureParam> &info) {
    static const char *const files[] = {"Export", "Direction", "Value"};
    return "Lamp" + std::to_string(std::get<0>(info.param)) +
           files[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(EachLampAndStep, LampSetupFailureTest,
                         ::testing::Combine(::testing::Values(LAMP_RX, LAMP_TX, LAMP_PWR),
                                            ::testing::Values(Missing::Export, Missing::Direction,
                                                              Missing::Value)),
                         failure_name);

// --- the file operations on their own ---------------------------------------

class LampFileTest : public LampTest {
  protected:
    // A record whose three lamps write to gpio 2, 3 and 4.
    void open_record(osl_lamps_t *lamps) {
        make_tree({2, 3, 4});
        *lamps = osl_lamps_t{};
        for (int i = 0; i < 3; i++) {
            lamps->value_fd[i] = osl_gpio_open_value(2 + i);
            ASSERT_GT(lamps->value_fd[i], 0);
        }
    }
};

TEST_F(LampFileTest, LampNumbersOutsideOneToThreeWriteNothing) {
    osl_lamps_t lamps;
    open_record(&lamps);
    for (int lamp : {0, 4, -1})
        EXPECT_EQ(osl_lamp_set(&lamps, lamp, 1), 0) << lamp;
    EXPECT_EQ(osl_lamp_set(&lamps, LAMP_TX, 1), 0);
    EXPECT_EQ(osl_lamp_set(&lamps, LAMP_TX, 7), 0); // any non-zero is on
    EXPECT_EQ(value(2), "");
    EXPECT_EQ(value(3), "11");
    EXPECT_EQ(value(4), "");
}

TEST_F(LampFileTest, RefusedLampWriteReportsFailureAndTheNextChangeWritesAgain) {
    osl_lamps_t lamps;
    make_tree({2});
    make_refusing(line_dir(2) + "/value");
    lamps = osl_lamps_t{};
    lamps.value_fd[0] = osl_gpio_open_value(2);
    ASSERT_GT(lamps.value_fd[0], 0);
    EXPECT_EQ(osl_lamp_set(&lamps, LAMP_RX, 1), -1);
    EXPECT_EQ(osl_lamp_set(&lamps, LAMP_RX, 0), -1);
    close(lamps.value_fd[0]);
}

TEST_F(LampFileTest, DirectionIsOutOrInAndAFailedWriteFails) {
    make_tree({5, 6, 7});
    EXPECT_EQ(osl_gpio_set_direction(5, 1), 0);
    EXPECT_EQ(osl_gpio_set_direction(6, 0), 0);
    EXPECT_EQ(direction(5), "out");
    EXPECT_EQ(direction(6), "in");
    make_refusing(line_dir(7) + "/direction");
    EXPECT_EQ(osl_gpio_set_direction(7, 1), -1);
    EXPECT_EQ(osl_gpio_set_direction(8, 1), -1); // no such line
}

TEST_F(LampFileTest, ExportAndUnexportWriteBareNumbers) {
    make_tree({});
    EXPECT_EQ(osl_gpio_export(2), 0);
    EXPECT_EQ(osl_gpio_export(27), 0);
    EXPECT_EQ(osl_gpio_unexport(27), 0);
    EXPECT_EQ(exported(), "227");
    EXPECT_EQ(unexported(), "27");
    unlink((root() + "/unexport").c_str());
    EXPECT_EQ(osl_gpio_unexport(2), -1);
}

// A value file that opens as descriptor 0 would later read as "no lamp", so
// set-up must count it as a failure rather than record it.
TEST_F(LampFileTest, ValueFileOnDescriptorZeroFailsSetUp) {
    make_tree({9});
    osl_lamps_t lamps = {};
    close(STDIN_FILENO);
    EXPECT_EQ(osl_lamp_setup(&lamps, LAMP_RX, 9), 3);
    EXPECT_EQ(lamps.value_fd[0], 0);
    EXPECT_EQ(lamps.gpio[0], 9);
}

} // namespace
} // namespace osl::test
