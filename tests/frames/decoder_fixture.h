// The library opened on the simulated controller with a receive lamp on a
// scratch GPIO tree and ticks driven by hand, for the decoder's tests.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>

#include "core/fifo.h"
#include "core/lamps.h"
#include "frames/decode.h"
#include "frames/window.h"
#include "osl.h"
#include "support/capture.h"
#include "support/frames.h"
#include "support/lib_fixture.h"

namespace osl::test {

class DecoderFixture : public LibFixture {
  protected:
    static constexpr int RX_PIN = 5;

    // Opens the library with the given verbosity; the receive lamp's value
    // file is an ordinary file, so it keeps every byte written to it.
    void open(int flags) {
        use_manual_timer();
        mkdir(path("gpio").c_str(), 0700);
        mkdir(path("gpio/gpio5").c_str(), 0700);
        for (const char *f :
             {"gpio/export", "gpio/unexport", "gpio/gpio5/direction", "gpio/gpio5/value"})
            write_file(path(f), "");
        ASSERT_EQ(osl_bt_open(RX_PIN, 0, 0, flags), 0);
        out.take();
    }

    // Everything written to the receive lamp since open ("1" on, "0" off).
    std::string lamp() { return read_file(path("gpio/gpio5/value")); }

    // Queues the events in the controller and ticks until all are read; at
    // least one tick, also when the socket's filter let none of them through.
    void receive(const std::vector<Bytes> &events) {
        for (const Bytes &e : events)
            sim.deliver(e);
        do
            tick();
        while (sim.pending() > 0);
    }
    void receive(const Bytes &event) { receive(std::vector<Bytes>{event}); }

    // Decodes one event exactly where and how the tick would, for its result.
    static int decode(const Bytes &event) {
        unsigned index = std::min<unsigned>(osl_rx_index, OSL_RX_SLOTS);
        uint8_t *slot = osl_rx_slots[index];
        size_t n = std::min<size_t>(event.size(), OSL_RX_SLOT_SIZE);
        memset(slot, 0, OSL_RX_SLOT_SIZE);
        memcpy(slot, event.data(), n);
        return osl_frame_decode(slot, static_cast<int>(n), &osl_fifo);
    }

    // Every queued record (osl_bt_read alone cannot tell a type-0 record
    // from none). Reading also prints the lines the tick recorded.
    static std::vector<osl_record> take_records() {
        std::vector<osl_record> records;
        while (osl_fifo_used(&osl_fifo) >= OSL_REC_SIZE) {
            osl_record r;
            EXPECT_GE(osl_bt_read(&r), 0);
            records.push_back(r);
        }
        osl_record none;
        EXPECT_EQ(osl_bt_read(&none), 0); // and flushes the log
        return records;
    }

    std::string said() { return mask_times(out.take()); }

    StdoutCapture out;
};

// The address of a record, as 12 digits.
inline std::string record_addr(const osl_record &r) {
    char text[13];
    for (int i = 0; i < 6; i++)
        snprintf(text + 2 * i, 3, "%02X", r.addr[i]);
    return text;
}

} // namespace osl::test
