// The decoder's share of a tick: up to ten reports per 10 ms, each decoded in
// its window slot. The costliest are an accepted sealed frame (tag check,
// repeat scan, unsealing, record) and a new frame refused at a full window
// after comparing it with all 100 slots.
#include <cstring>

#include <benchmark/benchmark.h>

#include "core/fifo.h"
#include "core/hci_defs.h"
#include "frames/decode.h"
#include "frames/layout.h"
#include "frames/seal.h"
#include "osl.h"

namespace {

namespace report = osl::hci::report;
using namespace osl::frame;

// A METEO report in the standard layout from an address ending in `last`.
void meteo_report(uint8_t *event, uint8_t last, uint32_t wt) {
    memset(event, 0, OSL_RX_SLOT_SIZE);
    event[report::PKT_TYPE] = osl::hci::PKT_EVENT;
    event[report::EVT_CODE] = osl::hci::EVT_LE_META;
    event[report::PARAM_LEN] = REPORT_STD_SIZE - 3;
    event[report::SUBEVENT] = osl::hci::SUBEVT_LE_ADV_REPORT;
    event[report::NUM_REPORTS] = 1;
    const uint8_t addr[6] = {last, 0xE5, 0xD4, 0xC3, 0xB2, 0xA1};
    memcpy(event + report::ADDR, addr, sizeof addr);
    event[report::DATA_LEN] = ADV_DATA_SIZE;
    memcpy(event + report::DATA, STD_HEADER, sizeof STD_HEADER);
    uint8_t *payload = event + REPORT_STD_PAYLOAD;
    memcpy(payload, &wt, sizeof wt);
    payload[OSL_REC_TYPE] = OSL_DEV_METEO;
    payload[OSL_SEALED_TYPE] = OSL_DEV_METEO;
    osl_seal(payload, osl_sensor_key);
    event[REPORT_STD_RSSI] = 0xC4;
}

void reset_queue() {
    osl_fifo_init(&osl_fifo, osl_fifo_storage, OSL_FIFO_CAPACITY);
}

void BM_DecodeAcceptedSensorFrame(benchmark::State &state) {
    uint8_t event[OSL_RX_SLOT_SIZE];
    meteo_report(event, 0x01, 1000);
    reset_queue();
    for (auto _ : state) {
        osl_rx_index = 0;
        memcpy(osl_rx_slots[0], event, sizeof event);
        int result = osl_frame_decode(osl_rx_slots[0], REPORT_STD_SIZE, &osl_fifo);
        benchmark::DoNotOptimize(result);
        osl_fifo_flush(&osl_fifo);
    }
}
BENCHMARK(BM_DecodeAcceptedSensorFrame);

void BM_DecodeRefusedAtFullWindow(benchmark::State &state) {
    // Frames that share the address and the type byte make every comparison
    // of the repeat scan run on into the tag.
    for (int s = 0; s < OSL_RX_SLOTS; s++)
        meteo_report(osl_rx_slots[s], 0x01, static_cast<uint32_t>(s));
    uint8_t event[OSL_RX_SLOT_SIZE];
    meteo_report(event, 0x01, 5000);
    reset_queue();
    for (auto _ : state) {
        osl_rx_index = OSL_RX_SLOTS;
        memcpy(osl_rx_slots[OSL_RX_SLOTS], event, sizeof event);
        int result = osl_frame_decode(osl_rx_slots[OSL_RX_SLOTS], REPORT_STD_SIZE, &osl_fifo);
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(BM_DecodeRefusedAtFullWindow);

void BM_DecodeBadTag(benchmark::State &state) {
    uint8_t event[OSL_RX_SLOT_SIZE];
    meteo_report(event, 0x01, 1000);
    event[REPORT_STD_PAYLOAD + OSL_SEALED_TAG] ^= 0x01;
    reset_queue();
    for (auto _ : state) {
        osl_rx_index = 0;
        memcpy(osl_rx_slots[0], event, sizeof event);
        int result = osl_frame_decode(osl_rx_slots[0], REPORT_STD_SIZE, &osl_fifo);
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(BM_DecodeBadTag);

} // namespace

BENCHMARK_MAIN();
