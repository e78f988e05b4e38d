#include "record.h"

#include <cstring>

#include "core/addr.h"
#include "core/hci_defs.h"
#include "osl.h"

int osl_record_push(const uint8_t *report, const uint8_t *payload, int8_t rssi, osl_fifo_t *q) {
    uint8_t record[OSL_REC_SIZE];
    memcpy(record + OSL_REC_PAYLOAD, payload, OSL_REC_ADDR - OSL_REC_PAYLOAD);
    osl_addr_flip(report + osl::hci::report::ADDR, record + OSL_REC_ADDR);
    record[OSL_REC_RSSI] = static_cast<uint8_t>(rssi);
    uint32_t len = sizeof record;
    osl_fifo_write(q, record, &len);
    return static_cast<int>(len);
}
