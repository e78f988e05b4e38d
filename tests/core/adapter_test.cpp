// The adapter link as osl_bt_open and osl_bt_close drive it, against the
// simulated controller: every open code, the commands with their parameters,
// the socket filter, and the log lines byte for byte.
#include <algorithm>
#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/adapter.h"
#include "core/platform.h"
#include "osl.h"
#include "support/capture.h"
#include "support/child.h"
#include "support/lib_fixture.h"

using osl::sim::Call;
using osl::test::mask_times;
using osl::test::passes_in_child;
using osl::test::StdoutCapture;

namespace {

const std::string MAC_LINE = "T [osl open] mac:563412EB27B8 | osl_lib:00000200\n";
const std::string LIB_FILTER = "10000000"
                               "00000000"
                               "00000040"
                               "0000"
                               "0000";
// What a fresh socket has, and what the library puts back (the test
// controller's own choice, distinct from anything the library writes).
const osl::hci::Filter FRESH_FILTER = {0x12345678u, {0x9ABCDEF0u, 0x0F1E2D3Cu}, 0x4B5A, 0};
const std::string SAVED_FILTER = "78563412"
                                 "F0DEBC9A"
                                 "3C2D1E0F"
                                 "5A4B"
                                 "0000";

// Socket 1000 scans; socket 1001 carries the commands to actors.
const std::vector<std::string> OPEN_CALLS = {
    "get_route",
    "socket",
    "bind sock=1000 dev=0",
    "socket",
    "bind sock=1001 dev=0",
    "ioctl FIONBIO sock=1000",
    "send_req ogf=0x04 ocf=0x0009 clen=0 timeout=1000 sock=1000",
    "scan_params type=0 interval=0x0010 window=0x0010 own=0 filter=0 timeout=1000 sock=1000",
    "scan_enable enable=1 filter_dup=0 timeout=1000 sock=1000",
    "getsockopt HCI_FILTER sock=1000",
    "setsockopt HCI_FILTER " + LIB_FILTER + " sock=1000",
};

using osl::sim::timer_arm_fails;
using osl::sim::timer_create_fails;

class Adapter : public osl::test::LibFixture {
  protected:
    void SetUp() override {
        LibFixture::SetUp();
        use_manual_timer();
        sim.initial_filter = FRESH_FILTER;
    }

    // Opens with the given verbosity and returns the code; `printed` gets the
    // output with time stamps masked.
    int open(int flags, std::string *printed) {
        StdoutCapture out;
        int code = osl_bt_open(0, 0, 0, flags);
        *printed = mask_times(out.stop());
        return code;
    }

