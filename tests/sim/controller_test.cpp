// The simulated controller's faults keyed by a command's opcode: whichever
// call sends the command, the controller misbehaves for the commands chosen
// and for no other.
#include <cerrno>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "core/hci_defs.h"
#include "sim/hci_sim.h"

namespace osl::sim {
namespace {

constexpr uint16_t SCAN_PARAMETERS = hci::opcode(hci::OGF_LE_CTL, hci::OCF_LE_SET_SCAN_PARAMETERS);
constexpr uint16_t SCAN_ENABLE = hci::opcode(hci::OGF_LE_CTL, hci::OCF_LE_SET_SCAN_ENABLE);
constexpr uint16_t ADVERTISE_ENABLE =
    hci::opcode(hci::OGF_LE_CTL, hci::OCF_LE_SET_ADVERTISE_ENABLE);
constexpr uint16_t ADV_DATA = hci::opcode(hci::OGF_LE_CTL, hci::OCF_LE_SET_ADV_DATA);
constexpr uint16_t READ_BD_ADDR = hci::opcode(hci::OGF_INFO_PARAM, hci::OCF_READ_BD_ADDR);

constexpr uint8_t DISALLOWED = hci::STATUS_COMMAND_DISALLOWED;
constexpr uint8_t INVALID = 0x12;

TEST(SimOpcode, OpcodesAreGroupAndCommandAsTheyTravel) {
    EXPECT_EQ(SCAN_PARAMETERS, 0x200B);
    EXPECT_EQ(SCAN_ENABLE, 0x200C);
    EXPECT_EQ(ADVERTISE_ENABLE, 0x200A);
    EXPECT_EQ(ADV_DATA, 0x2008);
    EXPECT_EQ(READ_BD_ADDR, 0x1009);
}

// How a command is sent: as a plain request, or through libbluetooth's LE
// helper for it.
enum class Way { Request, Helper };

struct Step {
    Way way;
    uint16_t opcode;
    uint8_t enable; // for the enable commands
    int result;
    int err;        // errno when the result is -1
    uint8_t status; // the answer's status byte, for a request that returned 0
};

struct Case {
    const char *what;
    void (*fault)(Controller &);
    std::vector<Step> steps;
};

// Sends one step's command on `sock`; the answer's status byte in *status.
int send(int sock, const Step &step, uint8_t *status) {
    const osl_hci_ops &hci = Controller::ops;
    *status = 0xFF;
    if (step.way == Way::Request) {
        uint8_t params[32] = {step.enable};
        uint8_t answer[hci::READ_BD_ADDR_REPLY_LEN] = {};
        osl_hci_request rq = {};
        rq.ogf = static_cast<uint16_t>(step.opcode >> 10);
        rq.ocf = static_cast<uint16_t>(step.opcode & 0x03FF);
        rq.cparam = params;
        rq.clen = step.opcode == READ_BD_ADDR ? 0 : step.opcode == ADV_DATA ? 32 : 1;
        rq.rparam = answer;
        rq.rlen = step.opcode == READ_BD_ADDR ? sizeof answer : 1;
        const int r = hci.send_req(sock, &rq, hci::TIMEOUT_MS);
        *status = answer[0];
        return r;
    }
    switch (step.opcode) {
    case SCAN_PARAMETERS:
        return hci.le_set_scan_parameters(sock, hci::SCAN_PASSIVE, hci::SCAN_INTERVAL,
                                          hci::SCAN_WINDOW, hci::OWN_ADDR_PUBLIC,
                                          hci::FILTER_ACCEPT_ALL, hci::TIMEOUT_MS);
    case SCAN_ENABLE:
        return hci.le_set_scan_enable(sock, step.enable, 0, hci::TIMEOUT_MS);
    case ADVERTISE_ENABLE:
        return hci.le_set_advertise_enable(sock, step.enable, hci::TIMEOUT_MS);
    }
    ADD_FAILURE() << "no LE helper sends opcode " << step.opcode;
    return 0;
}

TEST(SimOpcodeFaults, StrikeTheChosenCommandsWhateverSendsThem) {
    constexpr Way REQ = Way::Request;
    constexpr Way LE = Way::Helper;
    const Case cases[] = {
        {"scan enable refused twice, through the helper",
         [](Controller &c) { c.status_opcode(SCAN_ENABLE, DISALLOWED, 2); },
         {{LE, SCAN_ENABLE, 1, -1, EIO, 0},
          {LE, SCAN_ENABLE, 1, -1, EIO, 0},
          {LE, SCAN_ENABLE, 1, 0, 0, 0}}},
        {"scan enable refused, through a request: the status byte tells",
         [](Controller &c) { c.status_opcode(SCAN_ENABLE, DISALLOWED); },
         {{REQ, SCAN_ENABLE, 1, 0, 0, DISALLOWED}, {REQ, SCAN_ENABLE, 1, 0, 0, 0}}},
        {"scan parameters refused; scan enable untouched",
         [](Controller &c) { c.status_opcode(SCAN_PARAMETERS, INVALID); },
         {{LE, SCAN_ENABLE, 1, 0, 0, 0},
          {LE, SCAN_ENABLE, 0, 0, 0, 0},
          {LE, SCAN_PARAMETERS, 0, -1, EIO, 0},
          {LE, SCAN_PARAMETERS, 0, 0, 0, 0}}},
        {"advertise enable fails after one good command",
         [](Controller &c) { c.fail_opcode(ADVERTISE_ENABLE, ENETDOWN, 1, 1); },
         {{LE, ADVERTISE_ENABLE, 1, 0, 0, 0},
          {LE, ADVERTISE_ENABLE, 0, -1, ENETDOWN, 0},
          {LE, ADVERTISE_ENABLE, 0, 0, 0, 0}}},
        {"advertising data refused every time",
         [](Controller &c) { c.status_opcode(ADV_DATA, INVALID, -1); },
         {{REQ, ADV_DATA, 0, 0, 0, INVALID},
          {REQ, ADV_DATA, 0, 0, 0, INVALID},
          {REQ, ADV_DATA, 0, 0, 0, INVALID}}},
        {"Read BD_ADDR unanswered: a request times out by default",
         [](Controller &c) { c.fail_opcode(READ_BD_ADDR, 0); },
         {{REQ, READ_BD_ADDR, 0, -1, ETIMEDOUT, 0}, {REQ, READ_BD_ADDR, 0, 0, 0, 0}}},
        {"an LE helper fails with EIO by default",
         [](Controller &c) { c.fail_opcode(SCAN_PARAMETERS, 0); },
         {{LE, SCAN_PARAMETERS, 0, -1, EIO, 0}, {LE, SCAN_PARAMETERS, 0, 0, 0, 0}}},
        {"skip counts only the opcode's own commands",
         [](Controller &c) { c.status_opcode(SCAN_PARAMETERS, INVALID, 1, 1); },
         {{REQ, ADV_DATA, 0, 0, 0, 0},
          {LE, SCAN_PARAMETERS, 0, 0, 0, 0},
          {REQ, ADV_DATA, 0, 0, 0, 0},
          {LE, SCAN_PARAMETERS, 0, -1, EIO, 0}}},
        {"the helper and a request share the opcode's count",
         [](Controller &c) { c.status_opcode(SCAN_ENABLE, INVALID, 2); },
         {{REQ, SCAN_ENABLE, 1, 0, 0, INVALID},
          {LE, SCAN_ENABLE, 1, -1, EIO, 0},
          {LE, SCAN_ENABLE, 1, 0, 0, 0}}},
        {"a fault by call kind strikes first, and the opcode's waits",
         [](Controller &c) {
             c.status(Call::ScanEnable, INVALID);
             c.fail_opcode(SCAN_ENABLE, EBUSY);
         },
         {{LE, SCAN_ENABLE, 1, -1, EIO, 0},
          {LE, SCAN_ENABLE, 1, -1, EBUSY, 0},
          {LE, SCAN_ENABLE, 1, 0, 0, 0}}},
        {"setting an opcode again replaces its fault",
         [](Controller &c) {
             c.status_opcode(ADV_DATA, INVALID, -1);
             c.status_opcode(ADV_DATA, DISALLOWED, 1);
         },
         {{REQ, ADV_DATA, 0, 0, 0, DISALLOWED}, {REQ, ADV_DATA, 0, 0, 0, 0}}},
        {"several opcodes at once, each with its own count",
         [](Controller &c) {
             c.status_opcode(ADV_DATA, INVALID);
             c.fail_opcode(READ_BD_ADDR, EIO);
         },
         {{REQ, READ_BD_ADDR, 0, -1, EIO, 0},
          {REQ, ADV_DATA, 0, 0, 0, INVALID},
          {REQ, READ_BD_ADDR, 0, 0, 0, 0},
          {REQ, ADV_DATA, 0, 0, 0, 0}}},
    };
    Controller &sim = Controller::get();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        sim.reset();
        const int sock = Controller::ops.open_socket();
        ASSERT_GE(sock, 0);
        c.fault(sim);
        for (size_t i = 0; i < c.steps.size(); i++) {
            SCOPED_TRACE(i);
            const Step &step = c.steps[i];
            errno = 0;
            uint8_t status;
            const int r = send(sock, step, &status);
            EXPECT_EQ(r, step.result);
            if (step.result < 0) {
                EXPECT_EQ(errno, step.err);
            } else if (step.way == Way::Request) {
                EXPECT_EQ(status, step.status);
            }
        }
        // A command the controller answered leaves nothing in the queue.
        EXPECT_EQ(sim.pending(sock), 0u);
    }
    sim.reset();
}

// A command refused by a fault does not change the controller's state:
// scanning starts with the first enable the controller accepts.
TEST(SimOpcodeFaults, RefusedEnableLeavesTheStateAlone) {
    Controller &sim = Controller::get();
    sim.reset();
    const int sock = Controller::ops.open_socket();
    sim.status_opcode(SCAN_ENABLE, INVALID);
    EXPECT_EQ(Controller::ops.le_set_scan_enable(sock, 1, 0, hci::TIMEOUT_MS), -1);
    EXPECT_FALSE(sim.scanning());
    EXPECT_EQ(Controller::ops.le_set_scan_enable(sock, 1, 0, hci::TIMEOUT_MS), 0);
    EXPECT_TRUE(sim.scanning());
    sim.reset();
    EXPECT_FALSE(sim.scanning());
    // reset() clears the opcode faults too.
    EXPECT_EQ(
        Controller::ops.le_set_scan_enable(Controller::ops.open_socket(), 1, 0, hci::TIMEOUT_MS),
        0);
    sim.reset();
}

} // namespace
} // namespace osl::sim
