// osl_scanner's own code against the virtual kit, with the real 10 ms
// timer, as tools/demo.sh shows it: every device's line, the actors' key
// announcements, no air frames, and a clean end on Ctrl-C.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/wait.h>

#include "scanner.h"
#include "sim/virtkit/in_process.h"
#include "support/capture.h"
#include "support/child.h"
#include "support/lib_fixture.h"

namespace osl::test {
namespace {

class ScannerKitTest : public LibFixture {};

TEST_F(ScannerKitTest, PrintsEveryDeviceAndTheActorsKeys) {
    const std::string out = path("out");
    Child child(out, path("err"), [&] {
        virtkit::Kit kit;
        virtkit::InProcessKit on_air(kit);
        on_air.start();
        return scanner_main();
    });

    const char *expected[] = {
        "[osl rec] METEO 0x111111111111 <",
        "[osl rec] MOTION 0x111111111111 <",
        "[osl rec] BUTTON 0x111111111111 <",
        "[osl rec] FLOOD 0xCBFD786BAA68 <",
        "[osl rec] MAGNETO 0xCBFD786BAA68 <",
        "[osl rec] SEC_KEY \"C0FFEE000020\", \"2B7E151628AED2A6ABF7158809CF4F3C\"\n\r",
        "[osl rec] SEC_KEY \"C0FFEE000021\", \"603DEB1015CA71BE2B73AEF0857D7781\"\n\r",
        "[osl rec] SEC_KEY \"C0FFEE000022\", \"F58C4C04D6E5F1BA779EABFB5F7BFBD6\"\n\r",
    };
    auto all_seen = [&] {
        const std::string text = read_file(out);
        for (const char *line : expected)
            if (text.find(line) == std::string::npos)
                return false;
        return true;
    };
    // A button is clicked only now and then: allow for many rounds of 2.5 s
    // on a loaded machine.
    ASSERT_TRUE(wait_until(all_seen, std::chrono::seconds(90))) << read_file(out);

    bool ended = child.interrupt();
    ASSERT_TRUE(ended);
    ASSERT_TRUE(WIFEXITED(child.status())) << child.status();
    EXPECT_EQ(WEXITSTATUS(child.status()), 0);

    const std::string text = mask_times(read_file(out));
    // The scanner registers no actor: their state frames are not shown, nor
    // are the air sensor's.
    EXPECT_EQ(text.find("[osl rec] RELAY"), std::string::npos) << text;
    EXPECT_EQ(text.find("[osl rec] Tulvo"), std::string::npos) << text;
    const std::string end = "T [osl stop] stopped\n\rT [osl close] closed\n\rT [osl closed]\n\r";
    ASSERT_GE(text.size(), end.size());
    EXPECT_EQ(text.substr(text.size() - end.size()), end) << text;
    EXPECT_EQ(read_file(path("err")), "");
}

} // namespace
} // namespace osl::test
