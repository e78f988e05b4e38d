#include "hci_sim.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/addr.h"

namespace osl::sim {

namespace {

std::string hex(const void *data, size_t len) {
    std::string out;
    char byte[3];
    for (size_t i = 0; i < len; i++) {
        snprintf(byte, sizeof byte, "%02X", static_cast<const uint8_t *>(data)[i]);
        out += byte;
    }
    return out;
}

// Holds SIGALRM off while the event queue changes under the main flow.
class AlarmBlock {
  public:
    AlarmBlock() {
        sigset_t alarm;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        sigprocmask(SIG_BLOCK, &alarm, &old_);
    }
    ~AlarmBlock() { sigprocmask(SIG_SETMASK, &old_, nullptr); }

  private:
    sigset_t old_;
};

Controller the_controller;

} // namespace

Controller &Controller::get() {
    return the_controller;
}

void Controller::install() {
    osl_hci = &ops;
}

void Controller::reset() {
    AlarmBlock hold;
    present = true;
    dev_id = 0;
    const uint8_t addr[6] = {0x56, 0x34, 0x12, 0xEB, 0x27, 0xB8};
    memcpy(bd_addr, addr, sizeof bd_addr);
    initial_filter = {};
    for (Fault &f : faults_)
        f = Fault{};
    for (OpcodeFault &f : opcode_faults_)
        f = OpcodeFault{};
    opcode_fault_count_ = 0;
    on_advertise = nullptr;
    on_listen = nullptr;
    on_air = nullptr;
    read_hook_ = nullptr;
    read_hook_context_ = nullptr;
    adv_len_ = 0;
    drop_windows_ = 0;
    dropped_ = 0;
    record_calls = true;
    calls_.clear();
    commands_.clear();
    scanning_ = false;
    wedged_ = false;
    up_ = true;
    advertising_ = false;
    open_sockets_ = 0;
    for (Socket &so : sockets_) {
        so.open = false;
        so.stale = false;
        so.epipe_pending = false;
        so.filter = {};
        so.head = 0;
        so.tail = 0;
    }
    read_calls_ = 0;
    unheard_ = 0;
}

void Controller::clear_record() {
    calls_.clear();
    commands_.clear();
}

void Controller::set_read_hook(ReadHook hook, void *context) {
    AlarmBlock hold;
    read_hook_ = hook;
    read_hook_context_ = context;
}

void Controller::fail(Call call, int err, int times, int skip) {
    faults_[static_cast<int>(call)] = Fault{skip, times, err, 0};
}

void Controller::status(Call call, uint8_t status, int times, int skip) {
    faults_[static_cast<int>(call)] = Fault{skip, times, 0, status};
}

Controller::Fault *Controller::opcode_fault(uint16_t opcode) {
    for (int i = 0; i < opcode_fault_count_; i++)
        if (opcode_faults_[i].opcode == opcode)
            return &opcode_faults_[i].fault;
    if (opcode_fault_count_ == OPCODE_FAULTS) {
        fprintf(stderr, "sim: more than %d opcodes with a fault\n", OPCODE_FAULTS);
        abort();
    }
    opcode_faults_[opcode_fault_count_] = OpcodeFault{opcode, Fault{}};
    return &opcode_faults_[opcode_fault_count_++].fault;
}

void Controller::fail_opcode(uint16_t opcode, int err, int times, int skip) {
    *opcode_fault(opcode) = Fault{skip, times, err, 0};
}

void Controller::status_opcode(uint16_t opcode, uint8_t status, int times, int skip) {
    *opcode_fault(opcode) = Fault{skip, times, 0, status};
}

bool Controller::strikes(Call call, uint16_t opcode, Fault *hit) {
    if (strikes(call, hit))
        return true;
    for (int i = 0; i < opcode_fault_count_; i++)
        if (opcode_faults_[i].opcode == opcode)
            return strikes(opcode_faults_[i].fault, hit);
    return false;
}

bool Controller::strikes(Fault &f, Fault *hit) {
    if (f.times == 0)
        return false;
    if (f.skip > 0) {
        f.skip--;
        return false;
    }
    if (f.times > 0)
        f.times--;
    *hit = f;
    return true;
}

Controller::Socket *Controller::socket(int sock) {
    int i = sock - FIRST_SOCKET;
    if (i < 0 || i >= SOCKETS || !sockets_[i].open)
        return nullptr;
    return &sockets_[i];
}

const Controller::Socket *Controller::socket(int sock) const {
    return const_cast<Controller *>(this)->socket(sock);
}

bool Controller::enqueue(Socket &so, const uint8_t *packet, size_t len) {
    if (so.tail - so.head >= QUEUE_PACKETS || len > PACKET_MAX) {
        fprintf(stderr, "sim: event queue full or packet too long\n");
        return false;
    }
    Packet &p = so.queue[so.tail % QUEUE_PACKETS];
    p.len = static_cast<uint16_t>(len);
    memcpy(p.bytes, packet, len);
    so.tail = so.tail + 1;
    return true;
}

namespace {

// The kernel's test: the packet type's bit, and for events the event's bit.
bool lets_through(const hci::Filter &f, const uint8_t *packet, size_t len) {
    if (len == 0)
        return false;
    hci::Filter one = {};
    hci::filter_set_ptype(packet[0], &one);
    if ((f.type_mask & one.type_mask) == 0)
        return false;
    if (packet[0] != hci::PKT_EVENT)
        return true;
    if (len < 2)
        return false;
    hci::filter_set_event(packet[1], &one);
    return (f.event_mask[0] & one.event_mask[0]) != 0 || (f.event_mask[1] & one.event_mask[1]) != 0;
}

} // namespace

void Controller::deliver(const uint8_t *packet, size_t len) {
    AlarmBlock hold;
    // A controller that does not scan reports nothing it hears.
    if ((!scanning_ || wedged_) && len > hci::report::SUBEVENT && packet[0] == hci::PKT_EVENT &&
        packet[hci::report::EVT_CODE] == hci::EVT_LE_META &&
        packet[hci::report::SUBEVENT] == hci::SUBEVT_LE_ADV_REPORT) {
        unheard_++;
        return;
    }
    bool heard = false;
    for (Socket &so : sockets_)
        if (so.open && !so.stale && lets_through(so.filter, packet, len))
            heard = enqueue(so, packet, len) || heard;
    if (!heard)
        unheard_++;
}

void Controller::reset_controller() {
    AlarmBlock hold;
    scanning_ = false;
    advertising_ = false;
    wedged_ = false;
}

void Controller::power_down() {
    AlarmBlock hold;
    up_ = false;
    scanning_ = false;
    advertising_ = false;
    wedged_ = false;
}

void Controller::power_up() {
    up_ = true;
}

void Controller::unplug() {
    AlarmBlock hold;
    power_down();
    present = false;
    for (Socket &so : sockets_)
        if (so.open) {
            so.stale = true;
            so.epipe_pending = true;
            so.head = so.tail; // what was queued goes with the device
        }
}

void Controller::plug(int index) {
    present = true;
    dev_id = index;
    up_ = false;
}

size_t Controller::pending() const {
    size_t n = 0;
    for (const Socket &so : sockets_)
        if (so.open)
            n += so.tail - so.head;
    return n;
}

size_t Controller::pending(int sock) const {
    const Socket *so = socket(sock);
    return so == nullptr ? 0 : so->tail - so->head;
}

hci::Filter Controller::filter_of(int sock) const {
    const Socket *so = socket(sock);
    return so == nullptr ? hci::Filter{} : so->filter;
}

// The port: each entry point checks its fault, records the call and acts.
struct Port {
    static Controller &c() { return the_controller; }

