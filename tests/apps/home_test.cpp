// ostrel_home's logic: the actions as functions of a record, the dispatch
// table, the loop against the simulated adapter (paced by hand, and under
// the real 10 ms timer in a child process), and the failed opens.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "core/platform.h"
#include "home.h"
#include "lifecycle.h"
#include "osl.h"
#include "schedule/time_of_day.h"
#include "support/capture.h"
#include "support/child.h"
#include "support/frames.h"
#include "support/lib_fixture.h"

namespace osl::test {
namespace {

const char *const SENSOR_BOARD = "111111111111";
const char *const CONTACT_BOARD = "CBFD786BAA68";

const std::string START = std::string(HOME_TITLE) + "\n" + HOME_WEB_LINE + "\n";

osl_record record_of(const char *addr, const DeviceBlock &block, int8_t rssi = -60) {
    osl_record rec{};
    const Block payload = block.bytes();
    const Addr a = addr_from_text(addr);
    std::copy(payload.begin(), payload.end(), rec.payload);
    std::copy(a.begin(), a.end(), rec.addr);
    rec.rssi = rssi;
    return rec;
}

DeviceBlock block(uint8_t type, uint8_t vcc, std::array<uint8_t, 9> b7, uint8_t nm = 0,
                  uint32_t wt = 0) {
    DeviceBlock b;
    b.type = type;
    b.vcc = vcc;
    b.nm = nm;
    b.wt = wt;
    b.b7 = b7;
    return b;
}

TEST(HomeStartLines, TitleAndWebAddress) {
    EXPECT_STREQ(HOME_TITLE, "\n\t**** Ostrel Smart Home v0.1 ***");
    EXPECT_STREQ(HOME_WEB_LINE, "\t****     https://ostrel.example/home     ***\n");
}

// --- the sensor actions ------------------------------------------------------

struct ActionCase {
    const char *name;
    int (*action)(const osl_record *);
    const char *addr;
    DeviceBlock block;
    int8_t rssi;
    std::string printed; // time stamps masked; empty: not the action's device
};
void PrintTo(const ActionCase &c, std::ostream *os) {
    *os << c.name;
}

class HomeActionTest : public ::testing::TestWithParam<ActionCase> {};

TEST_P(HomeActionTest, PrintsTheReadingsOfItsOwnDeviceOnly) {
    const ActionCase &c = GetParam();
    const osl_record rec = record_of(c.addr, c.block, c.rssi);

    StdoutCapture out;
    const int result = c.action(&rec);
    const std::string printed = mask_times(out.stop());

    EXPECT_EQ(printed, c.printed);
    if (c.printed.empty()) {
        EXPECT_EQ(result, 0);
    } else {
        // The result of the last print: the length of the last line.
        const size_t last = printed.rfind('\n', printed.size() - 2);
        EXPECT_EQ(result, static_cast<int>(printed.size() - (last + 1)));
    }
}

const ActionCase ACTION_CASES[] = {
    {"button_double_click", button_action, SENSOR_BOARD,
     block(OSL_DEV_BUTTON, 213, {2, 0x01, 0xFD, 40}), 0,
     "T  Function: DOUBLE_CLICK\n L=40 chT=-3*C INPUTS=01\n Vcc=3.00V\n"},
    {"button_single_click", button_action, SENSOR_BOARD,
     block(OSL_DEV_BUTTON, 213, {1, 0x80, 0x7F, 0}), 0,
     "T  Function: SINGLE_CLICK\n L=0 chT=127*C INPUTS=80\n Vcc=3.00V\n"},
    {"button_holding", button_action, SENSOR_BOARD,
     block(OSL_DEV_BUTTON, 255, {3, 0xFF, 0x80, 255}), 0,
     "T  Function: HOLDING\n L=255 chT=-128*C INPUTS=FF\n Vcc=3.59V\n"},
    // No function line: the readings continue the time stamp's line.
    {"button_other_function", button_action, SENSOR_BOARD,
     block(OSL_DEV_BUTTON, 142, {4, 0xA5, 25, 7}), 0, "T   L=7 chT=25*C INPUTS=A5\n Vcc=2.00V\n"},
    {"button_from_elsewhere", button_action, CONTACT_BOARD,
     block(OSL_DEV_BUTTON, 213, {2, 0x01, 0xFD, 40}), 0, ""},

    {"meteo_below_zero", meteo_action, SENSOR_BOARD,
     block(OSL_DEV_METEO, 213, {0x0A, 0xFF, 0xCE, 5, 7, 0x0C, 0xE4, 0x01, 0xF4}, 30, 0xFFFFFFFF),
     -60,
     " T=-0.50*C RH= 5 L=007 INPUTS=0A\n ADC1=3300mV ADC2=500mV\n 3.00V\n Nm=60s Wt=-1s>\n"
     " -60dBm\n"},
    {"meteo_minus_one", meteo_action, SENSOR_BOARD,
     block(OSL_DEV_METEO, 213, {0x00, 0xFF, 0x9C, 100, 0}), -1,
     " T=-1.00*C RH=100 L=000 INPUTS=00\n ADC1=0mV ADC2=0mV\n 3.00V\n Nm=0s Wt=0s>\n -1dBm\n"},
    {"meteo_warm", meteo_action, SENSOR_BOARD,
     block(OSL_DEV_METEO, 0, {0x01, 0x09, 0x0E, 45, 255, 0x00, 0x00, 0xFF, 0xFF}, 255, 1000), 127,
     " T=23.18*C RH=45 L=255 INPUTS=01\n ADC1=0mV ADC2=65535mV\n 0.00V\n Nm=510s Wt=1000s>\n"
     " 127dBm\n"},
    {"meteo_from_elsewhere", meteo_action, CONTACT_BOARD,
     block(OSL_DEV_METEO, 213, {0x0A, 0xFF, 0xCE, 5, 7}), -60, ""},

    {"motion_object_at_light_24", motion_action, SENSOR_BOARD,
     block(OSL_DEV_MOTION, 213, {0x80, 0xFB, 24, 0x0C, 0xE4, 0x01, 0xF4, 1, 2}), 0,
     " OBJECT DETECTED !!\n ADC1=3300mV ADC2=500mV\n L=24 chT=-5*C F=80\n Vcc=3.00V\n"},
    // Above light 24 the voltage line still shows byte 5 / 71.
    {"motion_quiet_at_light_25", motion_action, SENSOR_BOARD,
     block(OSL_DEV_MOTION, 200, {0x7F, 20, 25, 0, 1, 0, 2}), 0,
     " ADC1=1mV ADC2=2mV\n L=25 chT=20*C F=7F\n Vcc=2.82V\n"},
    {"motion_at_light_255", motion_action, SENSOR_BOARD, block(OSL_DEV_MOTION, 71, {0x00, 0, 255}),
     0, " ADC1=0mV ADC2=0mV\n L=255 chT=0*C F=00\n Vcc=1.00V\n"},
    {"motion_from_elsewhere", motion_action, CONTACT_BOARD,
     block(OSL_DEV_MOTION, 213, {0x80, 0xFB, 24}), 0, ""},

    {"magneto_closed_at_light_29", magneto_action, CONTACT_BOARD,
     block(OSL_DEV_MAGNETO, 213, {0x80, 0x14, 29, 0, 100, 0, 200}), 0,
     "\n ------> MAGNET detected !!!\n ADC1=100mV ADC2=200mV\n L=29 chT=20*C F=80\n Vcc=3.00V\n"},
    {"magneto_open_at_light_30", magneto_action, CONTACT_BOARD,
     block(OSL_DEV_MAGNETO, 71, {0x01, 0xEC, 30, 0x0C, 0xE4, 0x01, 0xF4}), 0,
     "\n ------> no MAGNET\n ADC1=3300mV ADC2=500mV\n L=30 chT=-20*C F=01\n Vcc=1.00V\n"},
    {"magneto_from_elsewhere", magneto_action, SENSOR_BOARD,
     block(OSL_DEV_MAGNETO, 213, {0x80, 0x14, 29}), 0, ""},

    {"flood_alert", flood_action, CONTACT_BOARD, block(OSL_DEV_FLOOD, 213, {0x03, 21}), 0,
     "\n ------> FLOOD ALERT !!\n chT=21*C\n 3.00V\n"},
    {"flood_dry", flood_action, CONTACT_BOARD, block(OSL_DEV_FLOOD, 213, {0x02, 0xF6}), 0,
     "\n ------> NO FLOOD :-)\n chT=-10*C\n 3.00V\n"},
    {"flood_from_elsewhere", flood_action, SENSOR_BOARD, block(OSL_DEV_FLOOD, 213, {0x01, 21}), 0,
     ""},
};

INSTANTIATE_TEST_SUITE_P(Records, HomeActionTest, ::testing::ValuesIn(ACTION_CASES),
                         [](const auto &case_info) { return std::string(case_info.param.name); });

// --- the dispatch table ------------------------------------------------------

// A record that every sensor action of the sensor board would print.
TEST(HomeDispatch, EachReadResultReachesItsActionOrNothing) {
    const osl_record board = record_of(SENSOR_BOARD, block(OSL_DEV_METEO, 213, {2, 0x01, 0xFD}));
    const osl_record contacts = record_of(CONTACT_BOARD, block(OSL_DEV_FLOOD, 213, {0x80, 0x14}));
    struct Case {
        int read;
        const osl_record *rec;
        int (*action)(const osl_record *); // null: nothing is called
    };
    const Case cases[] = {
        {1, &board, meteo_action},    {2, &board, motion_action},     {3, &board, button_action},
        {4, &contacts, flood_action}, {5, &contacts, magneto_action}, {-1, &board, nullptr},
        {0, &board, nullptr},         {6, &board, nullptr},           {19, &board, nullptr},
        {23, &board, nullptr},        {254, &board, nullptr},         {255, &contacts, nullptr},
    };
    for (const Case &c : cases) {
        StdoutCapture expected_out;
        const int expected = c.action ? c.action(c.rec) : c.read;
        const std::string expected_text = mask_times(expected_out.stop());

        StdoutCapture out;
        const int result = home_dispatch(c.read, c.rec);
        EXPECT_EQ(mask_times(out.stop()), expected_text) << c.read;
        EXPECT_EQ(result, expected) << c.read;
        if (c.action == nullptr) {
            EXPECT_EQ(expected_text, "") << c.read;
        }
    }
}

// With no actor registered, the comply operations answer -2: the actor types
// reach them rather than being passed on.
TEST(HomeDispatch, ActorTypesGoToTheirComplyOperation) {
    const osl_record rec = record_of(CONTACT_BOARD, block(OSL_DEV_RELAY, 213, {0x05}));
    for (int type : {OSL_DEV_RELAY, OSL_DEV_DIMMER, OSL_DEV_PWM})
        EXPECT_EQ(home_dispatch(type, &rec), -2) << type;
}

// --- the scheduled action ----------------------------------------------------

time_t fake_now;
time_t fake_clock(time_t *t) {
    if (t != nullptr)
        *t = fake_now;
    return fake_now;
}

// The predicates read the clock the test sets; the time stamp is the log's own.
TEST(HomeScheduledAction, PrintsItsLineAndAnswersWhetherItIsBetweenTwelveAndTenPast) {
    setenv("TZ", "UTC0", 1);
    tzset();
    osl_wall_clock = fake_clock;
    struct Case {
        int hour, minute;
        int result;
    };
    // 2024-01-01 was a Monday.
    for (const Case &c : {Case{12, 5, 1}, Case{12, 0, 0}, Case{12, 10, 0}, Case{11, 59, 0}}) {
        fake_now = 1704067200 + c.hour * 3600 + c.minute * 60;
        StdoutCapture out;
        EXPECT_EQ(scheduled_action(), c.result) << c.hour << ":" << c.minute;
        EXPECT_EQ(mask_times(out.stop()), "T  --- check scheduled_action()\n");
    }
    osl_wall_clock = time;
}

// --- what a failed open tells the user ----------------------------------------

// The texts are the library's; the lamp texts name the lines of the last
// open, so each case first fails an open with the program's lamps, on a GPIO
// tree that is not there.
class HomeOpenCodes : public LibFixture {
  protected:
    void SetUp() override {
        LibFixture::SetUp();
        osl_gpio_root = missing_root_.c_str();
        ASSERT_EQ(osl_bt_open(HOME_GPIO_RX, HOME_GPIO_TX, HOME_GPIO_PWR, 0),
                  OSL_OPEN_LAMP + OSL_OPEN_LAMP_EXPORT);
    }
    const std::string missing_root_ = path("no-gpio-here");
};

TEST_F(HomeOpenCodes, LampCodesNameTheLineAndItsSysfsFile) {
    const std::string root = missing_root_;
    struct Case {
        int code;
        std::string meaning;
    };
    const std::string no_gpio =
        " could not be opened for writing (no sysfs GPIO here, or no permission)";
    // Lamps 1 to 3, each with its three steps.
    constexpr int RX = OSL_OPEN_LAMP, TX = OSL_OPEN_LAMP + 3, PWR = OSL_OPEN_LAMP + 6;
    const Case cases[] = {
        {RX + OSL_OPEN_LAMP_EXPORT,
         "GPIO 26 (receive lamp) could not be exported: " + root + "/export" + no_gpio},
        {RX + OSL_OPEN_LAMP_DIRECTION, "GPIO 26 (receive lamp) could not be made an output: " +
                                           root + "/gpio26/direction could not be written"},
        {RX + OSL_OPEN_LAMP_VALUE,
         "GPIO 26 (receive lamp) could not be switched: its value file did not open: " + root +
             "/gpio26/value"},
        {TX + OSL_OPEN_LAMP_EXPORT,
         "GPIO 19 (transmit lamp) could not be exported: " + root + "/export" + no_gpio},
        {TX + OSL_OPEN_LAMP_DIRECTION, "GPIO 19 (transmit lamp) could not be made an output: " +
                                           root + "/gpio19/direction could not be written"},
        {TX + OSL_OPEN_LAMP_VALUE,
         "GPIO 19 (transmit lamp) could not be switched: its value file did not open: " + root +
             "/gpio19/value"},
        {PWR + OSL_OPEN_LAMP_EXPORT,
         "GPIO 13 (power lamp) could not be exported: " + root + "/export" + no_gpio},
        {PWR + OSL_OPEN_LAMP_DIRECTION, "GPIO 13 (power lamp) could not be made an output: " +
                                            root + "/gpio13/direction could not be written"},
        {PWR + OSL_OPEN_LAMP_VALUE,
         "GPIO 13 (power lamp) could not be switched: its value file did not open: " + root +
             "/gpio13/value"},
        {OSL_OPEN_LOCKED, std::string("another program has the library open: it holds the lock "
                                      "file ") +
                              osl_lock_path},
    };
    for (const Case &c : cases)
        EXPECT_EQ(open_code_meaning(c.code), c.meaning) << c.code;
}

TEST_F(HomeOpenCodes, EveryCodeOfTheLibraryHasAMeaningOfItsOwn) {
    const std::string unknown = open_code_meaning(OSL_OPEN_OK);
    std::vector<std::string> seen;
    for (int code : {OSL_OPEN_LOCKED, OSL_OPEN_QUEUE, OSL_OPEN_NO_ADAPTER, OSL_OPEN_SOCKET,
                     OSL_OPEN_BIND, OSL_OPEN_NONBLOCK, OSL_OPEN_SCAN_PARAMS, OSL_OPEN_SCAN_ENABLE,
                     OSL_OPEN_FILTER_GET, OSL_OPEN_FILTER_SET, OSL_OPEN_TIMER}) {
        const std::string meaning = open_code_meaning(code);
        EXPECT_NE(meaning, unknown) << code;
        EXPECT_EQ(std::count(seen.begin(), seen.end(), meaning), 0) << code << ": " << meaning;
        seen.push_back(meaning);
    }
    for (int code = OSL_OPEN_LAMP; code <= OSL_OPEN_LAMP_LAST; code++) {
        const std::string meaning = open_code_meaning(code);
        EXPECT_NE(meaning, unknown) << code;
        EXPECT_EQ(std::count(seen.begin(), seen.end(), meaning), 0) << code << ": " << meaning;
        seen.push_back(meaning);
    }
    for (int code : {1, 3, 20, 43, OSL_OPEN_LAMP - 1, OSL_OPEN_LAMP_LAST + 1, -1})
        EXPECT_EQ(open_code_meaning(code), unknown) << code;
}

// --- the program against the simulated adapter ---------------------------------

// Passes paced by hand: each pause runs one tick and then the test's hook.
std::vector<int> pauses;
std::function<void(uint32_t pass)> on_pause;
void hand_pause(int ms) {
    pauses.push_back(ms);
    osl_timer_handler(SIGALRM);
    if (on_pause)
        on_pause(static_cast<uint32_t>(pauses.size()));
}

const std::string OPENED = START + "osl_lib_version: 0200 - ok\n"
                                   "T [osl open] mac:563412EB27B8 | osl_lib:00000200\n"
                                   "T [osl start] ok\n\r";
const std::string CLOSED = "T [osl stop] stopped\n\r"
                           "T [osl close] closed\n\r"
                           "T [osl closed]\n\r";

class HomeTest : public LibFixture {
  protected:
    void TearDown() override {
        on_pause = nullptr;
        pauses.clear();
        LibFixture::TearDown();
    }

