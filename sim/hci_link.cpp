#include "hci_link.h"

#include <cstring>

#include "core/addr.h"
#include "core/hci_defs.h"
#include "core/hci_port.h"

namespace osl::sim::link {

namespace {

constexpr int ADV_DATA_MAX = 31;

int status_request(int sock, uint16_t ocf, const void *params, int len, uint8_t *status) {
    *status = 0xFF;
    osl_hci_request rq = {};
    rq.ogf = hci::OGF_LE_CTL;
    rq.ocf = ocf;
    rq.cparam = params;
    rq.clen = len;
    rq.rparam = status;
    rq.rlen = 1;
    return osl_hci_bluez.send_req(sock, &rq, hci::TIMEOUT_MS);
}

} // namespace

int open_socket() {
    return osl_hci_bluez.open_socket();
}

int bind(int sock, int dev) {
    return osl_hci_bluez.bind(sock, dev);
}

int close(int sock) {
    return osl_hci_bluez.close(sock);
}

int listen_le_meta(int sock) {
    hci::Filter f;
    hci::filter_clear(&f);
    hci::filter_set_ptype(hci::PKT_EVENT, &f);
    hci::filter_set_event(hci::EVT_LE_META, &f);
    if (osl_hci_bluez.set_filter(sock, &f) < 0)
        return -1;
    return osl_hci_bluez.set_nonblocking(sock);
}

ssize_t read(int sock, void *buf, size_t len) {
    return osl_hci_bluez.read(sock, buf, len);
}

const uint8_t *report_data(const uint8_t *event, size_t len, size_t *data_len) {
    namespace report = hci::report;
    if (len <= static_cast<size_t>(report::DATA) || event[report::PKT_TYPE] != hci::PKT_EVENT ||
        event[report::EVT_CODE] != hci::EVT_LE_META ||
        event[report::SUBEVENT] != hci::SUBEVT_LE_ADV_REPORT)
        return nullptr;
    const size_t n = event[report::DATA_LEN];
    if (report::DATA + n > len)
        return nullptr;
    *data_len = n;
    return event + report::DATA;
}

int set_random_address(int sock, const uint8_t addr_msb_first[6], uint8_t *status) {
    uint8_t lsb_first[OSL_ADDR_SIZE];
    osl_addr_flip(addr_msb_first, lsb_first);
    return status_request(sock, hci::OCF_LE_SET_RANDOM_ADDRESS, lsb_first, sizeof lsb_first,
                          status);
}

int set_advertising_parameters(int sock, uint8_t *status) {
    const auto &params = hci::ADV_PARAMS<hci::OWN_ADDR_RANDOM>;
    return status_request(sock, hci::OCF_LE_SET_ADV_PARAMETERS, params, sizeof params, status);
}

int set_advertising_data(int sock, const uint8_t *data, uint8_t len, uint8_t *status) {
    // Byte 0 is the significant length; the block always has room for 31.
    uint8_t block[1 + ADV_DATA_MAX] = {};
    const uint8_t n = len < ADV_DATA_MAX ? len : ADV_DATA_MAX;
    block[0] = n;
    memcpy(block + 1, data, n);
    return status_request(sock, hci::OCF_LE_SET_ADV_DATA, block, sizeof block, status);
}

int set_scan_parameters(int sock) {
    return osl_hci_bluez.le_set_scan_parameters(sock, hci::SCAN_PASSIVE, hci::SCAN_INTERVAL,
                                                hci::SCAN_WINDOW, hci::OWN_ADDR_RANDOM,
                                                hci::FILTER_ACCEPT_ALL, hci::TIMEOUT_MS);
}

int set_scan_enable(int sock, bool on) {
    return osl_hci_bluez.le_set_scan_enable(sock, on ? 1 : 0, 0, hci::TIMEOUT_MS);
}

int set_advertise_enable(int sock, bool on) {
    return osl_hci_bluez.le_set_advertise_enable(sock, on ? 1 : 0, hci::TIMEOUT_MS);
}

} // namespace osl::sim::link
