// The demonstration plumbing that tools/demo.sh runs: a program gets the
// virtual kit, a scratch lock file and a scratch GPIO tree its lamps can
// use, and --seconds stops it as Ctrl-C would.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "demo.h"
#include "osl.h"
#include "support/capture.h"

namespace osl::test {
namespace {

int opened;
int records;

// A program that lights lamps on the three lines and reads until stopped.
int lamp_program() {
    opened = osl_bt_open(26, 19, 13, OSL_LOG_LIB);
    if (opened != 0)
        return 2;
    osl_record rec;
    int got;
    while ((got = osl_bt_read(&rec)) != -1) {
        if (got > 0)
            records++;
        osl_sleep_ms(100);
    }
    osl_bt_close();
    return 7;
}

TEST(DemoTest, LampsOpenOnTheScratchTreeAndSecondsStopTheProgram) {
    osl::demo::Setup setup;
    setup.lamp_pins[0] = 26;
    setup.lamp_pins[1] = 19;
    setup.lamp_pins[2] = 13;
    char name[] = "demo";
    char opt[] = "--seconds";
    char three[] = "3";
    char *argv[] = {name, opt, three, nullptr};

    StdoutCapture out;
    const auto start = std::chrono::steady_clock::now();
    const int status = osl::demo::run(3, argv, lamp_program, setup);
    const auto took = std::chrono::steady_clock::now() - start;
    const std::string text = mask_times(out.stop());

    EXPECT_EQ(opened, 0) << text;
    EXPECT_EQ(status, 7) << "the program's own exit status";
    EXPECT_GT(records, 0) << "the kit's sensors were heard";
    EXPECT_GE(took, std::chrono::seconds(3));
    EXPECT_LT(took, std::chrono::seconds(60));
    EXPECT_NE(text.find("T [osl start] ok\n\r"), std::string::npos) << text;
    EXPECT_NE(text.find("T [osl closed]\n\r"), std::string::npos) << text;
}

TEST(DemoTest, BadArgumentsRunNothing) {
    char name[] = "demo";
    char opt[] = "--seconds";
    char bad[] = "soon";
    char *argv[] = {name, opt, bad, nullptr};
    opened = -1;
    EXPECT_EQ(osl::demo::run(3, argv, lamp_program), 2);
    EXPECT_EQ(opened, -1);
    char *alone[] = {name, opt, nullptr};
    EXPECT_EQ(osl::demo::run(2, alone, lamp_program), 2);
    EXPECT_EQ(opened, -1);
}

} // namespace
} // namespace osl::test