    // The lamps' GPIO lines, as if sysfs had them.
    void make_gpio_tree() {
        const std::string root = path("gpio");
        ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
        write_file(root + "/export", "");
        write_file(root + "/unexport", "");
        for (int gpio : {HOME_GPIO_RX, HOME_GPIO_TX, HOME_GPIO_PWR}) {
            const std::string line = root + "/gpio" + std::to_string(gpio);
            ASSERT_EQ(mkdir(line.c_str(), 0755), 0);
            write_file(line + "/direction", "");
            write_file(line + "/value", "");
        }
    }
};

int reported_version;
int fake_lib_version() {
    return reported_version;
}

TEST_F(HomeTest, LibraryTooOldStopsBeforeTheLockAndTheAdapter) {
    struct Case {
        int version;
        const char *printed;
    };
    for (const Case &c : {Case{0x1FF, "01FF"}, Case{0, "0000"}, Case{-1, "FFFFFFFF"}}) {
        reported_version = c.version;
        StdoutCapture out;
        const int status = home_run({fake_lib_version, hand_pause});
        EXPECT_EQ(out.stop(), START + "osl_lib_version: " + c.printed + " - nok - stop");
        EXPECT_EQ(status, 1);
    }
    EXPECT_TRUE(sim.calls().empty());
    EXPECT_TRUE(pauses.empty());
    struct stat st;
    EXPECT_NE(stat(path("osl").c_str(), &st), 0) << "a library too old must not take the lock";
}

TEST_F(HomeTest, ScheduledActionRunsOnEvery600thPassAndSigintEndsTheNextPass) {
    use_manual_timer();
    make_gpio_tree();
    StdoutCapture out;
    std::string printed;
    std::vector<uint32_t> scheduled;
    on_pause = [&](uint32_t pass) {
        const std::string more = out.take();
        printed += more;
        if (more.find("--- check scheduled_action()") != std::string::npos)
            scheduled.push_back(pass);
        if (pass == 1800)
            raise(SIGINT);
    };

    const int status = home_run({osl_bt_lib_version, hand_pause});
    printed += out.stop();

    EXPECT_EQ(status, 0);
    EXPECT_EQ(scheduled, (std::vector<uint32_t>{600, 1200, 1800}));
    // The interrupted pass is the last: one more read (which answers -1),
    // its pause, then the close.
    EXPECT_EQ(pauses.size(), 1801u);
    EXPECT_EQ(std::count(pauses.begin(), pauses.end(), 100), static_cast<long>(pauses.size()));
    const std::string scheduled_line = "T  --- check scheduled_action()\n";
    EXPECT_EQ(mask_times(printed),
              OPENED + scheduled_line + scheduled_line + scheduled_line + CLOSED);
}

// Actors the tests register, as an application would before it opens.
const char *const RELAY_KEY = "00112233445566778899AABBCCDDEEFF";
const char *const DIMMER_KEY = "FFEEDDCCBBAA99887766554433221100";
const char *const PWM_KEY = "0F1E2D3C4B5A69788796A5B4C3D2E1F0";

// Once per process: registrations last as long as the process, and a child
// inherits its parent's.
void register_actors() {
    static bool registered = false;
    if (registered)
        return;
    registered = true;
    ASSERT_EQ(osl_relay_add("hall", "A0A1A2A3A4A5", RELAY_KEY), 0);
    ASSERT_EQ(osl_dimmer_add("desk", "B0B1B2B3B4B5", DIMMER_KEY), 0);
    ASSERT_EQ(osl_pwm_add("strip", "C0C1C2C3C4C5", PWM_KEY), 0);
}

Bytes sensor_frame(const char *from, const DeviceBlock &b, int8_t rssi) {
    return sensor_report(addr_from_text(from), b.bytes(), rssi);
}

// Every kind of record the loop meets, heard in one tick (at most ten events).
std::vector<Bytes> frames_of_every_kind() {
    return {
        sensor_frame(
            SENSOR_BOARD,
            block(OSL_DEV_METEO, 213, {0x01, 0x09, 0x0E, 45, 7, 0x0C, 0xE4, 0x01, 0xF4}, 30, 1000),
            -60),
        sensor_frame(SENSOR_BOARD, block(OSL_DEV_BUTTON, 213, {2, 0x01, 0xFD, 40, 0, 0, 0, 1, 2}),
                     -61),
        sensor_frame(SENSOR_BOARD,
                     block(OSL_DEV_MOTION, 213, {0x80, 0xFB, 24, 0x0C, 0xE4, 0x01, 0xF4, 1, 2}),
                     -62),
        sensor_frame(CONTACT_BOARD, block(OSL_DEV_FLOOD, 142, {0x03, 21, 0, 0, 0, 0, 0, 1, 2}, 10),
                     -63),
        sensor_frame(CONTACT_BOARD,
                     block(OSL_DEV_MAGNETO, 71, {0x80, 0x14, 29, 0, 100, 0, 200, 1, 2}, 10), -64),
        // The weather sensor of another board: only the library's line.
        sensor_frame(
            "A1B2C3D4E5F6",
            block(OSL_DEV_METEO, 213, {0x01, 0x09, 0x0E, 45, 7, 0x0C, 0xE4, 0x01, 0xF4}, 30, 1000),
            -65),
        // A sensor of a type the program has no action for.
        sensor_frame(SENSOR_BOARD, block(9, 213, {}), -66),
        // Actors reporting the state the application wants (all off).
        actor_report(addr_from_text("A0A1A2A3A4A5"), block(OSL_DEV_RELAY, 213, {0x00}).bytes(),
                     key_from_text(RELAY_KEY), -67),
        actor_report(addr_from_text("B0B1B2B3B4B5"), block(OSL_DEV_DIMMER, 213, {20, 9, 0}).bytes(),
                     key_from_text(DIMMER_KEY), -68),
        actor_report(addr_from_text("C0C1C2C3C4C5"),
                     block(OSL_DEV_PWM, 213, {20, 9, 0, 0, 0}).bytes(), key_from_text(PWM_KEY),
                     -69),
    };
}

// What the library prints for those frames, in the order heard.
const std::string LIBRARY_LINES_OF_EVERY_KIND =
    "T [osl rec] METEO 0x111111111111 <-60dBm 3.00V Nm=60s Wt=1000s>\n\r"
    "\tT=23.18*C RH=45 L=007 DIN=01 ADC1=3300mV ADC2=500mV\n\r"
    "T [osl rec] BUTTON 0x111111111111 <-61dBm fw01.02 3.00V>\n\r"
    "\tL=40 Ct=-3*C Mf=02 I=01 DOUBLE CLICK\n\r"
    "T [osl rec] MOTION 0x111111111111 <-62dBm fw01.02 3.00V Wt=0s>\n\r"
    "\tL=24 Ct=-5*C Mf=80 ADC1=3300mV ADC2=500mV OBJECT DETECTED !!\n\r"
    "T [osl rec] FLOOD 0xCBFD786BAA68 <-63dBm fw01.02 2.00V Nm=20s Wt=0s>\n\r"
    "\tCt=21*C Ff=03 FLOOD ALERT\n\r"
    "T [osl rec] MAGNETO 0xCBFD786BAA68 <-64dBm fw01.02 1.00V Nm=20s Wt=0s>\n\r"
    "\tL=29 Ct=20*C Mf=80 ADC1=100mV ADC2=200mV CLOSED\n\r"
    "T [osl rec] METEO 0xA1B2C3D4E5F6 <-65dBm 3.00V Nm=60s Wt=1000s>\n\r"
    "\tT=23.18*C RH=45 L=007 DIN=01 ADC1=3300mV ADC2=500mV\n\r"
    "T [osl rec] UNKNOWN OSL SENSOR 0x111111111111 <-66dBm>\n\r"
    "T [osl rec] RELAY 'hall' <-67dBm fw00.00 3.00V Nm=0s Wt=0s>\n\r"
    "\tL=0 Ct=0*C ch=00 ADC1=0mV ADC2=0mV\n\r"
    "T [osl rec] DIMMER 'desk' <-68dBm fw00.00 3.00V Nm=0s Wt=0s>\n\r"
    "\tL=9 Ct=20*C D=0% ADC1=0mV\n\r"
    "T [osl rec] PWM 'strip' <-69dBm fw00.00 3.00V Nm=0s Wt=0s>\n\r"
    "\tL=9 Ct=20*C PWM=0%,0%,0% ADC1=0mV\n\r";

// ... and what the program's actions add, one record per pass.
const std::string ACTION_LINES_OF_EVERY_KIND =
    " T=23.18*C RH=45 L=007 INPUTS=01\n ADC1=3300mV ADC2=500mV\n 3.00V\n Nm=60s Wt=1000s>\n"
    " -60dBm\n"
    "T  Function: DOUBLE_CLICK\n L=40 chT=-3*C INPUTS=01\n Vcc=3.00V\n"
    " OBJECT DETECTED !!\n ADC1=3300mV ADC2=500mV\n L=24 chT=-5*C F=80\n Vcc=3.00V\n"
    "\n ------> FLOOD ALERT !!\n chT=21*C\n 2.00V\n"
    "\n ------> MAGNET detected !!!\n ADC1=100mV ADC2=200mV\n L=29 chT=20*C F=80\n Vcc=1.00V\n"
    "T [osl comply] relay 'hall' ok\n\r"
    "T [osl comply] dimmer 'desk' ok\n\r"
    "T [osl comply] pwm 'strip' ok\n\r";

TEST_F(HomeTest, RecordsInExactOutputOut) {
    use_manual_timer();
    make_gpio_tree();
    register_actors();
    const std::vector<Bytes> frames = frames_of_every_kind();
    sim.on_listen = [&](int) {
        for (const Bytes &f : frames)
            sim.deliver(f);
    };
    on_pause = [](uint32_t pass) {
        if (pass == 12)
            raise(SIGINT);
    };

    StdoutCapture out;
    const int status = home_run({osl_bt_lib_version, hand_pause});
    const std::string printed = mask_times(out.stop());

    EXPECT_EQ(status, 0);
    EXPECT_EQ(printed, OPENED + LIBRARY_LINES_OF_EVERY_KIND + ACTION_LINES_OF_EVERY_KIND + CLOSED);
    EXPECT_EQ(pauses.size(), 13u);
}

// The whole program as main() runs it, in a process of its own with the real
// 10 ms tick, interrupted as from a terminal once it has acted on everything.
TEST_F(HomeTest, WholeProgramUnderTheRealTimerRunsUntilInterrupted) {
    osl_timer = &osl_timer_posix; // whatever an earlier case in this process chose
    make_gpio_tree();
    const std::string out = path("out");
    Child child(out, path("err"), [&] {
        register_actors();
        const std::vector<Bytes> frames = {
            sensor_frame(SENSOR_BOARD,
                         block(OSL_DEV_BUTTON, 213, {2, 0x01, 0xFD, 40, 0, 0, 0, 1, 2}), -61),
            // The relay reports channels 0 and 2 on; the application wants all off.
            actor_report(addr_from_text("A0A1A2A3A4A5"), block(OSL_DEV_RELAY, 213, {0x05}).bytes(),
                         key_from_text(RELAY_KEY), -67),
            sensor_frame(CONTACT_BOARD,
                         block(OSL_DEV_FLOOD, 213, {0x02, 0xF6, 0, 0, 0, 0, 0, 1, 2}), -63),
        };
        sim.on_listen = [frames](int) {
            for (const Bytes &f : frames)
                osl::sim::Controller::get().deliver(f);
        };
        const int status = home_main();
        write_file(path("report"), "scanning=" + std::to_string(sim.scanning()) +
                                       " sockets=" + std::to_string(sim.open_sockets()));
        return status;
    });

    const std::string last_action = "\n ------> NO FLOOD :-)\n chT=-10*C\n 3.00V\n";
    ASSERT_TRUE(wait_until([&] { return read_file(out).find(last_action) != std::string::npos; },
                           std::chrono::seconds(60)))
        << read_file(out);
    ASSERT_FALSE(child.ended());
    // In the loop, past the open's last step: one interrupt is enough.
    kill(child.pid(), SIGINT);
    ASSERT_TRUE(child.wait(std::chrono::seconds(30)));
    ASSERT_TRUE(WIFEXITED(child.status())) << child.status();
    EXPECT_EQ(WEXITSTATUS(child.status()), 0);

    EXPECT_EQ(mask_times(read_file(out)),
              OPENED +
                  "T [osl rec] BUTTON 0x111111111111 <-61dBm fw01.02 3.00V>\n\r"
                  "\tL=40 Ct=-3*C Mf=02 I=01 DOUBLE CLICK\n\r"
                  "T [osl rec] RELAY 'hall' <-67dBm fw00.00 3.00V Nm=0s Wt=0s>\n\r"
                  "\tL=0 Ct=0*C ch=05 ADC1=0mV ADC2=0mV\n\r"
                  "T [osl rec] FLOOD 0xCBFD786BAA68 <-63dBm fw01.02 3.00V Nm=0s Wt=0s>\n\r"
                  "\tCt=-10*C Ff=02 NO FLOOD\n\r"
                  "T  Function: DOUBLE_CLICK\n L=40 chT=-3*C INPUTS=01\n Vcc=3.00V\n"
                  "T [osl relay comply] send 'hall' 05->00 [0]\n\r" +
                  last_action + CLOSED);
    EXPECT_EQ(read_file(path("err")), "");
    EXPECT_EQ(read_file(path("report")), "scanning=0 sockets=0");
    // The lamps on GPIO 26, 19 and 13: all lit at open, the power lamp until
    // the close, every lamp dark at the end.
    const auto lamp = [&](int gpio) {
        return read_file(path("gpio/gpio" + std::to_string(gpio) + "/value"));
    };
    EXPECT_EQ(lamp(HOME_GPIO_PWR), "10");
    for (int gpio : {HOME_GPIO_RX, HOME_GPIO_TX}) {
        EXPECT_EQ(lamp(gpio).substr(0, 2), "10") << gpio;
        EXPECT_EQ(lamp(gpio).back(), '0') << gpio;
    }
}

// --- failed opens: standard output as ever, the cause on standard error ------

class HomeOpenTest : public HomeTest {
  protected:
    // Runs the program in a child to its end; its exit status.
    int run_to_end() {
        Child child(path("out"), path("err"), [] { return home_main(); });
        EXPECT_TRUE(child.wait(std::chrono::seconds(60))) << "ostrel_home did not end";
        EXPECT_TRUE(WIFEXITED(child.status())) << child.status();
        return WEXITSTATUS(child.status());
    }
    std::string out() const { return mask_times(read_file(path("out"))); }
    std::string err() const { return read_file(path("err")); }
};

TEST_F(HomeOpenTest, WithoutGpioEndsAtTheFirstLampWithCode200) {
    EXPECT_EQ(run_to_end(), 2);
    EXPECT_EQ(out(), START + "osl_lib_version: 0200 - ok\n");
    EXPECT_EQ(err(), "ostrel_home: the library did not open (code 200): GPIO 26 (receive lamp) "
                     "could not be exported: " +
                         path("gpio") +
                         "/export could not be opened for writing (no sysfs GPIO here, or no "
                         "permission)\n");
    EXPECT_TRUE(sim.calls().empty());
}

TEST_F(HomeOpenTest, WithLampsButNoAdapterEndsAfterTheLibrarysLine) {
    make_gpio_tree();
    sim.present = false;
    EXPECT_EQ(run_to_end(), 2);
    EXPECT_EQ(out(), START + "osl_lib_version: 0200 - ok\n[osl err] BLE dev not found");
    EXPECT_EQ(err(), "ostrel_home: the library did not open (code 2): no Bluetooth adapter found "
                     "(is one present, and up?)\n");
}

TEST_F(HomeOpenTest, WhileAnotherProgramHoldsTheLockEndsWithCode41) {
    int other = open(path("osl").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(run_to_end(), 2);
    close(other);
    EXPECT_EQ(out(), START + "osl_lib_version: 0200 - ok\nT [osl open] err:already running\n");
    EXPECT_EQ(err(), "ostrel_home: the library did not open (code 41): another program has the "
                     "library open: it holds the lock file " +
                         path("osl") + "\n");
}

TEST_F(HomeOpenTest, ScanRefusedEndsWithCode24AfterTheLibrarysLine) {
    make_gpio_tree();
    sim.status(osl::sim::Call::ScanEnable, osl::hci::STATUS_COMMAND_DISALLOWED, -1);
    EXPECT_EQ(run_to_end(), 2);
    EXPECT_EQ(out(), START + "osl_lib_version: 0200 - ok\n"
                             "T [osl open] mac:563412EB27B8 | osl_lib:00000200\n"
                             "T [osl err] ble scan enable\n\r");
    EXPECT_EQ(err(), "ostrel_home: the library did not open (code 24): the adapter refused to "
                     "start scanning\n");
}

} // namespace
} // namespace osl::test
