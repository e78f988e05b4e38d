// A simulated HCI controller behind the library's port, for tests.
//
// It knows HCI, nothing of the kit's frames: it answers the library's
// commands, records every one of them with its parameters, can be absent or
// fail any single call, and hands queued HCI event packets to the socket
// reads one per read, cutting a packet longer than the read as the kernel
// does. Simulated devices put their advertising reports into it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/hci_defs.h"
#include "core/hci_port.h"
#include "core/platform.h"

namespace osl::sim {

enum class Call {
    GetRoute,
    Socket,
    Bind,
    Ioctl,
    GetFilter,
    SetFilter,
    Read,
    Close,
    SendReq,
    ScanParams,
    ScanEnable,
    AdvEnable,
    Count,
};

struct Command {
    uint16_t ogf;
    uint16_t ocf;
    std::vector<uint8_t> params;
};

class Controller {
  public:
    // The one controller; install() points the library's port at it.
    static Controller &get();
    void install();
    void reset(); // back to a present, healthy controller with nothing recorded

    // --- configuration ---------------------------------------------------
    bool present = true;
    int dev_id = 0;
    uint8_t bd_addr[6] = {0x56, 0x34, 0x12, 0xEB, 0x27, 0xB8}; // least significant first
    // The filter a fresh socket reports (what the library must restore).
    hci::Filter initial_filter = {0xFFFFFFFFu, {0xFFFFFFFFu, 0xFFFFFFFFu}, 0, 0};

    // The next `times` calls of a kind (after `skip` good ones) fail with -1
    // and errno `err`; times -1 fails every call from then on.
    void fail(Call call, int err, int times = 1, int skip = 0);
    // The controller answers the next `times` requests of a kind with a
    // non-zero status. For send_req the reply's status byte carries it; the
    // LE helpers of libbluetooth turn it into -1 with errno EIO.
    void status(Call call, uint8_t status, int times = 1, int skip = 0);

    // --- events ----------------------------------------------------------
    // Queues one HCI packet for the socket. Safe against the tick: SIGALRM is
    // held off while the queue changes.
    void deliver(const uint8_t *packet, size_t len);
    void deliver(const std::vector<uint8_t> &packet) { deliver(packet.data(), packet.size()); }
    size_t pending() const;
    uint32_t reads() const { return read_calls_; }

    // --- record ----------------------------------------------------------
    // One line per call, in order, e.g. "scan_enable enable=1 filter_dup=0".
    // Reads are only counted (reads()), since the tick makes so many.
    std::vector<std::string> calls;
    std::vector<Command> commands; // parameters of every send_req
    hci::Filter filter = {};       // the socket's filter now
    bool scanning = false;
    bool advertising = false;
    int open_sockets = 0;

    // The port's entry points (plain functions, so the port stays a C table).
    static const osl_hci_ops ops;

  private:
    struct Fault {
        int skip = 0;
        int times = 0;
        int err = 0;
        uint8_t status = 0;
    };
    // Counts the call against its fault; true when this one must misbehave.
    bool strikes(Call call, Fault *hit);
    void record(const std::string &line) { calls.push_back(line); }

    Fault faults_[static_cast<int>(Call::Count)];

    // Fixed storage, so the tick's reads never allocate.
    static constexpr int QUEUE_PACKETS = 512;
    static constexpr int PACKET_MAX = 260; // indicator, header and 255 parameter bytes
    struct Packet {
        uint16_t len;
        uint8_t bytes[PACKET_MAX];
    };
    Packet queue_[QUEUE_PACKETS];
    volatile uint32_t head_ = 0; // next packet to read
    volatile uint32_t tail_ = 0; // next free packet
    volatile uint32_t read_calls_ = 0;

    friend struct Port;
};

// A tick timer that never fires: whoever installs it (osl_timer) runs each
// tick itself by calling osl_timer_handler(SIGALRM), deterministically.
extern const osl_timer_ops hand_timer;

// HCI event packets for tests.
// An LE Advertising Report event carrying `data` from `addr` (given most
// significant byte first, as written), with the RSSI after the data.
std::vector<uint8_t> adv_report(const uint8_t addr_msb_first[6], const std::vector<uint8_t> &data,
                                int8_t rssi);

} // namespace osl::sim
