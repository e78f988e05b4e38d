// A simulated HCI controller behind the library's port, for tests.
//
// It knows HCI, nothing of the kit's frames: it answers the library's
// commands, records every one of them with its parameters, can be absent or
// fail any single call (chosen by its kind and order, or by the command's
// opcode), and hands queued HCI event packets to the socket
// reads one per read, cutting a packet longer than the read as the kernel
// does. Simulated devices put their advertising reports into it.
//
// Each socket has its own queue and filter. A request (send_req and the LE
// helpers, which libbluetooth builds on hci_send_req) behaves as
// hci_send_req does on Linux: the controller's Command Complete joins the
// end of the socket's queue, and the request reads the queue from the front,
// throwing away every event that is not its answer; after ten such events it
// gives up with ETIMEDOUT.
//
// Scanning and advertising are the controller's state, not a socket's: they
// outlive the socket and the program that switched them on. As a real
// controller does, it answers Command Disallowed (0x0C) to switching either
// to the state it is already in, to scan parameters while scanning, to
// advertising parameters while advertising, and to a random address while
// doing either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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
    int sock;
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
    // The filter a fresh socket has, as on Linux: all zero, so a socket hears
    // no event until someone sets a filter (and what the library restores).
    hci::Filter initial_filter = {};

    // The next `times` calls of a kind (after `skip` good ones) fail with -1
    // and errno `err`; times -1 fails every call from then on.
    void fail(Call call, int err, int times = 1, int skip = 0);
    // The controller answers the next `times` requests of a kind with a
    // non-zero status. For send_req the reply's status byte carries it; the
    // LE helpers of libbluetooth turn it into -1 with errno EIO.
    void status(Call call, uint8_t status, int times = 1, int skip = 0);
    // The same for one HCI command, by its opcode (hci::opcode(ogf, ocf),
    // e.g. 0x200C for LE Set Scan Enable), whichever call sends it: send_req
    // or an LE helper. `times` and `skip` count the commands with that
    // opcode; a call's fault by kind, when it strikes, comes first and the
    // command does not count here. Setting an opcode again replaces its
    // fault; OPCODE_FAULTS opcodes at most.
    void fail_opcode(uint16_t opcode, int err, int times = 1, int skip = 0);
    void status_opcode(uint16_t opcode, uint8_t status, int times = 1, int skip = 0);
    static constexpr int OPCODE_FAULTS = 8;

    // --- events ----------------------------------------------------------
    // An event from the air: queued on every open socket whose filter lets
    // it through, as the kernel does. Safe against the tick: SIGALRM is held
    // off while the queues change.
    void deliver(const uint8_t *packet, size_t len);
    void deliver(const std::vector<uint8_t> &packet) { deliver(packet.data(), packet.size()); }
    size_t pending() const; // events waiting on all sockets
    size_t pending(int sock) const;
    uint32_t reads() const { return read_calls_; }
    // Events no open socket let through.
    uint32_t unheard() const { return unheard_; }
    // Called when a socket's filter starts letting advertising reports
    // through: the library listens from now on (events delivered earlier
    // were heard by nobody).
    std::function<void(int sock)> on_listen;
    // Called when advertising is switched on, while the library waits in
    // its advertising window (for example to deliver events meanwhile).
    std::function<void()> on_advertise;
    // Called with the advertising data the library loaded last (LE Set
    // Advertising Data) each time it switches advertising on: what devices
    // in range would hear. Runs in the caller's flow, never in the tick.
    std::function<void(const uint8_t *data, size_t len)> on_air;
    // The next `windows` advertising windows reach nobody, as if the
    // command were lost on the air; on_advertise is still called.
    void drop_advertising(int windows = 1) { drop_windows_ = windows; }
    int dropped_windows() const { return dropped_; }
    // Called at the start of every socket read, that is from the tick, in
    // signal context: it may deliver events (the simulated devices' clock),
    // but must not allocate or block. A plain pointer, installed and removed
    // while SIGALRM is held off (set_read_hook does that).
    using ReadHook = void (*)(void *context);
    void set_read_hook(ReadHook hook, void *context);

    // --- record ----------------------------------------------------------
    // One line per call, in order, e.g. "scan_enable enable=1 filter_dup=0
    // timeout=1000 sock=1000". Reads are only counted (reads()), since the
    // tick makes so many.
    const std::vector<std::string> &calls() const { return calls_; }
    // Every send_req, with its socket and parameters.
    const std::vector<Command> &commands() const { return commands_; }
    // Forgets the calls and commands recorded so far.
    void clear_record();
    // Off: calls and commands are not recorded, so the controller allocates
    // nothing (for tests that watch the allocator). reset() turns it on.
    bool record_calls = true;

    // --- state -----------------------------------------------------------
    bool scanning() const { return scanning_; }
    bool advertising() const { return advertising_; }
    // As an earlier program may have left the controller.
    void set_scanning(bool on) { scanning_ = on; }
    // A wedged controller: it scans, answers commands, and reports nothing,
    // until its scan is switched off and on again.
    void wedge() { wedged_ = true; }
    bool wedged() const { return wedged_; }

    // --- faults of the adapter, as the Linux kernel shows them -------------
    // (measured on Debian's 6.1 kernel with btvirt in the test machine)
    // An HCI Reset, or `hciconfig hciN reset`: scanning and advertising stop;
    // the sockets stay bound and work; reads find nothing, no error.
    void reset_controller();
    // `hciconfig hciN down`: no reports; every command on the controller
    // fails at once with ENETDOWN; reads find nothing (EAGAIN), no error;
    // get_route finds no adapter up. power_up(), as `hciconfig hciN up`:
    // working again on the same sockets, not scanning.
    void power_down();
    void power_up();
    bool powered() const { return up_; }
    // Unplugged (or btvirt stopped): each socket open on it reads EPIPE once,
    // then EAGAIN for ever, and its commands fail with EPIPE; binding fails
    // with ENODEV; get_route finds none. plug() registers it anew under an
    // index (the kernel gives the old one back once no socket holds it), down
    // until someone brings it up (bring_up, or `hciconfig hciN up`).
    void unplug();
    void plug(int index);
    void set_advertising(bool on) { advertising_ = on; }
    int open_sockets() const { return open_sockets_; }
    hci::Filter filter_of(int sock) const;

    // The port's entry points (plain functions, so the port stays a C table).
    static const osl_hci_ops ops;

    // Sockets are numbered from here, far from any descriptor the test
    // process holds: the first socket opened is FIRST_SOCKET.
    static constexpr int FIRST_SOCKET = 1000;

  private:
    struct Fault {
        int skip = 0;
        int times = 0;
        int err = 0;
        uint8_t status = 0;
    };
    // Counts the call against its fault; true when this one must misbehave.
    static bool strikes(Fault &f, Fault *hit);
    bool strikes(Call call, Fault *hit) { return strikes(faults_[static_cast<int>(call)], hit); }
    // The same for a command by its opcode, after its call's fault missed.
    bool strikes(Call call, uint16_t opcode, Fault *hit);
    Fault *opcode_fault(uint16_t opcode);
    void record(const std::string &line) { calls_.push_back(line); }

    Fault faults_[static_cast<int>(Call::Count)];
    struct OpcodeFault {
        uint16_t opcode;
        Fault fault;
    };
    OpcodeFault opcode_faults_[OPCODE_FAULTS] = {};
    int opcode_fault_count_ = 0;

    std::vector<std::string> calls_;
    std::vector<Command> commands_;
    bool scanning_ = false;
    bool wedged_ = false;
    bool up_ = true;
    bool advertising_ = false;
    int open_sockets_ = 0;

    // Fixed storage, so the tick's reads never allocate.
    static constexpr int SOCKETS = 4;
    static constexpr int QUEUE_PACKETS = 512;
    static constexpr int PACKET_MAX = 260; // indicator, header and 255 parameter bytes
    struct Packet {
        uint16_t len;
        uint8_t bytes[PACKET_MAX];
    };
    struct Socket {
        bool open = false;
        bool stale = false;         // open on a controller that was unplugged
        bool epipe_pending = false; // its next read fails with EPIPE
        hci::Filter filter = {};
        Packet queue[QUEUE_PACKETS];
        volatile uint32_t head = 0; // next packet to read
        volatile uint32_t tail = 0; // next free packet
    };
    Socket sockets_[SOCKETS];
    volatile uint32_t read_calls_ = 0;
    ReadHook read_hook_ = nullptr;
    void *read_hook_context_ = nullptr;
    uint8_t adv_data_[31] = {};
    size_t adv_len_ = 0;
    int drop_windows_ = 0;
    int dropped_ = 0;
    uint32_t unheard_ = 0;

    Socket *socket(int sock);
    const Socket *socket(int sock) const;
    static bool enqueue(Socket &s, const uint8_t *packet, size_t len);

    friend struct Port;
};

// A tick timer that never fires: whoever installs it (osl_timer) runs each
// tick itself by calling osl_timer_handler(SIGALRM), deterministically.
extern const osl_timer_ops hand_timer;
// Timers that cannot be created, or created but not armed.
extern const osl_timer_ops timer_create_fails;
extern const osl_timer_ops timer_arm_fails;

// HCI event packets for tests.
// An LE Advertising Report event carrying `data` from `addr` (given most
// significant byte first, as written), with the RSSI after the data.
std::vector<uint8_t> adv_report(const uint8_t addr_msb_first[6], const std::vector<uint8_t> &data,
                                int8_t rssi);

} // namespace osl::sim
