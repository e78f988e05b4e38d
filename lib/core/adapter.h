// The adapter link: one raw HCI socket, non-blocking, scanning passively with
// a filter that lets only LE meta events through.
#pragma once

#include <cstdint>

#include "hci_defs.h"

enum osl_adapter_state : int32_t {
    OSL_ADAPTER_CLOSED = 0,
    OSL_ADAPTER_OPEN = 2,     // socket bound and non-blocking
    OSL_ADAPTER_SCANNING = 3, // scan enabled, library filter not (yet) set
    OSL_ADAPTER_FILTERED = 4, // scanning with the library's filter: the tick may read
};

// Two raw sockets on the one adapter. The scanning socket only receives
// advertising reports (and carries the scan commands). Commands to actors go
// through a socket of their own: hci_send_req reads and throws away every
// event queued on its socket while it waits for its answer, and gives up
// after ten that are not, so on the scanning socket each command would cost
// the sensor frames heard meanwhile and could fail under load.
struct osl_adapter_t {
    int32_t dev_id;
    int32_t sock; // scanning socket
    osl::hci::Filter saved_filter;
    volatile int32_t state;
    uint8_t own_addr[6]; // least significant byte first
    int32_t cmd_sock;    // command socket; open whenever sock is
};

extern osl_adapter_t osl_adapter;

// Non-zero while the command transmitter owns the socket: its HCI replies
// must reach it, not the tick's reads.
extern volatile int32_t osl_tx_busy;

// True when the tick may read advertising reports from the socket: scanning
// with the library's filter, and no command in flight.
inline bool osl_adapter_readable() {
    return osl_tx_busy == 0 && osl_adapter.state == OSL_ADAPTER_FILTERED;
}

// Results of starting the scan; osl_bt_open adds 20 (OSL_OPEN_SCAN_PARAMS ...).
enum : int {
    OSL_SCAN_PARAMS_REFUSED = 2, // parameters refused twice
    OSL_SCAN_ENABLE_REFUSED = 4,
    OSL_SCAN_FILTER_GET = 6,
    OSL_SCAN_FILTER_SET = 8,
};
// Results of reading the controller's own address.
enum : int { OSL_OWN_ADDR_FAILED = -4, OSL_OWN_ADDR_STATUS = -6 };

// Results of osl_scan_ensure.
enum : int {
    OSL_SCAN_STILL_ON = 1,      // the controller refused the parameters: it scans
    OSL_SCAN_STARTED_AGAIN = 0, // it did not scan, and now does with the library's parameters
    OSL_SCAN_NO_ANSWER = -1,    // a command failed without a status (errno)
};
// Asks the controller, over the command socket, whether it still scans: it
// loads the library's scan parameters, which a scanning controller refuses
// (Command Disallowed), and when they are taken starts the scan again.
int osl_scan_ensure();
// Stops the scan and starts it again with the library's parameters, over the
// command socket: OSL_SCAN_STARTED_AGAIN or OSL_SCAN_NO_ANSWER.
int osl_scan_restart();

int osl_adapter_open(); // 0, OSL_OPEN_NO_ADAPTER, OSL_OPEN_SOCKET, OSL_OPEN_BIND, OSL_OPEN_NONBLOCK
int osl_scan_start();   // 0 or an OSL_SCAN_ code
// Both, as the open and a link opened again take them: 0, or the open result
// (a scan start's code told apart by OSL_OPEN_SCAN_PARAMS and the three after).
int osl_adapter_open_scanning();
void osl_scan_stop();
int osl_adapter_close(); // always 0
int osl_read_own_addr(); // 0 or an OSL_OWN_ADDR_ code
