#include "radio.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <bluetooth/bluetooth.h>
#include <bluetooth/hci.h>
#include <bluetooth/hci_lib.h>

namespace osl::vm {

namespace {

constexpr int HCI_TIMEOUT_MS = 2000;

using Clock = std::chrono::steady_clock;

Clock::time_point after_ms(int ms) {
    return Clock::now() + std::chrono::milliseconds(ms);
}

void pause_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string errno_text(const std::string &what) {
    return what + ": " + strerror(errno);
}

// One command with a one-byte status answer.
int status_of(int sock, uint16_t ogf, uint16_t ocf, void *params, int len) {
    uint8_t status = 0xFF;
    struct hci_request rq;
    memset(&rq, 0, sizeof rq);
    rq.ogf = ogf;
    rq.ocf = ocf;
    rq.cparam = params;
    rq.clen = len;
    rq.rparam = &status;
    rq.rlen = 1;
    if (hci_send_req(sock, &rq, HCI_TIMEOUT_MS) < 0)
        return -1;
    return status;
}

} // namespace

bool is_up(int dev) {
    struct hci_dev_info di;
    return hci_devinfo(dev, &di) == 0 && hci_test_bit(HCI_UP, &di.flags);
}

bool registered(int dev) {
    struct stat st;
    return stat(("/sys/class/bluetooth/hci" + std::to_string(dev)).c_str(), &st) == 0;
}

std::string controllers_up(const std::vector<int> &devs, int deadline_ms) {
    int ctl = socket(AF_BLUETOOTH, SOCK_RAW | SOCK_CLOEXEC, BTPROTO_HCI);
    if (ctl < 0)
        return errno_text("control socket");
    const auto deadline = after_ms(deadline_ms);
    std::string last;
    for (int dev : devs) {
        for (;;) {
            // btvirt registers its controllers a moment after it starts (ENODEV
            // until then); right after registration the kernel's own set-up may
            // still be powering the controller, which answers EALREADY.
            if (ioctl(ctl, HCIDEVUP, dev) == 0 || errno == EALREADY)
                break;
            last = errno_text("hci" + std::to_string(dev) + " up");
            if (Clock::now() > deadline) {
                close(ctl);
                return last;
            }
            pause_ms(50);
        }
    }
    close(ctl);
    for (int dev : devs) {
        while (!is_up(dev)) {
            if (Clock::now() > deadline)
                return "hci" + std::to_string(dev) + " does not come up";
            pause_ms(50);
        }
    }
    return {};
}

std::string controllers_up(int count, int deadline_ms) {
    std::vector<int> devs;
    for (int dev = 0; dev < count; dev++)
        devs.push_back(dev);
    return controllers_up(devs, deadline_ms);
}

int route() {
    return hci_get_route(nullptr);
}

std::string read_bdaddr(int dev, AddrLsb *addr) {
    struct hci_dev_info di;
    if (hci_devinfo(dev, &di) < 0)
        return errno_text("hci" + std::to_string(dev) + " info");
    memcpy(addr->data(), di.bdaddr.b, addr->size());
    return {};
}

int scan_parameters_status(int dev) {
    le_set_scan_parameters_cp cp;
    memset(&cp, 0, sizeof cp);
    cp.type = 0x00; // passive
    cp.interval = htobs(0x0010);
    cp.window = htobs(0x0010);
    return le_status(dev, OCF_LE_SET_SCAN_PARAMETERS,
                     Bytes(reinterpret_cast<uint8_t *>(&cp), reinterpret_cast<uint8_t *>(&cp + 1)));
}

int le_status(int dev, uint16_t ocf, const Bytes &params) {
    int sock = hci_open_dev(dev);
    if (sock < 0)
        return -1;
    Bytes copy = params;
    int status = status_of(sock, OGF_LE_CTL, ocf, copy.data(), static_cast<int>(copy.size()));
    hci_close_dev(sock);
    return status;
}

Device::~Device() {
    if (sock_ >= 0)
        hci_close_dev(sock_);
}

std::string Device::command(uint16_t ocf, const void *params, int len, const char *what) {
    int status = status_of(sock_, OGF_LE_CTL, ocf, const_cast<void *>(params), len);
    if (status < 0)
        return errno_text(what);
    if (status != 0)
        return std::string(what) + ": status " + std::to_string(status);
    return {};
}

std::string Device::open(int dev, const std::array<uint8_t, 6> &addr_msb_first) {
    sock_ = hci_open_dev(dev);
    if (sock_ < 0)
        return errno_text("device socket on hci" + std::to_string(dev));

    // The controller takes a new random address only while it neither scans
    // nor advertises, so it is set once, first.
    le_set_random_address_cp addr;
    for (int i = 0; i < 6; i++)
        addr.bdaddr.b[i] = addr_msb_first[5 - i];
    std::string err = command(OCF_LE_SET_RANDOM_ADDRESS, &addr, sizeof addr, "random address");
    if (!err.empty())
        return err;

    le_set_advertising_parameters_cp params;
    memset(&params, 0, sizeof params);
    params.min_interval = htobs(0x00A0); // 100 ms
    params.max_interval = htobs(0x00A0);
    params.advtype = 0x03;      // non-connectable, as the kit's devices
    params.own_bdaddr_type = 1; // random: the address set above
    params.chan_map = 0x07;
    return command(OCF_LE_SET_ADVERTISING_PARAMETERS, &params, sizeof params, "adv parameters");
}

std::string Device::start(const Bytes &adv_data) {
    le_set_advertising_data_cp cp;
    memset(&cp, 0, sizeof cp);
    if (adv_data.size() > sizeof cp.data)
        return "advertising data longer than 31 bytes";
    cp.length = static_cast<uint8_t>(adv_data.size());
    memcpy(cp.data, adv_data.data(), adv_data.size());
    std::string err = command(OCF_LE_SET_ADVERTISING_DATA, &cp, sizeof cp, "adv data");
    if (!err.empty())
        return err;
    if (hci_le_set_advertise_enable(sock_, 1, HCI_TIMEOUT_MS) < 0)
        return errno_text("adv enable");
    return {};
}

std::string Device::stop() {
    if (hci_le_set_advertise_enable(sock_, 0, HCI_TIMEOUT_MS) < 0)
        return errno_text("adv disable");
    return {};
}

Observer::~Observer() {
    if (scanning_) {
        int sock = hci_open_dev(dev_);
        if (sock >= 0) {
            hci_le_set_scan_enable(sock, 0x00, 0x01, HCI_TIMEOUT_MS);
            hci_close_dev(sock);
        }
    }
    if (sock_ >= 0)
        hci_close_dev(sock_);
}

std::string Observer::open(int dev) {
    dev_ = dev;
    sock_ = hci_open_dev(dev);
    if (sock_ < 0)
        return errno_text("observer socket on hci" + std::to_string(dev));
    struct hci_filter f;
    hci_filter_clear(&f);
    hci_filter_set_ptype(HCI_EVENT_PKT, &f);
    hci_filter_set_event(EVT_LE_META_EVENT, &f);
    if (setsockopt(sock_, SOL_HCI, HCI_FILTER, &f, sizeof f) < 0)
        return errno_text("observer filter");
    return {};
}

std::string Observer::scan() {
    int sock = hci_open_dev(dev_);
    if (sock < 0)
        return errno_text("scan socket on hci" + std::to_string(dev_));
    std::string err;
    if (hci_le_set_scan_parameters(sock, 0x00, htobs(0x0010), htobs(0x0010), 0x00, 0x00,
                                   HCI_TIMEOUT_MS) < 0)
        err = errno_text("observer scan parameters");
    else if (hci_le_set_scan_enable(sock, 0x01, 0x00, HCI_TIMEOUT_MS) < 0)
        err = errno_text("observer scan enable");
    else
        scanning_ = true;
    hci_close_dev(sock);
    return err;
}

std::string Observer::wait(const AddrLsb &addr, const Bytes &data, int deadline_ms, Report *out) {
    return wait_for(addr, &data, deadline_ms, out);
}

std::string Observer::wait_from(const AddrLsb &addr, int deadline_ms, Report *out) {
    return wait_for(addr, nullptr, deadline_ms, out);
}

std::string Observer::wait_for(const AddrLsb &addr, const Bytes *data, int deadline_ms,
                               Report *out) {
    const auto deadline = after_ms(deadline_ms);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return "no report within " + std::to_string(deadline_ms) + " ms";
        struct pollfd p = {sock_, POLLIN, 0};
        int n = poll(&p, 1, static_cast<int>(left.count()));
        if (n < 0 && errno != EINTR)
            return errno_text("observer poll");
        if (n <= 0)
            continue;
        uint8_t buf[HCI_MAX_EVENT_SIZE + 1];
        ssize_t len = read(sock_, buf, sizeof buf);
        if (len < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return errno_text("observer read");
        }
        // 04 3E len 02 num | type addr_type addr[6] data_len data rssi
        constexpr int DATA = 14;
        if (len < DATA + 1 || buf[0] != HCI_EVENT_PKT || buf[1] != EVT_LE_META_EVENT ||
            buf[3] != EVT_LE_ADVERTISING_REPORT)
            continue;
        const int data_len = buf[13];
        if (DATA + data_len + 1 > len)
            continue;
        Report r;
        r.packet.assign(buf, buf + len);
        r.event_type = buf[5];
        r.addr_type = buf[6];
        memcpy(r.addr.data(), &buf[7], 6);
        r.data.assign(&buf[DATA], &buf[DATA + data_len]);
        r.rssi = static_cast<int8_t>(buf[DATA + data_len]);
        if (r.addr == addr && (data == nullptr || r.data == *data)) {
            *out = r;
            return {};
        }
    }
}

