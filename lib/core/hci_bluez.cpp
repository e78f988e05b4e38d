// The real port: BlueZ's libbluetooth and the Linux HCI socket. This is the
// only source of the library that includes BlueZ headers.
#include "hci_port.h"

#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <bluetooth/bluetooth.h>
#include <bluetooth/hci.h>
#include <bluetooth/hci_lib.h>

static_assert(sizeof(struct hci_filter) <= sizeof(osl::hci::Filter),
              "the library's filter holds BlueZ's");

namespace {

int osl_bluez_get_route() {
    return hci_get_route(nullptr);
}

int osl_bluez_open_socket() {
    return socket(AF_BLUETOOTH, SOCK_RAW | SOCK_CLOEXEC, BTPROTO_HCI);
}

int osl_bluez_bind(int sock, int dev_id) {
    struct sockaddr_hci addr;
    memset(&addr, 0, sizeof addr);
    addr.hci_family = AF_BLUETOOTH;
    addr.hci_dev = static_cast<unsigned short>(dev_id);
    addr.hci_channel = HCI_CHANNEL_RAW;
    return bind(sock, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr);
}

int osl_bluez_set_nonblocking(int sock) {
    int on = 1;
    return ioctl(sock, FIONBIO, &on);
}

int osl_bluez_get_filter(int sock, osl::hci::Filter *f) {
    socklen_t len = sizeof *f;
    return getsockopt(sock, SOL_HCI, HCI_FILTER, f, &len);
}

int osl_bluez_set_filter(int sock, const osl::hci::Filter *f) {
    return setsockopt(sock, SOL_HCI, HCI_FILTER, f, sizeof *f);
}

ssize_t osl_bluez_read(int sock, void *buf, size_t len) {
    return read(sock, buf, len);
}

int osl_bluez_close(int sock) {
    return close(sock);
}

int osl_bluez_send_req(int sock, osl_hci_request *rq, int timeout_ms) {
    struct hci_request req;
    memset(&req, 0, sizeof req);
    req.ogf = rq->ogf;
    req.ocf = rq->ocf;
    req.event = rq->event;
    req.cparam = const_cast<void *>(rq->cparam);
    req.clen = rq->clen;
    req.rparam = rq->rparam;
    req.rlen = rq->rlen;
    return hci_send_req(sock, &req, timeout_ms);
}

int osl_bluez_le_set_scan_parameters(int sock, uint8_t type, uint16_t interval, uint16_t window,
                                     uint8_t own_type, uint8_t filter, int timeout_ms) {
    return hci_le_set_scan_parameters(sock, type, interval, window, own_type, filter, timeout_ms);
}

int osl_bluez_le_set_scan_enable(int sock, uint8_t enable, uint8_t filter_dup, int timeout_ms) {
    return hci_le_set_scan_enable(sock, enable, filter_dup, timeout_ms);
}

int osl_bluez_bring_up(int dev_id) {
    int ctl = socket(AF_BLUETOOTH, SOCK_RAW | SOCK_CLOEXEC, BTPROTO_HCI);
    if (ctl < 0)
        return -1;
    // The kernel's list of controllers: a count, then one entry per controller.
    alignas(struct hci_dev_list_req) static uint8_t
        buffer[sizeof(struct hci_dev_list_req) + HCI_MAX_DEV * sizeof(struct hci_dev_req)];
    memset(buffer, 0, sizeof buffer);
    auto *devices = reinterpret_cast<struct hci_dev_list_req *>(buffer);
    devices->dev_num = HCI_MAX_DEV;
    int found = -1;
    int err = ENODEV;
    if (ioctl(ctl, HCIGETDEVLIST, devices) < 0) {
        err = errno;
    } else {
        // The controller asked for first, then any other that is down.
        const int count = devices->dev_num < HCI_MAX_DEV ? devices->dev_num : HCI_MAX_DEV;
        int order[HCI_MAX_DEV];
        int n = 0;
        for (int i = 0; i < count; i++)
            if (devices->dev_req[i].dev_id == dev_id)
                order[n++] = i;
        for (int i = 0; i < count; i++)
            if (devices->dev_req[i].dev_id != dev_id)
                order[n++] = i;
        for (int k = 0; k < n; k++) {
            const struct hci_dev_req &d = devices->dev_req[order[k]];
            uint32_t flags = d.dev_opt;
            if (hci_test_bit(HCI_UP, &flags))
                continue;
            // EALREADY: the kernel's own set-up of a new controller is running.
            if (ioctl(ctl, HCIDEVUP, d.dev_id) == 0 || errno == EALREADY) {
                found = d.dev_id;
                break;
            }
            err = errno;
        }
    }
    close(ctl);
    if (found < 0)
        errno = err;
    return found;
}

int osl_bluez_le_set_advertise_enable(int sock, uint8_t enable, int timeout_ms) {
    return hci_le_set_advertise_enable(sock, enable, timeout_ms);
}

} // namespace

const osl_hci_ops osl_hci_bluez = {
    osl_bluez_get_route,
    osl_bluez_open_socket,
    osl_bluez_bind,
    osl_bluez_set_nonblocking,
    osl_bluez_get_filter,
    osl_bluez_set_filter,
    osl_bluez_read,
    osl_bluez_close,
    osl_bluez_send_req,
    osl_bluez_le_set_scan_parameters,
    osl_bluez_le_set_scan_enable,
    osl_bluez_le_set_advertise_enable,
    osl_bluez_bring_up,
};

const osl_hci_ops *osl_hci = &osl_hci_bluez;