    static int fault_result(Call call) {
        Controller::Fault f;
        if (!c().strikes(call, &f))
            return 0;
        errno = f.err != 0 ? f.err : EIO;
        return -1;
    }

    static std::string on(int sock) { return " sock=" + std::to_string(sock); }

    // One request as hci_send_req makes it on Linux: the command goes out,
    // the controller's Command Complete (status, then `reply_len` bytes of
    // `reply`) joins the end of the socket's queue, and the request reads
    // from the front, throwing away up to ten events that are not its answer.
    // 0 and the answer's parameters (status first) in `answer`; -1 with
    // ETIMEDOUT or EBADF.
    static int exchange(int sock, uint16_t ogf, uint16_t ocf, uint8_t status, const uint8_t *reply,
                        int reply_len, uint8_t *answer, int answer_len) {
        AlarmBlock hold; // the tick reads the same queues
        Controller::Socket *so = c().socket(sock);
        if (so == nullptr) {
            errno = EBADF;
            return -1;
        }
        if (so->stale) {
            errno = EPIPE;
            return -1;
        }
        if (!c().up_) {
            errno = ENETDOWN;
            return -1;
        }
        const uint16_t opcode = hci::opcode(ogf, ocf);
        uint8_t cc[Controller::PACKET_MAX] = {hci::PKT_EVENT,
                                              hci::EVT_CMD_COMPLETE,
                                              static_cast<uint8_t>(4 + reply_len),
                                              1,
                                              static_cast<uint8_t>(opcode),
                                              static_cast<uint8_t>(opcode >> 8),
                                              status};
        if (reply_len > 0)
            memcpy(cc + 7, reply, static_cast<size_t>(reply_len));
        Controller::enqueue(*so, cc, 7 + static_cast<size_t>(reply_len));
        for (int tries = 10; tries > 0 && so->head != so->tail; tries--) {
            const Controller::Packet &p = so->queue[so->head % Controller::QUEUE_PACKETS];
            so->head = so->head + 1;
            if (p.len >= 7 && p.bytes[1] == hci::EVT_CMD_COMPLETE && p.bytes[4] == cc[4] &&
                p.bytes[5] == cc[5]) {
                if (answer != nullptr && answer_len > 0) {
                    memset(answer, 0, static_cast<size_t>(answer_len));
                    int n = p.len - 6 < answer_len ? p.len - 6 : answer_len;
                    memcpy(answer, p.bytes + 6, static_cast<size_t>(n));
                }
                return 0;
            }
        }
        errno = ETIMEDOUT;
        return -1;
    }

