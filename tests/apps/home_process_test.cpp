// The real ostrel_home binary, run as a user would on this machine. It uses
// the real lock file /tmp/osl, the real sysfs GPIO root and the real
// Bluetooth stack.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/platform.h"
#include "home.h"
#include "support/capture.h"
#include "support/child.h"
#include "support/lib_fixture.h"

namespace osl::test {
namespace {

const std::string START =
    std::string(HOME_TITLE) + "\n" + HOME_WEB_LINE + "\n" + "osl_lib_version: 0200 - ok\n";

class HomeProcessTest : public LibFixture {
  protected:
    // Runs the binary to its end; the wait status.
    int run_home() {
        Child child(path("out"), path("err"), [] {
            execl(OSL_HOME_PATH, "ostrel_home", static_cast<char *>(nullptr));
            return 127;
        });
        EXPECT_TRUE(child.wait(std::chrono::seconds(60))) << "ostrel_home did not end";
        return child.status();
    }
    std::string out() const { return read_file(path("out")); }
    std::string err() const { return read_file(path("err")); }
};

// Without GPIO the first lamp fails, where the library says nothing: the
// program says what happened.
TEST_F(HomeProcessTest, WithoutGpioPrintsStartLinesExplainsCode200AndExitsTwo) {
    const std::string export_file = std::string(OSL_GPIO_ROOT_DEFAULT) + "/export";
    if (access(export_file.c_str(), W_OK) == 0)
        GTEST_SKIP() << "this machine has sysfs GPIO";

    int status = run_home();

    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_EQ(out(), START);
    EXPECT_EQ(err(), "ostrel_home: the library did not open (code 200): GPIO 26 (receive lamp) "
                     "could not be exported: " +
                         export_file +
                         " could not be opened for writing (no sysfs GPIO here, or no "
                         "permission)\n");
}

// Only one program may have the library open: the lock decides before the
// lamps are touched.
TEST_F(HomeProcessTest, WhileAnotherProgramHoldsTheLockExplainsCode41AndExitsTwo) {
    int other = open(OSL_LOCK_PATH_DEFAULT, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (other < 0 || flock(other, LOCK_EX | LOCK_NB) != 0)
        GTEST_SKIP() << OSL_LOCK_PATH_DEFAULT << " cannot be locked by this test";

    int status = run_home();
    close(other);

    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_EQ(mask_times(out()), START + "T [osl open] err:already running\n");
    EXPECT_EQ(err(), std::string("ostrel_home: the library did not open (code 41): another "
                                 "program has the library open: it holds the lock file ") +
                         OSL_LOCK_PATH_DEFAULT + "\n");
}

} // namespace
} // namespace osl::test
