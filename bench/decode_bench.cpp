// The decoder's share of a tick: up to ten reports per 10 ms, each decoded in
// its window slot. The costliest are an accepted sealed frame (tag check,
// repeat scan, unsealing, record) and a repeat refused at a full window
// after comparing it with all 100 slots.
#include <cstring>

#include <benchmark/benchmark.h>

#include "core/fifo.h"
#include "core/hci_defs.h"
#include "frames/decode.h"
#include "frames/window.h"
#include "frames/layout.h"
#include "frames/seal.h"
#include "osl.h"
#include "report_builder.h"

namespace {

namespace report = osl::hci::report;
using namespace osl::frame;
using osl::bench::meteo_report;

// Decodes the event as the tick would, from the window slot at `index`.
int decode_at(uint8_t index, const uint8_t *event) {
    osl_rx_index = index;
    memcpy(osl_rx_slots[index], event, OSL_RX_SLOT_SIZE);
    return osl_frame_decode(osl_rx_slots[index], REPORT_STD_SIZE, &osl_fifo);
}

void reset_queue() {
    osl_fifo_init(&osl_fifo, osl_fifo_storage, OSL_FIFO_CAPACITY);
}

void BM_DecodeAcceptedSensorFrame(benchmark::State &state) {
    uint8_t event[OSL_RX_SLOT_SIZE];
    meteo_report(event, 0x01, 1000);
    reset_queue();
    for (auto _ : state) {
        benchmark::DoNotOptimize(decode_at(0, event));
        osl_fifo_flush(&osl_fifo);
    }
}
BENCHMARK(BM_DecodeAcceptedSensorFrame);

void BM_DecodeRepeatAtFullWindow(benchmark::State &state) {
    // Frames that share the address and the type byte make every comparison
    // of the repeat scan run on into the tag.
    for (int s = 0; s < OSL_RX_SLOTS; s++)
        meteo_report(osl_rx_slots[s], 0x01, static_cast<uint32_t>(s));
    uint8_t event[OSL_RX_SLOT_SIZE];
    meteo_report(event, 0x01, 5000);
    reset_queue();
    // The full window takes the frame in place of its oldest, slot 0: from
    // then on each decode compares with all 100 slots before it finds the
    // repeat in the last one it looks at.
    osl_rx_oldest = 0;
    decode_at(OSL_RX_SLOTS, event);
    for (auto _ : state) {
        benchmark::DoNotOptimize(decode_at(OSL_RX_SLOTS, event));
    }
}
BENCHMARK(BM_DecodeRepeatAtFullWindow);

void BM_DecodeBadTag(benchmark::State &state) {
    uint8_t event[OSL_RX_SLOT_SIZE];
    meteo_report(event, 0x01, 1000);
    event[REPORT_STD_PAYLOAD + OSL_SEALED_TAG] ^= 0x01;
    reset_queue();
    for (auto _ : state) {
        benchmark::DoNotOptimize(decode_at(0, event));
    }
}
BENCHMARK(BM_DecodeBadTag);

} // namespace

BENCHMARK_MAIN();
