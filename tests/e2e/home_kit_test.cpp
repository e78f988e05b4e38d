// ostrel_home's own code against the virtual kit, with the real 10 ms timer,
// as tools/demo.sh shows it: each sensor action answers the frames of its
// demonstration address, and only those.
#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <sys/stat.h>
#include <string>
#include <sys/wait.h>

#include "home.h"
#include "sim/virtkit/in_process.h"
#include "support/capture.h"
#include "support/child.h"
#include "support/lib_fixture.h"

namespace osl::test {
namespace {

// A line each action prints and the library's frame lines never do: the
// start of the line (after any stray "\r" of the line before), and a text
// it must hold.
struct Action {
    const char *sensor;
    const char *starts;
    const char *holds;
};
const Action actions[] = {
    {"meteo", " Nm=", " Wt="},
    {"motion", " OBJECT DETECTED !!", ""}, // when the sensor saw something
    {"button", "", "Function: "},
    {"flood", " ------> ", "FLOOD"},
    {"magneto", " ------> ", "MAGNET"},
};

bool printed(const std::string &text, const Action &a) {
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line[0] == '\r')
            line.erase(0, 1);
        if (line.rfind(a.starts, 0) == 0 && line.find(a.holds) != std::string::npos)
            return true;
    }
    return false;
}

class HomeKitTest : public LibFixture {
  protected:
    // Runs the program against the kit until `done` holds for its output,
    // then stops it with SIGINT; the whole output.
    std::string run(void (*arrange)(virtkit::Kit &),
                    const std::function<bool(const std::string &)> &done) {
        make_lamp_tree();
        const std::string out = path("out");
        Child child(out, path("err"), [&] {
            virtkit::Kit kit;
            arrange(kit);
            virtkit::InProcessKit on_air(kit);
            on_air.start();
            return home_main();
        });
        // A button is clicked only now and then: many rounds of 2.5 s, on a
        // loaded machine.
        EXPECT_TRUE(wait_until([&] { return done(read_file(out)); }, std::chrono::seconds(90)))
            << read_file(out);
        bool ended = child.interrupt();
        EXPECT_TRUE(ended);
        EXPECT_TRUE(WIFEXITED(child.status()) && WEXITSTATUS(child.status()) == 0)
            << child.status();
        return read_file(out);
    }

    // The program drives GPIO 26, 19 and 13; here they are files.
    void make_lamp_tree() {
        mkdir(path("gpio").c_str(), 0700);
        write_file(path("gpio/export"), "");
        write_file(path("gpio/unexport"), "");
        for (int pin : {26, 19, 13}) {
            const std::string dir = path("gpio/gpio" + std::to_string(pin));
            mkdir(dir.c_str(), 0700);
            write_file(dir + "/direction", "");
            write_file(dir + "/value", "");
        }
    }
};

TEST_F(HomeKitTest, EverySensorActionAnswersItsDemonstrationAddress) {
    const std::string text = run([](virtkit::Kit &) {},
                                 [](const std::string &t) {
                                     for (const Action &a : actions)
                                         if (!printed(t, a))
                                             return false;
                                     return true;
                                 });
    for (const Action &a : actions)
        EXPECT_TRUE(printed(text, a)) << a.sensor << "\n" << text;
    const std::string end = "T [osl stop] stopped\n\rT [osl close] closed\n\rT [osl closed]\n\r";
    const std::string masked = mask_times(text);
    ASSERT_GE(masked.size(), end.size());
    EXPECT_EQ(masked.substr(masked.size() - end.size()), end);
}

// The same kit with every sensor moved to addresses the program does not
// know: the library still prints their frames, the program acts on none.
TEST_F(HomeKitTest, SensorsAtOtherAddressesGetNoAction) {
    const std::string text = run(
        [](virtkit::Kit &kit) {
            const virtkit::Addr elsewhere = {0x22, 0x22, 0x22, 0x22, 0x22, 0x22};
            for (virtkit::Device *d : {static_cast<virtkit::Device *>(&kit.meteo),
                                       static_cast<virtkit::Device *>(&kit.motion),
                                       static_cast<virtkit::Device *>(&kit.button),
                                       static_cast<virtkit::Device *>(&kit.flood),
                                       static_cast<virtkit::Device *>(&kit.magneto)})
                d->set_addr(elsewhere);
        },
        [](const std::string &t) {
            for (const char *type : {"METEO", "MOTION", "BUTTON", "FLOOD", "MAGNETO"})
                if (t.find(std::string("[osl rec] ") + type + " 0x222222222222") ==
                    std::string::npos)
                    return false;
            return true;
        });
    for (const Action &a : actions)
        EXPECT_FALSE(printed(text, a)) << a.sensor << "\n" << text;
    EXPECT_EQ(text.find(" chT="), std::string::npos) << text;
}

} // namespace
} // namespace osl::test
