// The one narrow door between the library and the Bluetooth stack.
//
// Every call the library makes into BlueZ's libbluetooth or into the socket
// interface for the adapter goes through osl_hci. The BlueZ implementation
// (hci_bluez.cpp) is the default and the only source that sees BlueZ
// headers; tests install the simulated controller (hci_sim.h) instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "hci_defs.h"

// One hci_send_req exchange: command parameters out, reply parameters in.
struct osl_hci_request {
    uint16_t ogf;
    uint16_t ocf;
    int event; // awaited event, 0 for the command's completion
    const void *cparam;
    int clen;
    void *rparam;
    int rlen;
};

// Each member behaves like the call it is named after: a negative result
// means failure with errno set.
struct osl_hci_ops {
    int (*get_route)();                // hci_get_route(NULL)
    int (*open_socket)();              // socket(AF_BLUETOOTH, SOCK_RAW|SOCK_CLOEXEC, BTPROTO_HCI)
    int (*bind)(int sock, int dev_id); // bind to dev_id, channel 0 (raw)
    int (*set_nonblocking)(int sock);  // ioctl(FIONBIO, 1)
    int (*get_filter)(int sock, osl::hci::Filter *f); // getsockopt(SOL_HCI, HCI_FILTER), 16 bytes
    int (*set_filter)(int sock,
                      const osl::hci::Filter *f);     // setsockopt(SOL_HCI, HCI_FILTER), 16 bytes
    ssize_t (*read)(int sock, void *buf, size_t len); // one HCI packet per call; async-signal-safe
    int (*close)(int sock);
    int (*send_req)(int sock, osl_hci_request *rq, int timeout_ms);
    int (*le_set_scan_parameters)(int sock, uint8_t type, uint16_t interval, uint16_t window,
                                  uint8_t own_type, uint8_t filter, int timeout_ms);
    int (*le_set_scan_enable)(int sock, uint8_t enable, uint8_t filter_dup, int timeout_ms);
    int (*le_set_advertise_enable)(int sock, uint8_t enable, int timeout_ms);
    // ioctl(HCIDEVUP) on controller `dev_id` if it is registered and down,
    // else on the first registered controller that is down: its index, or -1
    // (errno) when there is none.
    int (*bring_up)(int dev_id);
};

extern const osl_hci_ops osl_hci_bluez;

// The port in use. Only swapped while the library is closed.
extern const osl_hci_ops *osl_hci;
