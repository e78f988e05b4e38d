#include "hci_sim.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "core/addr.h"

namespace osl::sim {

namespace {

constexpr int SIM_SOCKET = 1000; // far from any descriptor the test process holds

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
    for (Fault &f : faults_)
        f = Fault{};
    calls.clear();
    commands.clear();
    filter = {};
    scanning = false;
    advertising = false;
    open_sockets = 0;
    head_ = 0;
    tail_ = 0;
    read_calls_ = 0;
}

void Controller::fail(Call call, int err, int times, int skip) {
    faults_[static_cast<int>(call)] = Fault{skip, times, err, 0};
}

void Controller::status(Call call, uint8_t status, int times, int skip) {
    faults_[static_cast<int>(call)] = Fault{skip, times, 0, status};
}

bool Controller::strikes(Call call, Fault *hit) {
    Fault &f = faults_[static_cast<int>(call)];
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

void Controller::deliver(const uint8_t *packet, size_t len) {
    AlarmBlock hold;
    if (tail_ - head_ >= QUEUE_PACKETS || len > PACKET_MAX) {
        fprintf(stderr, "sim: event queue full or packet too long\n");
        return;
    }
    Packet &p = queue_[tail_ % QUEUE_PACKETS];
    p.len = static_cast<uint16_t>(len);
    memcpy(p.bytes, packet, len);
    tail_ = tail_ + 1;
}

size_t Controller::pending() const {
    return tail_ - head_;
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

    static int get_route() {
        c().record("get_route");
        if (fault_result(Call::GetRoute) < 0)
            return -1;
        if (!c().present) {
            errno = ENODEV;
            return -1;
        }
        return c().dev_id;
    }

    static int open_socket() {
        c().record("socket");
        if (fault_result(Call::Socket) < 0)
            return -1;
        c().open_sockets++;
        c().filter = c().initial_filter;
        return SIM_SOCKET;
    }

    static int bind(int sock, int dev_id) {
        c().record("bind sock=" + std::to_string(sock) + " dev=" + std::to_string(dev_id));
        return fault_result(Call::Bind);
    }

    static int set_nonblocking(int sock) {
        c().record("ioctl FIONBIO sock=" + std::to_string(sock));
        return fault_result(Call::Ioctl);
    }

    static int get_filter(int, hci::Filter *f) {
        c().record("getsockopt HCI_FILTER");
        if (fault_result(Call::GetFilter) < 0)
            return -1;
        *f = c().filter;
        return 0;
    }

    static int set_filter(int, const hci::Filter *f) {
        c().record("setsockopt HCI_FILTER " + hex(f, sizeof *f));
        if (fault_result(Call::SetFilter) < 0)
            return -1;
        c().filter = *f;
        return 0;
    }

    // Called from the tick: no allocation, no recording beyond a counter.
    static ssize_t read(int, void *buf, size_t len) {
        Controller &s = c();
        s.read_calls_ = s.read_calls_ + 1;
        if (fault_result(Call::Read) < 0)
            return -1;
        if (s.head_ == s.tail_) {
            errno = EAGAIN;
            return -1;
        }
        const Controller::Packet &p = s.queue_[s.head_ % Controller::QUEUE_PACKETS];
        size_t n = p.len < len ? p.len : len; // the rest of a long packet is lost
        memcpy(buf, p.bytes, n);
        s.head_ = s.head_ + 1;
        return static_cast<ssize_t>(n);
    }

    static int close(int sock) {
        c().record("close sock=" + std::to_string(sock));
        if (fault_result(Call::Close) < 0)
            return -1;
        c().open_sockets--;
        return 0;
    }

    static int send_req(int, osl_hci_request *rq, int timeout_ms) {
        char line[96];
        snprintf(line, sizeof line, "send_req ogf=0x%02X ocf=0x%04X clen=%d timeout=%d", rq->ogf,
                 rq->ocf, rq->clen, timeout_ms);
        c().record(line);
        const uint8_t *params = static_cast<const uint8_t *>(rq->cparam);
        c().commands.push_back(
            Command{rq->ogf, rq->ocf,
                    std::vector<uint8_t>(params, params + (params != nullptr ? rq->clen : 0))});
        Controller::Fault f;
        if (c().strikes(Call::SendReq, &f) && f.status == 0) {
            errno = f.err != 0 ? f.err : ETIMEDOUT;
            return -1;
        }
        uint8_t *reply = static_cast<uint8_t *>(rq->rparam);
        if (reply != nullptr && rq->rlen > 0) {
            memset(reply, 0, static_cast<size_t>(rq->rlen));
            reply[0] = f.status;
            if (f.status == 0 && rq->ogf == hci::OGF_INFO_PARAM &&
                rq->ocf == hci::OCF_READ_BD_ADDR && rq->rlen >= hci::READ_BD_ADDR_REPLY_LEN)
                memcpy(reply + 1, c().bd_addr, 6);
        }
        return 0;
    }

    // libbluetooth's LE helpers return -1 with EIO when the controller's
    // status is not 0.
    static int le_result(Call call) {
        Controller::Fault f;
        if (!c().strikes(call, &f))
            return 0;
        errno = f.status != 0 ? EIO : (f.err != 0 ? f.err : EIO);
        return -1;
    }

    static int le_set_scan_parameters(int, uint8_t type, uint16_t interval, uint16_t window,
                                      uint8_t own_type, uint8_t filter, int timeout_ms) {
        char line[128];
        snprintf(line, sizeof line,
                 "scan_params type=%u interval=0x%04X window=0x%04X own=%u filter=%u timeout=%d",
                 type, interval, window, own_type, filter, timeout_ms);
        c().record(line);
        return le_result(Call::ScanParams);
    }

    static int le_set_scan_enable(int, uint8_t enable, uint8_t filter_dup, int timeout_ms) {
        char line[96];
        snprintf(line, sizeof line, "scan_enable enable=%u filter_dup=%u timeout=%d", enable,
                 filter_dup, timeout_ms);
        c().record(line);
        if (le_result(Call::ScanEnable) < 0)
            return -1;
        c().scanning = enable != 0;
        return 0;
    }

    static int le_set_advertise_enable(int, uint8_t enable, int timeout_ms) {
        char line[64];
        snprintf(line, sizeof line, "adv_enable enable=%u timeout=%d", enable, timeout_ms);
        c().record(line);
        if (le_result(Call::AdvEnable) < 0)
            return -1;
        c().advertising = enable != 0;
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
} // namespace

const osl_timer_ops hand_timer = {hand_create, hand_arm, hand_remove};

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