    std::string close() {
        StdoutCapture out;
        osl_bt_close();
        return mask_times(out.stop());
    }
};

struct OpenCase {
    const char *name;
    std::function<void(osl::sim::Controller &)> arrange;
    int code;
    std::string printed;
    int state;
    int sockets_open;
};

TEST_F(Adapter, EachFailingStepGivesItsCodeLineAndState) {
    // sockets_open: both the scanning and the command socket stay open once
    // the link is.
    const OpenCase cases[] = {
        {"no adapter", [](auto &s) { s.present = false; }, OSL_OPEN_NO_ADAPTER,
         "[osl err] BLE dev not found", OSL_ADAPTER_CLOSED, 0},
        {"socket", [](auto &s) { s.fail(Call::Socket, EPERM); }, OSL_OPEN_SOCKET,
         "[osl err] cant open socket", OSL_ADAPTER_CLOSED, 0},
        {"bind", [](auto &s) { s.fail(Call::Bind, ENODEV); }, OSL_OPEN_BIND,
         "[osl err] cant bind socket", OSL_ADAPTER_CLOSED, 0},
        // The command socket fails the same way, and the scanning socket is
        // closed again.
        {"command socket", [](auto &s) { s.fail(Call::Socket, EMFILE, 1, 1); }, OSL_OPEN_SOCKET,
         "[osl err] cant open socket", OSL_ADAPTER_CLOSED, 0},
        {"command socket bind", [](auto &s) { s.fail(Call::Bind, ENODEV, 1, 1); }, OSL_OPEN_BIND,
         "[osl err] cant bind socket", OSL_ADAPTER_CLOSED, 0},
        {"ioctl", [](auto &s) { s.fail(Call::Ioctl, EBADF); }, OSL_OPEN_NONBLOCK,
         "[osl err] cant set ioctlT [osl close] closed\n\r", OSL_ADAPTER_CLOSED, 0},
        {"scan parameters twice",
         [](auto &s) { s.status(Call::ScanParams, osl::hci::STATUS_COMMAND_DISALLOWED, 2); },
         OSL_OPEN_SCAN_PARAMS,
         MAC_LINE + "T [osl start] ble stop\n\rT [osl err] set scan param\n\r", OSL_ADAPTER_OPEN,
         2},
        {"scan enable",
         [](auto &s) { s.status(Call::ScanEnable, osl::hci::STATUS_COMMAND_DISALLOWED); },
         OSL_OPEN_SCAN_ENABLE, MAC_LINE + "T [osl err] ble scan enable\n\r", OSL_ADAPTER_OPEN, 2},
        {"getsockopt", [](auto &s) { s.fail(Call::GetFilter, EBADF); }, OSL_OPEN_FILTER_GET,
         MAC_LINE + "T [osl err] get sock opt\n\r", OSL_ADAPTER_SCANNING, 2},
        {"setsockopt", [](auto &s) { s.fail(Call::SetFilter, EINVAL); }, OSL_OPEN_FILTER_SET,
         MAC_LINE + "T [osl err] set sock opt\n\r", OSL_ADAPTER_SCANNING, 2},
        {"timer create", [](auto &) { osl_timer = &timer_create_fails; }, 44,
         MAC_LINE + "T [osl start] error timer inti\n\r", OSL_ADAPTER_FILTERED, 2},
        {"timer arm", [](auto &) { osl_timer = &timer_arm_fails; }, 44,
         MAC_LINE + "T [osl start] error timer inti\n\r", OSL_ADAPTER_FILTERED, 2},
    };
    for (const auto &c : cases) {
        // Each case needs a fresh process: a failed open keeps the lock.
        EXPECT_TRUE(passes_in_child([&] {
            c.arrange(sim);
            std::string printed;
            int code = open(OSL_LOG_LIB, &printed);
            bool ok = code == c.code && printed == c.printed && osl_adapter.state == c.state &&
                      sim.open_sockets() == c.sockets_open;
            if (!ok)
                fprintf(stderr, "%s: code %d state %d sockets %d printed [%s]\n", c.name, code,
                        osl_adapter.state, sim.open_sockets(), printed.c_str());
            return ok;
        })) << c.name;
    }
}

TEST_F(Adapter, OpenAndCloseIssueTheCommandsInOrderAndRestoreTheFilter) {
    std::string printed;
    ASSERT_EQ(open(OSL_LOG_LIB, &printed), 0);
    EXPECT_EQ(printed, MAC_LINE + "T [osl start] ok\n\r");
    EXPECT_EQ(sim.calls(), OPEN_CALLS);
    EXPECT_TRUE(sim.scanning());
    EXPECT_EQ(osl_adapter.state, OSL_ADAPTER_FILTERED);
    const uint8_t own[6] = {0x56, 0x34, 0x12, 0xEB, 0x27, 0xB8};
    EXPECT_EQ(0, memcmp(osl_bt_myaddr_get(), own, 6));

    sim.clear_record();
    EXPECT_EQ(close(), "T [osl stop] stopped\n\rT [osl close] closed\n\rT [osl closed]\n\r");
    EXPECT_EQ(sim.calls(), (std::vector<std::string>{
                               "setsockopt HCI_FILTER " + SAVED_FILTER + " sock=1000",
                               "scan_enable enable=0 filter_dup=1 timeout=1000 sock=1000",
                               "close sock=1000",
                               "close sock=1001",
                           }));
    EXPECT_FALSE(sim.scanning());
    EXPECT_EQ(sim.open_sockets(), 0);
    EXPECT_EQ(osl_adapter.state, OSL_ADAPTER_CLOSED);
    // The address stays readable after close.
    EXPECT_EQ(0, memcmp(osl_bt_myaddr_get(), own, 6));

    sim.clear_record();
    EXPECT_EQ(close(), ""); // closing twice does nothing
    EXPECT_TRUE(sim.calls().empty());
}

// A program killed while it scanned leaves the controller scanning, and a
// controller refuses scan parameters while it scans: the open stops the scan
// and sets them once more.
TEST_F(Adapter, ScanLeftOnByAnEarlierProgramIsStoppedAndParametersRetriedOnce) {
    sim.set_scanning(true);
    std::string printed;
    ASSERT_EQ(open(OSL_LOG_LIB, &printed), 0);
    EXPECT_EQ(printed, MAC_LINE + "T [osl start] ble stop\n\rT [osl start] ok\n\r");
    std::vector<std::string> expected = OPEN_CALLS;
    const auto params = std::find(expected.begin(), expected.end(), OPEN_CALLS[7]);
    ASSERT_NE(params, expected.end());
    expected.insert(params + 1,
                    {"scan_enable enable=0 filter_dup=1 timeout=1000 sock=1000", OPEN_CALLS[7]});
    EXPECT_EQ(sim.calls(), expected);
}

TEST_F(Adapter, UnreadableOwnAddressShowsAsZerosAndOpenGoesOn) {
    const std::string zeros = "T [osl open] mac:000000000000 | osl_lib:00000200\n";
    for (bool status_error : {false, true}) {
        EXPECT_TRUE(passes_in_child([&] {
            if (status_error)
                sim.status(Call::SendReq, 0x01);
            else
                sim.fail(Call::SendReq, ETIMEDOUT);
            std::string printed;
            int code = open(OSL_LOG_LIB, &printed);
            bool ok =
                code == 0 &&
                printed == "T [osl err] cant read dev addr" + zeros + "T [osl start] ok\n\r" &&
                osl_bt_myaddr_get()[0] == 0 && osl_bt_myaddr_get()[5] == 0;
            if (!ok)
                fprintf(stderr, "code %d printed [%s]\n", code, printed.c_str());
            return ok;
        })) << status_error;
    }
}

TEST_F(Adapter, ReadOwnAddressReportsRequestAndStatusFailures) {
    std::string printed;
    ASSERT_EQ(open(0, &printed), 0);
    sim.fail(Call::SendReq, ETIMEDOUT);
    EXPECT_EQ(osl_read_own_addr(), -4);
    sim.status(Call::SendReq, 0x01);
    errno = 0;
    EXPECT_EQ(osl_read_own_addr(), -6);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(osl_read_own_addr(), 0);
}

TEST_F(Adapter, FilterErrorPrintsEvenWithoutTheLibraryLog) {
    sim.fail(Call::SetFilter, EINVAL);
    std::string printed;
    EXPECT_EQ(open(0, &printed), 28);
    EXPECT_EQ(printed, "T [osl err] set sock opt\n\r");
}

TEST_F(Adapter, NothingElseIsPrintedWithoutTheLibraryLog) {
    std::string printed;
    ASSERT_EQ(open(OSL_LOG_SENSORS | OSL_LOG_ACTORS | OSL_LOG_AIR, &printed), 0);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(close(), "");
}

TEST_F(Adapter, CloseAfterAnOpenThatStoppedBeforeScanningOnlyClosesTheSocket) {
    sim.status(Call::ScanEnable, osl::hci::STATUS_COMMAND_DISALLOWED);
    std::string printed;
    ASSERT_EQ(open(OSL_LOG_LIB, &printed), 24);
    sim.clear_record();
    EXPECT_EQ(close(), "T [osl close] closed\n\rT [osl closed]\n\r");
    EXPECT_EQ(sim.calls(), (std::vector<std::string>{"close sock=1000", "close sock=1001"}));
    EXPECT_EQ(sim.open_sockets(), 0);
}

TEST_F(Adapter, CloseAfterScanningStartedWithoutTheFilterStopsTheScanAndClosesTheSocket) {
    sim.fail(Call::GetFilter, EBADF);
    std::string printed;
    ASSERT_EQ(open(OSL_LOG_LIB, &printed), 26);
    ASSERT_TRUE(sim.scanning());
    sim.clear_record();
    EXPECT_EQ(close(), "T [osl stop] stopped\n\rT [osl close] closed\n\rT [osl closed]\n\r");
    EXPECT_EQ(sim.calls(), (std::vector<std::string>{
                               "scan_enable enable=0 filter_dup=1 timeout=1000 sock=1000",
                               "close sock=1000",
                               "close sock=1001",
                           }));
    EXPECT_FALSE(sim.scanning());
    EXPECT_EQ(sim.open_sockets(), 0);
}

TEST_F(Adapter, FailuresWhileClosingAreReportedAndCloseStillEnds) {
    std::string printed;
    ASSERT_EQ(open(OSL_LOG_LIB, &printed), 0);
    sim.status(Call::ScanEnable, osl::hci::STATUS_COMMAND_DISALLOWED);
    sim.fail(Call::Close, EIO);
    EXPECT_EQ(close(), "T [osl err] stop dev\n\rT [osl err] close\n\rT [osl closed]\n\r");
    EXPECT_EQ(osl_adapter.state, OSL_ADAPTER_CLOSED);
}

} // namespace

namespace {

// The real BlueZ port on a machine without Bluetooth, as a new user meets it.
TEST_F(Adapter, WithoutAnAdapterTheRealPortFailsWith2) {
    if (osl_hci_bluez.get_route() >= 0)
        GTEST_SKIP() << "this machine has a Bluetooth adapter";
    osl_hci = &osl_hci_bluez;
    std::string printed;
    EXPECT_EQ(open(OSL_LOG_LIB, &printed), 2);
    EXPECT_EQ(printed, "[osl err] BLE dev not found");
}

} // namespace
