// HCI protocol constants and packet layouts the library relies on, kept in
// one place so that the adapter link, the decoder, the transmitter and the
// simulated controller all name the same numbers.
#pragma once

#include <cstdint>

namespace osl::hci {

// Packet indicators and events.
inline constexpr uint8_t PKT_EVENT = 0x04;
inline constexpr uint8_t EVT_CMD_COMPLETE = 0x0E;
inline constexpr uint8_t EVT_LE_META = 0x3E;
inline constexpr uint8_t SUBEVT_LE_ADV_REPORT = 0x02;

// Command groups and commands.
inline constexpr uint16_t OGF_INFO_PARAM = 0x04;
inline constexpr uint16_t OCF_READ_BD_ADDR = 0x0009;
inline constexpr uint16_t OGF_LE_CTL = 0x08;
inline constexpr uint16_t OCF_LE_SET_RANDOM_ADDRESS = 0x0005;
inline constexpr uint16_t OCF_LE_SET_ADV_PARAMETERS = 0x0006;
inline constexpr uint16_t OCF_LE_SET_ADV_DATA = 0x0008;
inline constexpr uint16_t OCF_LE_SET_ADVERTISE_ENABLE = 0x000A;
inline constexpr uint16_t OCF_LE_SET_SCAN_PARAMETERS = 0x000B;
inline constexpr uint16_t OCF_LE_SET_SCAN_ENABLE = 0x000C;

// A command's opcode as it travels: the group in the top 6 bits, the command
// in the low 10 (LE Set Scan Enable is 0x200C).
constexpr uint16_t opcode(uint16_t ogf, uint16_t ocf) {
    return static_cast<uint16_t>(ogf << 10 | ocf);
}

// A controller's answer to a command its state does not allow: switching
// scanning or advertising to the state it is already in, or changing scan
// parameters, advertising parameters or the random address while the scan
// or the advertising they belong to runs.
inline constexpr uint8_t STATUS_COMMAND_DISALLOWED = 0x0C;

// Every request the library makes waits at most this long.
inline constexpr int TIMEOUT_MS = 1000;

// Passive, continuous scanning: window equal to interval (16 x 0.625 ms).
inline constexpr uint8_t SCAN_PASSIVE = 0x00;
inline constexpr uint16_t SCAN_INTERVAL = 0x0010;
inline constexpr uint16_t SCAN_WINDOW = 0x0010;
inline constexpr uint8_t OWN_ADDR_PUBLIC = 0x00;
inline constexpr uint8_t OWN_ADDR_RANDOM = 0x01; // the one set with LE Set Random Address
inline constexpr uint8_t FILTER_ACCEPT_ALL = 0x00;

// LE Set Advertising Parameters: 20 to 23.125 ms intervals (0x20 and 0x25
// times 0.625 ms), connectable undirected, the given own address type, no
// peer, all three channels, no filter. The library advertises its commands
// under its public address, the virtual kit's devices under random ones.
template <uint8_t own_addr_type>
inline constexpr uint8_t ADV_PARAMS[15] = {0x20, 0x00, 0x25, 0x00, 0x00, own_addr_type, 0x00, 0x00,
                                           0x00, 0x00, 0x00, 0x00, 0x00, 0x07,          0x00};

// Read BD_ADDR answer: status byte, then the address least significant byte first.
inline constexpr int READ_BD_ADDR_REPLY_LEN = 7;

// Offsets inside an LE Advertising Report event as read from the socket.
namespace report {
inline constexpr int PKT_TYPE = 0;
inline constexpr int EVT_CODE = 1;
inline constexpr int PARAM_LEN = 2;
inline constexpr int SUBEVENT = 3;
inline constexpr int NUM_REPORTS = 4;
inline constexpr int EVT_TYPE = 5;
inline constexpr int ADDR_TYPE = 6;
inline constexpr int ADDR = 7; // 6 bytes, least significant first
inline constexpr int DATA_LEN = 13;
inline constexpr int DATA = 14;
} // namespace report

// The socket filter of the Linux Bluetooth stack (BlueZ's struct hci_filter):
// packet-type mask, 64-bit event mask as two words, opcode, 2 filler bytes.
struct Filter {
    uint32_t type_mask;
    uint32_t event_mask[2];
    uint16_t opcode;
    uint16_t filler;
};
static_assert(sizeof(Filter) == 16, "HCI filter is 16 bytes");

// Same bit arithmetic as BlueZ's hci_filter_* helpers, which live in a header
// this side of the port must not include.
inline void filter_clear(Filter *f) {
    *f = Filter{};
}
inline void filter_set_ptype(int t, Filter *f) {
    int bit = (t == 0xff) ? 0 : (t & 31);
    f->type_mask |= 1u << bit;
}
inline void filter_set_event(int e, Filter *f) {
    int bit = e & 63;
    f->event_mask[bit >> 5] |= 1u << (bit & 31);
}

} // namespace osl::hci