    static int get_route() {
        if (c().record_calls)
            c().record("get_route");
        if (fault_result(Call::GetRoute) < 0)
            return -1;
        if (!c().present || !c().up_) {
            errno = ENODEV;
            return -1;
        }
        return c().dev_id;
    }

    static int open_socket() {
        if (c().record_calls)
            c().record("socket");
        if (fault_result(Call::Socket) < 0)
            return -1;
        AlarmBlock hold;
        for (int i = 0; i < Controller::SOCKETS; i++) {
            Controller::Socket &so = c().sockets_[i];
            if (!so.open) {
                so.open = true;
                so.stale = false;
                so.epipe_pending = false;
                so.filter = c().initial_filter;
                so.head = 0;
                so.tail = 0;
                c().open_sockets_++;
                return Controller::FIRST_SOCKET + i;
            }
        }
        errno = EMFILE;
        return -1;
    }

    static int bind(int sock, int dev_id) {
        if (c().record_calls)
            c().record("bind sock=" + std::to_string(sock) + " dev=" + std::to_string(dev_id));
        if (fault_result(Call::Bind) < 0)
            return -1;
        if (!c().present || dev_id != c().dev_id) {
            errno = ENODEV;
            return -1;
        }
        return 0;
    }

    static int set_nonblocking(int sock) {
        if (c().record_calls)
            c().record("ioctl FIONBIO sock=" + std::to_string(sock));
        return fault_result(Call::Ioctl);
    }

    static int get_filter(int sock, hci::Filter *f) {
        if (c().record_calls)
            c().record("getsockopt HCI_FILTER" + on(sock));
        if (fault_result(Call::GetFilter) < 0)
            return -1;
        *f = c().filter_of(sock);
        return 0;
    }

    static int set_filter(int sock, const hci::Filter *f) {
        if (c().record_calls)
            c().record("setsockopt HCI_FILTER " + hex(f, sizeof *f) + on(sock));
        if (fault_result(Call::SetFilter) < 0)
            return -1;
        Controller::Socket *so = c().socket(sock);
        if (so == nullptr)
            return 0;
        const uint8_t report[] = {hci::PKT_EVENT, hci::EVT_LE_META};
        const bool listened = lets_through(so->filter, report, sizeof report);
        {
            AlarmBlock hold;
            so->filter = *f;
        }
        if (!listened && lets_through(*f, report, sizeof report) && c().on_listen)
            c().on_listen(sock);
        return 0;
    }

    // Called from the tick: no allocation, no recording beyond a counter.
    static ssize_t read(int sock, void *buf, size_t len) {
        Controller &s = c();
        s.read_calls_ = s.read_calls_ + 1;
        if (s.read_hook_ != nullptr)
            s.read_hook_(s.read_hook_context_);
        if (fault_result(Call::Read) < 0)
            return -1;
        Controller::Socket *so = s.socket(sock);
        if (so == nullptr) {
            errno = EBADF;
            return -1;
        }
        if (so->epipe_pending) {
            so->epipe_pending = false;
            errno = EPIPE;
            return -1;
        }
        if (so->head == so->tail) {
            errno = EAGAIN;
            return -1;
        }
        const Controller::Packet &p = so->queue[so->head % Controller::QUEUE_PACKETS];
        size_t n = p.len < len ? p.len : len; // the rest of a long packet is lost
        memcpy(buf, p.bytes, n);
        so->head = so->head + 1;
        return static_cast<ssize_t>(n);
    }

