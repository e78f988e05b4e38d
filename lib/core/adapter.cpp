#include "adapter.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "hci_port.h"
#include "log.h"
#include "osl.h"
#include "text.h"

using namespace osl;

osl_adapter_t osl_adapter;
volatile int32_t osl_tx_busy;

namespace {

// The adapter-open errors go out bare: no time, no line end.
void osl_log_lib_bare(const char *line) {
    if (osl_log_on(OSL_LOG_LIB))
        fputs(line, stdout);
}

int osl_set_scan_parameters_on(int sock) {
    return osl_hci->le_set_scan_parameters(sock, hci::SCAN_PASSIVE, hci::SCAN_INTERVAL,
                                           hci::SCAN_WINDOW, hci::OWN_ADDR_PUBLIC,
                                           hci::FILTER_ACCEPT_ALL, hci::TIMEOUT_MS);
}

int osl_set_scan_parameters() {
    return osl_set_scan_parameters_on(osl_adapter.sock);
}

// A raw HCI socket bound to the adapter: 0, or the open failure code.
int osl_open_bound_socket(int dev_id, int *sock) {
    int fd = osl_hci->open_socket();
    if (fd < 0) {
        osl_log_lib_bare("[osl err] cant open socket");
        return OSL_OPEN_SOCKET;
    }
    if (osl_hci->bind(fd, dev_id) < 0) {
        osl_log_lib_bare("[osl err] cant bind socket");
        osl_hci->close(fd);
        return OSL_OPEN_BIND;
    }
    *sock = fd;
    return 0;
}

int osl_disable_scanning() {
    return osl_hci->le_set_scan_enable(osl_adapter.sock, 0, 1, hci::TIMEOUT_MS);
}

} // namespace

int osl_read_own_addr() {
    uint8_t reply[hci::READ_BD_ADDR_REPLY_LEN] = {};
    osl_hci_request rq = {};
    rq.ogf = hci::OGF_INFO_PARAM;
    rq.ocf = hci::OCF_READ_BD_ADDR;
    rq.event = 0;
    rq.rparam = reply;
    rq.rlen = sizeof reply;
    if (osl_hci->send_req(osl_adapter.sock, &rq, hci::TIMEOUT_MS) < 0)
        return OSL_OWN_ADDR_FAILED;
    if (reply[0] != 0) {
        errno = EIO;
        return OSL_OWN_ADDR_STATUS;
    }
    memcpy(osl_adapter.own_addr, &reply[1], sizeof osl_adapter.own_addr);
    return 0;
}

int osl_adapter_open() {
    int dev_id = osl_hci->get_route();
    if (dev_id < 0) {
        osl_log_lib_bare("[osl err] BLE dev not found");
        return OSL_OPEN_NO_ADAPTER;
    }
    osl_adapter.dev_id = dev_id;

    // Both sockets or neither: a socket of the two that cannot be made
    // fails the open the same way, and the other is closed again.
    int sock = -1;
    int cmd_sock = -1;
    int r = osl_open_bound_socket(dev_id, &sock);
    if (r == 0) {
        r = osl_open_bound_socket(dev_id, &cmd_sock);
        if (r != 0)
            osl_hci->close(sock);
    }
    if (r != 0)
        return r;
    osl_adapter.sock = sock;
    osl_adapter.cmd_sock = cmd_sock;
    osl_adapter.state = OSL_ADAPTER_OPEN;

    if (osl_hci->set_nonblocking(sock) < 0) {
        osl_log_lib_bare("[osl err] cant set ioctl");
        osl_adapter_close();
        return OSL_OPEN_NONBLOCK;
    }

    // Without the address the library still works; it only shows zeros.
    if (osl_read_own_addr() != 0)
        osl_log_lib("[osl err] cant read dev addr");

    if (osl_log_on(OSL_LOG_LIB)) {
        osl_print_time_prefix(OSL_LOG_TIME_FORMAT);
        fputs("[osl open] mac:", stdout);
        osl_print_addr(osl_adapter.own_addr, 0); // stored order: least significant first
        printf(" | osl_lib:%.8X\n", OSL_LIB_VERSION);
    }
    return 0;
}

