#include "frame_log.h"

#include <cstdio>
#include <cstring>

#include "core/hci_defs.h"
#include "core/text.h"

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

int osl_rx_u16(const uint8_t *p, int i) {
    return p[i] * 256 + p[i + 1];
}

int osl_rx_s8(uint8_t b) {
    return static_cast<int8_t>(b);
}

float osl_rx_volts(uint8_t b) {
    return static_cast<float>(b) / 71.0f;
}

int32_t osl_rx_wt(const uint8_t *p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 |
                                static_cast<uint32_t>(p[3]) << 24);
}

void osl_rx_print_head(time_t when, const char *tag) {
    osl_print_time_prefix_at(when, OSL_LOG_TIME_FORMAT);
    fputs(tag, stdout);
}

void osl_rx_print_rssi(int8_t rssi) {
    printf(" <%ddBm", rssi);
}

void osl_rx_print_fw(const uint8_t *p) {
    printf(" fw%.2X.%.2X", p[14], p[15]);
}

void osl_rx_print_vcc(const uint8_t *p) {
    printf(" %0.2fV", osl_rx_volts(p[5]));
}

void osl_rx_print_nm_wt(const uint8_t *p) {
    printf(" Nm=%ds Wt=%ds>\n\r", p[6] * 2, osl_rx_wt(p));
}
