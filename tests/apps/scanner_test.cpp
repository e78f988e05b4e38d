// The scanner's logic against the simulated adapter, with a library that
// reports any version.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/log.h"
#include "lifecycle.h"
#include "osl.h"
#include "scanner.h"
#include "support/capture.h"
#include "support/child.h"
#include "support/frames.h"
#include "support/lib_fixture.h"

namespace osl::test {
namespace {

const std::string title = TITLE;

TEST(ScannerTitle, IsSixLinesWithTheProjectAddress) {
    const std::string rule(78, '-');
    EXPECT_EQ(title, "\n" + rule + "\n" +
                         "\tOstrel Device Scanner 0.2\n"
                         "\tRec Ostrel actors SEC_KEY and data from sensors\n"
                         "\tmore: ** https://ostrel.example/scanner **\n" +
                         rule + "\n\r");
}

class ScannerTest : public LibFixture {
  protected:
    bool exists(const std::string &rel) const {
        struct stat st;
        return stat(path(rel).c_str(), &st) == 0;
    }
};

// --- version check --------------------------------------------------------

struct VersionCase {
    int version;
    const char *printed; // after "osl_lib_version: "
    int status;
    bool opens;
};
void PrintTo(const VersionCase &c, std::ostream *os) {
    *os << "version " << c.version;
}

int reported_version;
int fake_lib_version() {
    return reported_version;
}

class ScannerVersionTest : public ScannerTest, public ::testing::WithParamInterface<VersionCase> {};

// No adapter here, so a version that passes ends at the open with status 2.
TEST_P(ScannerVersionTest, TooOldStopsBeforeTheAdapterElseOpens) {
    const VersionCase &c = GetParam();
    sim.present = false;
    reported_version = c.version;

    StdoutCapture out;
    int status = scanner_run(fake_lib_version);
    std::string text = out.stop();

    EXPECT_EQ(status, c.status);
    std::string expected = title + "osl_lib_version: " + c.printed;
    if (c.opens) {
        expected += "[osl err] BLE dev not found";
        EXPECT_EQ(sim.calls(), std::vector<std::string>{"get_route"});
    } else {
        EXPECT_TRUE(sim.calls().empty());
        EXPECT_FALSE(exists("osl")) << "a library too old must not even take the lock";
    }
    EXPECT_EQ(text, expected);
}

std::string version_name(const ::testing::TestParamInfo<VersionCase> &info) {
    char name[16];
    int v = info.param.version;
    snprintf(name, sizeof name, v < 0 ? "VMinus%X" : "V%X", static_cast<unsigned>(v < 0 ? -v : v));
    return name;
}

INSTANTIATE_TEST_SUITE_P(Versions, ScannerVersionTest,
                         ::testing::Values(VersionCase{0x200, "0200 - ok\n", 2, true},
                                           VersionCase{0x201, "0201 - ok\n", 2, true},
                                           VersionCase{0x1FF, "01FF - nok - stop", 1, false},
                                           VersionCase{0, "0000 - nok - stop", 1, false},
                                           VersionCase{-1, "FFFFFFFF - nok - stop", 1, false}),
                         version_name);

// --- open failures ----------------------------------------------------------

TEST_F(ScannerTest, LockHeldByAnotherProgramEndsWithStatusTwo) {
    int other = open(path("osl").c_str(), O_RDWR | O_CREAT, 0666);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);

    StdoutCapture out;
    int status = scanner_run(osl_bt_lib_version);
    std::string text = mask_times(out.stop());