    static int bring_up(int dev_id) {
        if (c().record_calls)
            c().record("bring_up dev=" + std::to_string(dev_id));
        if (!c().present || c().up_) {
            errno = ENODEV;
            return -1;
        }
        c().up_ = true;
        return c().dev_id;
    }

    static int close(int sock) {
        if (c().record_calls)
            c().record("close sock=" + std::to_string(sock));
        if (fault_result(Call::Close) < 0)
            return -1;
        AlarmBlock hold;
        if (Controller::Socket *so = c().socket(sock)) {
            so->open = false;
            c().open_sockets_--;
        }
        return 0;
    }

    static int send_req(int sock, osl_hci_request *rq, int timeout_ms) {
        char line[96];
        snprintf(line, sizeof line, "send_req ogf=0x%02X ocf=0x%04X clen=%d timeout=%d", rq->ogf,
                 rq->ocf, rq->clen, timeout_ms);
        if (c().record_calls)
            c().record(line + on(sock));
        const uint8_t *params = static_cast<const uint8_t *>(rq->cparam);
        if (c().record_calls)
            c().commands_.push_back(
                Command{sock, rq->ogf, rq->ocf,
                        std::vector<uint8_t>(params, params + (params != nullptr ? rq->clen : 0))});
        Controller::Fault f;
        if (c().strikes(Call::SendReq, hci::opcode(rq->ogf, rq->ocf), &f) && f.status == 0) {
            errno = f.err != 0 ? f.err : ETIMEDOUT;
            return -1;
        }
        uint8_t status = f.status;
        if (status == 0 && rq->ogf == hci::OGF_LE_CTL)
            status = state_rule(rq->ocf);
        // A controller keeps the advertising data it accepted until the next
        // load: byte 0 is the significant length, then the data.
        if (status == 0 && rq->ogf == hci::OGF_LE_CTL && rq->ocf == hci::OCF_LE_SET_ADV_DATA &&
            params != nullptr && rq->clen >= 1) {
            size_t n = params[0];
            if (n > sizeof c().adv_data_)
                n = sizeof c().adv_data_;
            if (n > static_cast<size_t>(rq->clen - 1))
                n = static_cast<size_t>(rq->clen - 1);
            memcpy(c().adv_data_, params + 1, n);
            c().adv_len_ = n;
        }
        // Only Read BD_ADDR answers with more than its status.
        const bool bd_addr = rq->ogf == hci::OGF_INFO_PARAM && rq->ocf == hci::OCF_READ_BD_ADDR;
        const int reply_len = bd_addr && status == 0 ? 6 : 0;
        return exchange(sock, rq->ogf, rq->ocf, status, c().bd_addr, reply_len,
                        static_cast<uint8_t *>(rq->rparam), rq->rlen);
    }

    // What the controller's own state makes of an LE command, whoever sends
    // it and on whichever socket (the state is the controller's, and
    // outlives the program that set it): Command Disallowed for parameters
    // or a random address while the scan or advertising they belong to
    // runs, as a real controller (and BlueZ's emulator) answers.
    static uint8_t state_rule(uint16_t ocf) {
        const bool refused =
            (ocf == hci::OCF_LE_SET_SCAN_PARAMETERS && c().scanning_) ||
            (ocf == hci::OCF_LE_SET_ADV_PARAMETERS && c().advertising_) ||
            (ocf == hci::OCF_LE_SET_RANDOM_ADDRESS && (c().scanning_ || c().advertising_));
        return refused ? hci::STATUS_COMMAND_DISALLOWED : 0;
    }

    // Switching scanning or advertising to the state it is already in is
    // refused too.
    static uint8_t switch_rule(bool now_on, uint8_t enable) {
        return now_on == (enable != 0) ? hci::STATUS_COMMAND_DISALLOWED : 0;
    }

    // libbluetooth's LE helpers are requests too; they return -1 with EIO
    // when the controller's status is not 0, be it a fault set by the test
    // or the controller's state (`natural`).
    static int le_request(int sock, Call call, uint16_t ocf, uint8_t natural) {
        Controller::Fault f;
        if (c().strikes(call, hci::opcode(hci::OGF_LE_CTL, ocf), &f) && f.status == 0) {
            errno = f.err != 0 ? f.err : EIO;
            return -1;
        }
        const uint8_t status = f.status != 0 ? f.status : natural;
        uint8_t answer = 0;
        if (exchange(sock, hci::OGF_LE_CTL, ocf, status, nullptr, 0, &answer, 1) < 0)
            return -1;
        if (answer != 0) {
            errno = EIO;
            return -1;
        }
        return 0;
    }

