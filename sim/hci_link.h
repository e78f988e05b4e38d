// Real HCI controllers for a program that plays devices on them
// (osl_virtkit), through the library's BlueZ port, so the program needs no
// header of the library. A socket is a raw HCI socket; every call returns
// -1 with errno set when the kernel or libbluetooth fails, as the port's
// entry points do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace osl::sim::link {

int open_socket();
int bind(int sock, int dev);
int close(int sock);
// A socket that hears LE Meta events only, read without blocking.
int listen_le_meta(int sock);
// One packet, or -1 (EAGAIN when none is waiting).
ssize_t read(int sock, void *buf, size_t len);
// The advertising data of an LE Advertising Report event read from a
// socket, with its length; nullptr for any other packet, or one cut short.
const uint8_t *report_data(const uint8_t *event, size_t len, size_t *data_len);

// LE commands answered by a status byte: 0 with the controller's status in
// *status (0 when it accepted), or -1 when the request failed.
int set_random_address(int sock, const uint8_t addr_msb_first[6], uint8_t *status);
// 20 to 23.125 ms intervals on all three channels, own address the random
// one: the devices' advertising.
int set_advertising_parameters(int sock, uint8_t *status);
// `len` bytes of advertising data (31 at most), the rest of the block zero.
int set_advertising_data(int sock, const uint8_t *data, uint8_t len, uint8_t *status);

// libbluetooth's LE helpers: -1 with errno EIO when the controller refuses.
// Passive, continuous scanning under the random address, every report.
int set_scan_parameters(int sock);
int set_scan_enable(int sock, bool on);
int set_advertise_enable(int sock, bool on);

} // namespace osl::sim::link