    EXPECT_EQ(status, 2);
    EXPECT_EQ(text, title + "osl_lib_version: 0200 - ok\nT [osl open] err:already running\n");
    EXPECT_TRUE(sim.calls().empty());
    close(other);
}

TEST_F(ScannerTest, ScanRefusedEndsWithStatusTwoAndNothingOfItsOwn) {
    sim.status(osl::sim::Call::ScanEnable, osl::hci::STATUS_COMMAND_DISALLOWED, -1);

    StdoutCapture out;
    int status = scanner_run(osl_bt_lib_version);
    std::string text = mask_times(out.stop());

    EXPECT_EQ(status, 2);
    // Only the library's own lines follow the version line.
    const std::string head = title + "osl_lib_version: 0200 - ok\n";
    ASSERT_EQ(text.substr(0, head.size()), head);
    EXPECT_NE(text.find("[osl err] ble scan enable", head.size()), std::string::npos) << text;
}

// --- the run: open without lamps, loop, interrupt, close -------------------

// The whole program in a child process with the real 10 ms tick, stopped by
// SIGINT as from a terminal. There is no GPIO tree here, so any lamp would
// have failed the open.
TEST_F(ScannerTest, RunsUntilInterruptedThenClosesAndExitsZero) {
    const std::string out = path("out");
    Child child(out, path("err"), [&] {
        int status = scanner_main();
        write_file(path("report"), "flags=" + std::to_string(osl_verbosity) +
                                       " scanning=" + std::to_string(sim.scanning()) +
                                       " sockets=" + std::to_string(sim.open_sockets()));
        return status;
    });

    // The start line must reach the file while the program still runs: its
    // output is line-buffered.
    ASSERT_TRUE(
        wait_until([&] { return read_file(out).find("[osl start] ok\n") != std::string::npos; },
                   std::chrono::seconds(30)))
        << read_file(out);
    ASSERT_FALSE(child.ended());

    // A SIGINT that lands before the open's last step is forgotten by design,
    // so keep interrupting until the program ends.
    bool ended = child.interrupt();
    ASSERT_TRUE(ended);
    ASSERT_TRUE(WIFEXITED(child.status())) << child.status();
    EXPECT_EQ(WEXITSTATUS(child.status()), 0);

    EXPECT_EQ(mask_times(read_file(out)), title +
                                              "osl_lib_version: 0200 - ok\n"
                                              "T [osl open] mac:563412EB27B8 | osl_lib:00000200\n"
                                              "T [osl start] ok\n\r"
                                              "T [osl stop] stopped\n\r"
                                              "T [osl close] closed\n\r"
                                              "T [osl closed]\n\r");
    EXPECT_EQ(read_file(path("err")), "");
    EXPECT_EQ(read_file(path("report")), "flags=7 scanning=0 sockets=0");
}

// What the tool is for: every sensor frame and key announcement it hears is
// printed, air-quality frames are not, and the queue is drained.
TEST_F(ScannerTest, PrintsSensorFramesAndKeyAnnouncementsButNoAirFrames) {
    DeviceBlock meteo;
    meteo.wt = 1000;
    meteo.type = OSL_DEV_METEO;
    meteo.vcc = 213;
    meteo.nm = 30;
    meteo.b7 = {0x01, 0x09, 0x0E, 45, 7, 0x0C, 0xE4, 0x01, 0xF4};
    AirBlock air;
    air.kelvin_x100 = 29595;
    air.vcc = 213;

    const std::string out = path("out");
    Child child(out, path("err"), [&] {
        // The devices are heard as soon as the scanner listens.
        sim.on_listen = [&](int) {
            sim.deliver(air_report(addr_from_text("112233445566"), air.bytes(), -70));
            sim.deliver(sensor_report(addr_from_text("A1B2C3D4E5F6"), meteo.bytes(), -60));
            sim.deliver(sec_key_report(addr_from_text("CBFD786BAA68"),
                                       key_from_text("00112233445566778899AABBCCDDEEFF"), -50));
        };
        return scanner_main();
    });
    ASSERT_TRUE(
        wait_until([&] { return read_file(out).find("[osl rec] SEC_KEY") != std::string::npos; },
                   std::chrono::seconds(30)))
        << read_file(out);
    ASSERT_TRUE(child.interrupt());
    ASSERT_TRUE(WIFEXITED(child.status()));
    EXPECT_EQ(WEXITSTATUS(child.status()), 0);

    EXPECT_EQ(mask_times(read_file(out)),
              title +
                  "osl_lib_version: 0200 - ok\n"
                  "T [osl open] mac:563412EB27B8 | osl_lib:00000200\n"
                  "T [osl start] ok\n\r"
                  "T [osl rec] METEO 0xA1B2C3D4E5F6 <-60dBm 3.00V Nm=60s Wt=1000s>\n\r"
                  "\tT=23.18*C RH=45 L=007 DIN=01 ADC1=3300mV ADC2=500mV\n\r"
                  "T [osl rec] SEC_KEY \"CBFD786BAA68\", \"00112233445566778899AABBCCDDEEFF\"\n\r"
                  "T [osl stop] stopped\n\r"
                  "T [osl close] closed\n\r"
                  "T [osl closed]\n\r");
}

} // namespace
} // namespace osl::test