int osl_scan_start() {
    if (osl_set_scan_parameters() < 0) {
        // A controller left scanning by an earlier program refuses new
        // parameters: stop it and try once more.
        osl_log_lib("[osl start] ble stop\n\r");
        osl_disable_scanning();
        if (osl_set_scan_parameters() < 0) {
            osl_log_lib("[osl err] set scan param\n\r");
            return OSL_SCAN_PARAMS_REFUSED;
        }
    }
    if (osl_hci->le_set_scan_enable(osl_adapter.sock, 1, 0, hci::TIMEOUT_MS) < 0) {
        osl_log_lib("[osl err] ble scan enable\n\r");
        return OSL_SCAN_ENABLE_REFUSED;
    }
    osl_adapter.state = OSL_ADAPTER_SCANNING;

    if (osl_hci->get_filter(osl_adapter.sock, &osl_adapter.saved_filter) < 0) {
        osl_log_lib("[osl err] get sock opt\n\r");
        return OSL_SCAN_FILTER_GET;
    }
    // Only LE meta events reach the socket: the advertising reports.
    hci::Filter filter;
    hci::filter_clear(&filter);
    hci::filter_set_ptype(hci::PKT_EVENT, &filter);
    hci::filter_set_event(hci::EVT_LE_META, &filter);
    if (osl_hci->set_filter(osl_adapter.sock, &filter) < 0) {
        // Printed whatever the verbosity: the socket is left unfiltered.
        osl_print_time_prefix(OSL_LOG_TIME_FORMAT);
        fputs("[osl err] set sock opt\n\r", stdout);
        return OSL_SCAN_FILTER_SET;
    }
    osl_adapter.state = OSL_ADAPTER_FILTERED;
    return 0;
}

int osl_adapter_open_scanning() {
    constexpr int offset = OSL_OPEN_SCAN_PARAMS - OSL_SCAN_PARAMS_REFUSED;
    static_assert(OSL_SCAN_FILTER_SET + offset == OSL_OPEN_FILTER_SET, "one offset");
    const int r = osl_adapter_open();
    if (r != 0)
        return r;
    const int s = osl_scan_start();
    return s != 0 ? s + offset : 0;
}

int osl_scan_ensure() {
    if (osl_set_scan_parameters_on(osl_adapter.cmd_sock) < 0)
        // The LE helpers turn a controller's non-zero status into EIO.
        return errno == EIO ? OSL_SCAN_STILL_ON : OSL_SCAN_NO_ANSWER;
    if (osl_hci->le_set_scan_enable(osl_adapter.cmd_sock, 1, 0, hci::TIMEOUT_MS) < 0)
        return OSL_SCAN_NO_ANSWER;
    return OSL_SCAN_STARTED_AGAIN;
}

int osl_scan_restart() {
    // The controller may already have stopped: that refusal is no fault.
    osl_hci->le_set_scan_enable(osl_adapter.cmd_sock, 0, 1, hci::TIMEOUT_MS);
    const int r = osl_scan_ensure();
    return r == OSL_SCAN_STARTED_AGAIN ? r : OSL_SCAN_NO_ANSWER;
}

void osl_scan_stop() {
    if (osl_adapter.state == OSL_ADAPTER_FILTERED) {
        osl_hci->set_filter(osl_adapter.sock, &osl_adapter.saved_filter);
        osl_adapter.state = OSL_ADAPTER_SCANNING;
    }
    if (osl_adapter.state == OSL_ADAPTER_SCANNING) {
        if (osl_disable_scanning() < 0)
            osl_log_lib("[osl err] stop dev\n\r");
        else
            osl_log_lib("[osl stop] stopped\n\r");
        osl_adapter.state = OSL_ADAPTER_OPEN;
    }
}

int osl_adapter_close() {
    // A failed open can leave the link scanning without the library's filter
    // (state 3); stop that scan too, so the socket is never left behind.
    osl_scan_stop();
    if (osl_adapter.state == OSL_ADAPTER_OPEN) {
        int scan = osl_hci->close(osl_adapter.sock);
        int cmd = osl_hci->close(osl_adapter.cmd_sock);
        if (scan < 0 || cmd < 0)
            osl_log_lib("[osl err] close\n\r");
        else
            osl_log_lib("[osl close] closed\n\r");
    }
    osl_adapter.state = OSL_ADAPTER_CLOSED;
    return 0;
}
