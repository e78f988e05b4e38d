#include "frame_log.h"

#include <cstdio>
#include <cstring>

#include "core/hci_defs.h"
#include "core/text.h"
#include "osl.h"

void osl_rx_line_defer(osl_log_printer print, const uint8_t *event, int8_t rssi,
                       const uint8_t *payload, int kind, int index) {
    osl_rx_line line;
    memcpy(line.addr, event + osl::hci::report::ADDR, sizeof line.addr);
    line.rssi = rssi;
    memcpy(line.payload, payload, sizeof line.payload);
    line.kind = static_cast<uint8_t>(kind);
    line.index = static_cast<uint8_t>(index);
    osl_log_defer(print, &line, sizeof line);
}

osl_rx_line osl_rx_line_from(const uint8_t *data, unsigned len) {
    osl_rx_line line = {};
    memcpy(&line, data, len < sizeof line ? len : sizeof line);
    return line;
}

void osl_rx_line_record(const osl_rx_line &line, uint8_t *record) {
    memset(record, 0, OSL_REC_SIZE);
    memcpy(record + OSL_REC_PAYLOAD, line.payload, sizeof line.payload);
    osl_addr_flip(line.addr, record + OSL_REC_ADDR);
    record[OSL_REC_RSSI] = static_cast<uint8_t>(line.rssi);
}