namespace {

void write_file(const char *path, const char *text) {
    FILE *f = fopen(path, "w");
    if (f != nullptr) {
        fputs(text, f);
        fclose(f);
    }
}

} // namespace

void prepare_bluez() {
    mkdir("/etc", 0755);
    mkdir("/run", 0755);
    mkdir("/run/dbus", 0755);
    mkdir("/var", 0755);
    mkdir("/var/lib", 0755);
    mkdir("/var/lib/bluetooth", 0700);
    symlink("/run", "/var/run");
    write_file("/etc/passwd", "root:x:0:0:root:/:/bin/sh\nmessagebus:x:100:101::/:/bin/sh\n");
    write_file("/etc/group", "root:x:0:\nmessagebus:x:101:\n");
    write_file("/etc/osl-dbus.conf",
               "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
               "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig>\n"
               "  <type>system</type>\n"
               "  <listen>unix:path=/run/dbus/system_bus_socket</listen>\n"
               "  <auth>EXTERNAL</auth>\n"
               "  <policy context=\"default\">\n"
               "    <allow user=\"*\"/>\n"
               "    <allow own=\"*\"/>\n"
               "    <allow send_type=\"method_call\"/>\n"
               "    <allow send_type=\"signal\"/>\n"
               "    <allow send_type=\"method_return\"/>\n"
               "    <allow send_type=\"error\"/>\n"
               "    <allow receive_type=\"method_call\"/>\n"
               "    <allow receive_type=\"signal\"/>\n"
               "    <allow receive_type=\"method_return\"/>\n"
               "    <allow receive_type=\"error\"/>\n"
               "  </policy>\n"
               "</busconfig>\n");
}

int sockets_open() {
    int count = 0;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr)
        return -1;
    while (struct dirent *e = readdir(d)) {
        char target[64] = {};
        std::string path = std::string("/proc/self/fd/") + e->d_name;
        if (readlink(path.c_str(), target, sizeof target - 1) > 0 &&
            strncmp(target, "socket:", 7) == 0)
            count++;
    }
    closedir(d);
    return count;
}

} // namespace osl::vm
