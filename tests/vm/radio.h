// The guest's own hands on the Bluetooth stack, next to the library under
// test: bringing the virtual controllers up, a simulated device that
// advertises on one controller, and an observer that sees every advertising
// report the kernel hands to raw sockets on another.
//
// BlueZ's headers stay inside radio.cpp: their macros collide with the
// library's own HCI names.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace osl::vm {

using Bytes = std::vector<uint8_t>;
using AddrLsb = std::array<uint8_t, 6>; // least significant byte first, as on the air

// Waits until controllers 0..count-1 exist, brings each up and waits until
// all are up. Empty on success, else what went wrong.
std::string controllers_up(int count, int deadline_ms);
// The same for the controllers named, and only those.
std::string controllers_up(const std::vector<int> &devs, int deadline_ms);

// The controller is registered (btvirt has created it) / is up.
bool registered(int dev);
bool is_up(int dev);

// The controller hci_get_route(NULL) gives, or -1.
int route();

// A controller's public address, or an error text.
std::string read_bdaddr(int dev, AddrLsb *addr);

// LE Set Scan Parameters on a fresh socket of the controller: the HCI status
// (0 accepted, 0x0C refused while the controller scans), or -1 when no answer.
int scan_parameters_status(int dev);

// Any LE controller command (OGF 0x08) on a fresh socket of the controller:
// the HCI status of its Command Complete, or -1 when no answer.
int le_status(int dev, uint16_t ocf, const Bytes &params);

// A kit device played on a controller of its own: one address, and one
// advertising report per frame.
class Device {
  public:
    ~Device();
    // Opens the controller and sets a random own address (written most
    // significant byte first) and non-connectable advertising from it.
    std::string open(int dev, const std::array<uint8_t, 6> &addr_msb_first);
    // Loads the 31 bytes of advertising data and enables advertising.
    std::string start(const Bytes &adv_data);
    std::string stop();

  private:
    std::string command(uint16_t ocf, const void *params, int len, const char *what);
    int sock_ = -1;
};

// One LE advertising report as the kernel delivers it to a raw socket.
struct Report {
    Bytes packet; // the whole HCI event, packet type byte first
    uint8_t event_type = 0;
    uint8_t addr_type = 0;
    AddrLsb addr{};
    Bytes data;
    int8_t rssi = 0;
};

class Observer {
  public:
    ~Observer();
    std::string open(int dev);
    // Makes the controller scan passively, for an observer on a controller
    // nobody else scans with (through a socket of its own, so no report
    // queued for this observer is consumed by the commands).
    std::string scan();
    // Waits for a report from addr carrying exactly data; others are skipped.
    std::string wait(const AddrLsb &addr, const Bytes &data, int deadline_ms, Report *out);
    // Waits for the next report from addr, whatever it carries.
    std::string wait_from(const AddrLsb &addr, int deadline_ms, Report *out);

  private:
    std::string wait_for(const AddrLsb &addr, const Bytes *data, int deadline_ms, Report *out);
    int dev_ = -1;
    int sock_ = -1;
    bool scanning_ = false;
};

// --- faults caused with the stack's own tools, as shell commands -------------

// btvirt stopped (all its controllers unregistered) and started again as the
// machine's init starts it; init keeps its pid in /tmp/btvirt.pid.
inline constexpr char BTVIRT_STOP[] = "kill $(cat /tmp/btvirt.pid)";
inline constexpr char BTVIRT_START[] =
    "btvirt -L -l3 > /tmp/btvirt.log 2>&1 & echo $! > /tmp/btvirt.pid";

// The system bus, then bluetoothd on it, as a stock board runs them. The bus
// takes a moment: bluetoothd needs its socket, DBUS_SOCKET.
inline constexpr char DBUS_SOCKET[] = "/run/dbus/system_bus_socket";
inline constexpr char DBUS_START[] =
    "rm -f /run/dbus/system_bus_socket; dbus-daemon --config-file=/etc/osl-dbus.conf "
    "--nopidfile --nofork > /tmp/dbus.log 2>&1 & echo $! > /tmp/dbus.pid";
inline constexpr char BLUETOOTHD_START[] =
    "bluetoothd -n -d > /tmp/bluetoothd.log 2>&1 & echo $! > /tmp/bluetoothd.pid";
inline constexpr char BLUETOOTHD_PID[] = "/tmp/bluetoothd.pid";
inline constexpr char DBUS_PID[] = "/tmp/dbus.pid";

// What dbus-daemon and bluetoothd need in the bare machine: the users, the
// folders, and the bus configuration DBUS_START names.
void prepare_bluez();

// Sockets this process holds open (the guest program holds no others).
int sockets_open();

} // namespace osl::vm
