// A sealed sensor report in the standard layout, built directly into a
// window slot, for the benchmarks of the decoder and the tick.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/hci_defs.h"
#include "frames/decode.h"
#include "frames/window.h"
#include "frames/layout.h"
#include "frames/seal.h"
#include "osl.h"

namespace osl::bench {

namespace report = osl::hci::report;
using namespace osl::frame;

// A METEO report in the standard layout from an address ending in `last`.
inline void meteo_report(uint8_t *event, uint8_t last, uint32_t wt) {
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

} // namespace osl::bench
