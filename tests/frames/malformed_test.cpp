// Short and malformed reports: the decoder reads nothing outside the event's
// 50-byte slot and takes no byte that was not received for data. Meant to run
// under AddressSanitizer: the direct pass decodes from a heap buffer of
// exactly one slot, so any read past it is caught.
#include <algorithm>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "core/hci_defs.h"
#include "decoder_fixture.h"
#include "frames/decode.h"
#include "frames/window.h"
#include "frames/layout.h"
#include "osl.h"

namespace osl::test {
namespace {

const Addr FROM = addr_from_text("A1B2C3D4E5F6");

Block meteo_block() {
    DeviceBlock d;
    d.wt = 42;
    d.type = OSL_DEV_METEO;
    return d.bytes();
}

Bytes meteo() {
    return sensor_report(FROM, meteo_block(), -60);
}
Bytes air() {
    return air_report(FROM, AirBlock{}.bytes(), -61);
}

Bytes cut(Bytes event, size_t len) {
    event.resize(len);
    return event;
}

// A report whose advertising data is given whole; byte 13 as the data says.
Bytes report(const Bytes &data, int8_t rssi = -60) {
    return sim::adv_report(FROM.data(), data, rssi);
}

// The manufacturer structure first, the flags after it: the byte after the
// payload is then the flags' length byte, not the report's RSSI.
Bytes flags_last() {
    Bytes std = standard_adv_data(seal_payload(meteo_block(), OSL_DEV_METEO, sensor_key()));
    Bytes data(std.begin() + 3, std.end());
    data.insert(data.end(), std.begin(), std.begin() + 3);
    return report(data);
}

// A first structure of the given length whose successor's type byte lands
// at report offset 14 + length + 2, followed by `tail`.
Bytes after_filler(uint8_t filler_len, const Bytes &tail) {
    Bytes data(1 + filler_len + tail.size(), 0xEE);
    data[0] = filler_len;
    if (filler_len > 0)
        data[1] = 0x16;
    memcpy(data.data() + 1 + filler_len, tail.data(), tail.size());
    return report(data);
}

struct Malformed {
    const char *what;
    Bytes event; // as the controller delivers it; reads take at most 50 bytes
    int result;
    bool queued;
    int8_t rssi;
};

std::vector<Malformed> malformed() {
    Bytes data_len_far = cut(meteo(), 45);
    data_len_far[hci::report::DATA_LEN] = 0xFF;
    Bytes long_event = meteo();
    long_event.pop_back(); // the RSSI moves behind an extra structure
    const Bytes extra = {0x0C, 0x16, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    long_event.insert(long_event.end(), extra.begin(), extra.end());
    long_event.push_back(static_cast<uint8_t>(-60));

    return {
        {"one byte", {hci::PKT_EVENT}, -4, false, 0},
        {"the header only", cut(meteo(), 14), -6, false, 0},
        {"sealed payload cut short", cut(meteo(), 44), -6, false, 0},
        {"company identifier only", cut(meteo(), 21), -6, false, 0},
        {"sealed frame without its RSSI", cut(meteo(), 45), OSL_REC_SIZE, true, 0},
        {"data length pointing far beyond", data_len_far, OSL_REC_SIZE, true, 0},
        {"RSSI after the payload, not last", flags_last(), OSL_REC_SIZE, true, 2},
        {"event longer than a slot", long_event, OSL_REC_SIZE, true, 0x0C},
        {"air payload cut short", cut(air(), 43), -6, false, 0},
        {"air frame without its RSSI", cut(air(), 44), OSL_REC_SIZE, true, 0},
        {"air name cut short", cut(air(), 20), -6, false, 0},
        {"manufacturer type in the slot's last byte", after_filler(33, {0x1B, 0xFF}), -6, false, 0},
        {"name type in the slot's last byte", after_filler(33, {0x06, 0x09}), -6, false, 0},
        {"name text beyond the slot", after_filler(31, {0x06, 0x09, 'T', 'u', 'l'}), -6, false, 0},
        {"structures of length zero", report(Bytes(31, 0x00)), -6, false, 0},
        {"lengths leading out of the data", report({0xF0, 0x01, 0x02}), -6, false, 0},
    };
}

class MalformedEvents : public DecoderFixture {
  protected:
    void SetUp() override {
        DecoderFixture::SetUp();
        open(OSL_LOG_SENSORS | OSL_LOG_ACTORS | OSL_LOG_AIR);
    }

    // Each row starts from an empty window, so no row is a repeat of another.
    void check_outcome(const Malformed &m) {
        std::vector<osl_record> records = take_records();
        ASSERT_EQ(records.size(), m.queued ? 1u : 0u);
        if (m.queued) {
            EXPECT_EQ(records[0].rssi, m.rssi);
        }
        said();
        osl_rx_index = 0;
        osl_rx_countdown = 0;
    }
};

TEST_F(MalformedEvents, NeverReadBeyondTheReceivedBytes) {
    for (const Malformed &m : malformed()) {
        SCOPED_TRACE(m.what);
        // Directly, from a buffer of exactly one slot.
        const size_t n = std::min<size_t>(m.event.size(), OSL_RX_SLOT_SIZE);
        std::vector<uint8_t> slot(OSL_RX_SLOT_SIZE, 0);
        std::copy(m.event.begin(), m.event.begin() + static_cast<long>(n), slot.begin());
        EXPECT_EQ(osl_frame_decode(slot.data(), static_cast<int>(n), &osl_fifo), m.result);
        check_outcome(m);
        // As the tick reads it.
        receive(m.event);
        check_outcome(m);
    }
}

TEST_F(MalformedEvents, LengthsOutsideTheSlotAreBoundedByIt) {
    // Structures whose lengths lead past the slot, and a length claiming more.
    std::vector<uint8_t> slot(OSL_RX_SLOT_SIZE, 0);
    const Bytes event = report({0x1F, 0x16});
    std::copy(event.begin(), event.end(), slot.begin());
    EXPECT_EQ(osl_ad_find(frame::AD_MANUFACTURER, slot.data(), 500), -1);
    EXPECT_EQ(osl_frame_decode(slot.data(), 500, &osl_fifo), -6);
    EXPECT_EQ(osl_frame_decode(slot.data(), -1, &osl_fifo), -6);
    EXPECT_EQ(osl_fifo_used(&osl_fifo), 0u);
}

} // namespace
} // namespace osl::test
