// Making a device record from an accepted advertising report.
#pragma once

#include <cstdint>

#include "core/fifo.h"

// Queues the 23-byte record of a report: the 16 payload bytes, the report's
// address turned most significant byte first, and the RSSI. Returns the bytes
// queued (23; fewer only if the caller's room test was skipped).
int osl_record_push(const uint8_t *report, const uint8_t *payload, int8_t rssi, osl_fifo_t *q);