    static int le_set_scan_parameters(int sock, uint8_t type, uint16_t interval, uint16_t window,
                                      uint8_t own_type, uint8_t filter, int timeout_ms) {
        char line[128];
        snprintf(line, sizeof line,
                 "scan_params type=%u interval=0x%04X window=0x%04X own=%u filter=%u timeout=%d",
                 type, interval, window, own_type, filter, timeout_ms);
        if (c().record_calls)
            c().record(line + on(sock));
        return le_request(sock, Call::ScanParams, hci::OCF_LE_SET_SCAN_PARAMETERS,
                          state_rule(hci::OCF_LE_SET_SCAN_PARAMETERS));
    }

    static int le_set_scan_enable(int sock, uint8_t enable, uint8_t filter_dup, int timeout_ms) {
        char line[96];
        snprintf(line, sizeof line, "scan_enable enable=%u filter_dup=%u timeout=%d", enable,
                 filter_dup, timeout_ms);
        if (c().record_calls)
            c().record(line + on(sock));
        if (le_request(sock, Call::ScanEnable, hci::OCF_LE_SET_SCAN_ENABLE,
                       switch_rule(c().scanning_, enable)) < 0)
            return -1;
        c().scanning_ = enable != 0;
        if (enable == 0)
            c().wedged_ = false;
        return 0;
    }

    static int le_set_advertise_enable(int sock, uint8_t enable, int timeout_ms) {
        char line[64];
        snprintf(line, sizeof line, "adv_enable enable=%u timeout=%d", enable, timeout_ms);
        if (c().record_calls)
            c().record(line + on(sock));
        if (le_request(sock, Call::AdvEnable, hci::OCF_LE_SET_ADVERTISE_ENABLE,
                       switch_rule(c().advertising_, enable)) < 0)
            return -1;
        c().advertising_ = enable != 0;
        if (c().advertising_ && c().on_advertise)
            c().on_advertise();
        if (c().advertising_) {
            if (c().drop_windows_ > 0) {
                c().drop_windows_--;
                c().dropped_++;
            } else if (c().on_air) {
                c().on_air(c().adv_data_, c().adv_len_);
            }
        }
        return 0;
    }
};

const osl_hci_ops Controller::ops = {
    Port::get_route,
    Port::open_socket,
    Port::bind,
    Port::set_nonblocking,
    Port::get_filter,
    Port::set_filter,
    Port::read,
    Port::close,
    Port::send_req,
    Port::le_set_scan_parameters,
    Port::le_set_scan_enable,
    Port::le_set_advertise_enable,
    Port::bring_up,
};

namespace {
int hand_create(timer_t *id) {
    *id = timer_t{};
    return 0;
}
int hand_arm(timer_t, const struct itimerspec *) {
    return 0;
}
int hand_remove(timer_t) {
    return 0;
}
int failing_create(timer_t *) {
    errno = EAGAIN;
    return -1;
}
int failing_arm(timer_t, const struct itimerspec *) {
    errno = EINVAL;
    return -1;
}
} // namespace

const osl_timer_ops hand_timer = {hand_create, hand_arm, hand_remove};
const osl_timer_ops timer_create_fails = {failing_create, failing_arm, hand_remove};
const osl_timer_ops timer_arm_fails = {hand_create, failing_arm, hand_remove};

std::vector<uint8_t> adv_report(const uint8_t addr_msb_first[6], const std::vector<uint8_t> &data,
                                int8_t rssi) {
    std::vector<uint8_t> p;
    p.push_back(hci::PKT_EVENT);
    p.push_back(hci::EVT_LE_META);
    p.push_back(static_cast<uint8_t>(1 + 1 + 1 + 1 + 6 + 1 + data.size() + 1)); // parameter length
    p.push_back(hci::SUBEVT_LE_ADV_REPORT);
    p.push_back(1);    // one report
    p.push_back(0x03); // non-connectable undirected
    p.push_back(0x00); // public address
    uint8_t addr[OSL_ADDR_SIZE];
    osl_addr_flip(addr_msb_first, addr);
    p.insert(p.end(), addr, addr + OSL_ADDR_SIZE);
    p.push_back(static_cast<uint8_t>(data.size()));
    p.insert(p.end(), data.begin(), data.end());
    p.push_back(static_cast<uint8_t>(rssi));
    return p;
}

} // namespace osl::sim
