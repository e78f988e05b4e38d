// The command phase, in a process of its own: the library sends a relay
// command from its controller while the simulated device advertises sensor
// frames to it. A scanner on a third controller must receive the command
// and unseal it with the relay's key; every sensor frame must reach the
// library, also those the kernel queued while the command was on the air.
#include <atomic>
#include <csignal>
#include <cstring>
#include <pthread.h>
#include <thread>

#include "core/adapter.h"
#include "core/text.h"
#include "frames/layout.h"
#include "frames/seal.h"
#include "guest.h"
#include "support/capture.h"
#include "support/quiet_thread.h"

namespace osl::vm {

namespace {

using osl::test::seal_payload;
using osl::test::sensor_key;
using osl::test::standard_adv_data;

constexpr char RELAY_NAME[] = "lamp";
constexpr char RELAY_ADDR_TEXT[] = "A1B2C3D4E5F6";
constexpr uint8_t RELAY_ADDR[6] = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6};
constexpr char RELAY_KEY_TEXT[] = "0F1E2D3C4B5A69788796A5B4C3D2E1F0";
constexpr uint8_t CHANNELS_ON = 0x05;
// Sensor frames the device sends once the command is under way.
constexpr int FRAMES = 6;

Block frame_block(int i) {
    return meteo(2000 + static_cast<uint32_t>(i), 213, 30, {0x05, 0x08, 0xE8, 45, 120});
}

// Plays the sensor frames from the device's controller, starting once the
// library has begun its command. Runs on a quiet_thread, which never takes
// the library's signals, so the tick stays on the main thread.
void play_frames(Device &device, std::atomic<int> &sent, std::atomic<int> &sent_busy,
                 std::string &err) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(DEADLINE_MS);
    while (osl_tx_busy == 0) {
        if (Clock::now() > deadline) {
            err = "the command never began";
            return;
        }
    }
    for (int i = 0; i < FRAMES && err.empty(); i++) {
        err = device.start(
            standard_adv_data(seal_payload(frame_block(i), OSL_DEV_METEO, sensor_key())));
        const bool busy = osl_tx_busy != 0;
        if (err.empty())
            err = device.stop();
        sent++;
        if (busy)
            sent_busy++;
    }
}

void check_command(Tally &t, const Report &r) {
    namespace command = osl::frame::command;
    const Bytes header(std::begin(frame::STD_HEADER), std::end(frame::STD_HEADER));
    if (!t.check(r.data.size() == frame::ADV_DATA_SIZE &&
                     Bytes(r.data.begin(), r.data.begin() + frame::STD_PAYLOAD) == header,
                 "command: 31 bytes of advertising data in the standard layout", hex(r.data)))
        return;
    uint8_t payload[OSL_SEALED_SIZE];
    memcpy(payload, r.data.data() + frame::STD_PAYLOAD, sizeof payload);
    uint8_t key[OSL_KEY_SIZE];
    osl_hex_to_bytes(RELAY_KEY_TEXT, key, OSL_KEY_SIZE);
    if (!t.check(osl_unseal(payload, key) == 0, "command: its tag verifies with the relay's key",
                 hex(payload, sizeof payload)))
        return;
    const uint8_t expected[] = {command::CODE_VALUE,
                                RELAY_ADDR[0],
                                RELAY_ADDR[1],
                                RELAY_ADDR[2],
                                RELAY_ADDR[3],
                                RELAY_ADDR[4],
                                RELAY_ADDR[5],
                                OSL_DEV_RELAY,
                                0x80 | CHANNELS_ON,
                                0,
                                0,
                                0,
                                0};
    t.check(memcmp(payload + command::CODE, expected, sizeof expected) == 0,
            "command: code 6, the relay's address and type, 0x80 | channels, then zeros",
            hex(payload + command::CODE, sizeof expected));
}

} // namespace

void command_phase(Tally &t, int lib_dev, int device_dev, int scanner_dev) {
    AddrLsb lib_addr{};
    std::string err = read_bdaddr(lib_dev, &lib_addr);
    t.check(err.empty(), "command phase: library controller's address read", err);
    Observer scanner;
    err = scanner.open(scanner_dev);
    if (err.empty())
        err = scanner.scan();
    if (!t.check(err.empty(), "command phase: a scanner on hci" + std::to_string(scanner_dev), err))
        return;
    Device device;
    err = device.open(device_dev, DEVICE_ADDR);
    if (!t.check(err.empty(), "command phase: device set up", err))
        return;

    osl::test::StdoutCapture capture; // the library's lines stay off the console
    const int opened = osl_bt_open(0, 0, 0, OSL_LOG_SENSORS);
    if (!t.check(opened == 0, "command phase: osl_bt_open returns 0",
                 "got " + std::to_string(opened)))
        return;
    t.check(osl_relay_add(RELAY_NAME, RELAY_ADDR_TEXT, RELAY_KEY_TEXT) == 0,
            "command phase: relay registered");

    std::atomic<int> sent{0};
    std::atomic<int> sent_busy{0};
    std::string play_err;
    std::thread player =
        osl::test::quiet_thread([&] { play_frames(device, sent, sent_busy, play_err); });
    const int result = osl_relay_on(RELAY_NAME, CHANNELS_ON);
    player.join();
    t.check(result == 0, "command phase: osl_relay_on returns 0", std::to_string(result));
    t.check(play_err.empty() && sent == FRAMES, "command phase: the device sent its frames",
            play_err);
    t.check(sent_busy > 0, "command phase: frames were sent while the command was on the air",
            std::to_string(sent_busy) + " of " + std::to_string(sent.load()));
    fprintf(stderr, "     %d of %d frames sent while the library was sending\n", sent_busy.load(),
            sent.load());

    Report r;
    err = scanner.wait_from(lib_addr, DEADLINE_MS, &r);
    if (t.check(err.empty(), "command phase: the scanner heard the library's command", err))
        check_command(t, r);

    // Every frame, in order, none lost to the command.
    int got = 0;
    bool in_order = true;
    pump_until([&] {
        osl_record rec{};
        int type;
        while ((type = osl_bt_read(&rec)) > 0) {
            if (type == OSL_DEV_METEO) {
                in_order = in_order && memcmp(rec.payload, frame_block(got).data(), 16) == 0;
                got++;
            }
        }
        return got >= FRAMES;
    });
    t.check(got == FRAMES && in_order, "command phase: every sensor frame reached the library",
            std::to_string(got) + " of " + std::to_string(FRAMES) +
                (in_order ? "" : ", not in order"));
    osl_bt_close();
    capture.stop();
}

} // namespace osl::vm
