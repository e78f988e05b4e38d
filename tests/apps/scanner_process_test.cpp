// The real osl_scanner binary, run as a user would on this machine. It uses
// the real lock file /tmp/osl and the real Bluetooth stack.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/hci_port.h"
#include "core/platform.h"
#include "scanner.h"
#include "support/capture.h"
#include "support/child.h"
#include "support/lib_fixture.h"

namespace osl::test {
namespace {

class ScannerProcessTest : public LibFixture {
  protected:
    // Runs the binary to its end; the wait status.
    int run_scanner() {
        Child child(path("out"), path("err"), [] {
            execl(OSL_SCANNER_PATH, "osl_scanner", static_cast<char *>(nullptr));
            return 127;
        });
        EXPECT_TRUE(child.wait()) << "osl_scanner did not end";
        return child.status();
    }
    std::string out() const { return read_file(path("out")); }
    std::string err() const { return read_file(path("err")); }
};

TEST_F(ScannerProcessTest, WithoutAdapterPrintsTitleVersionAndLibraryErrorThenExitsTwo) {
    if (osl_hci_bluez.get_route() >= 0)
        GTEST_SKIP() << "this machine has a Bluetooth adapter";

    int status = run_scanner();

    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_EQ(out(),
              std::string(TITLE) + "osl_lib_version: 0200 - ok\n[osl err] BLE dev not found");
    EXPECT_EQ(err(), "");
}

// Only one program may have the library open: the lock decides before the
// adapter is looked at.
TEST_F(ScannerProcessTest, WhileAnotherProgramHoldsTheLockExitsTwo) {
    int other = open(OSL_LOCK_PATH_DEFAULT, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (other < 0 || flock(other, LOCK_EX | LOCK_NB) != 0)
        GTEST_SKIP() << OSL_LOCK_PATH_DEFAULT << " cannot be locked by this test";

    int status = run_scanner();
    close(other);

    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_EQ(mask_times(out()),
              std::string(TITLE) +
                  "osl_lib_version: 0200 - ok\nT [osl open] err:already running\n");
    EXPECT_EQ(err(), "");
}

} // namespace
} // namespace osl::test
