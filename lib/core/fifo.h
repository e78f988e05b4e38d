// The record queue: a byte ring over caller-supplied storage whose capacity
// is a power of two. One producer (the tick, in signal context) advances only
// the write counter; one consumer (the application's flow) advances only the
// read counter. The counters run freely and wrap at 2^32; index = counter & mask.
#pragma once

#include <cstdint>

// Result codes shared by every queue operation.
enum : int {
    OSL_FIFO_OK = 0,
    OSL_FIFO_EMPTY = 1,
    OSL_FIFO_NULL = 2,
    OSL_FIFO_BAD_CAPACITY = 3,
    OSL_FIFO_FULL = 4,
};

struct osl_fifo_t {
    uint8_t *storage;
    uint16_t mask;
    volatile uint32_t read;  // bytes taken since init
    volatile uint32_t write; // bytes put since init
};

inline constexpr uint16_t OSL_FIFO_CAPACITY = 1024;

extern osl_fifo_t osl_fifo; // the library's record queue
extern uint8_t osl_fifo_storage[OSL_FIFO_CAPACITY];

int osl_fifo_init(osl_fifo_t *q, uint8_t *storage, uint16_t capacity);
uint32_t osl_fifo_used(const osl_fifo_t *q);
int osl_fifo_get(osl_fifo_t *q, uint8_t *byte);
int osl_fifo_put(osl_fifo_t *q, uint8_t byte);
int osl_fifo_peek(const osl_fifo_t *q, uint16_t index, uint8_t *byte);
int osl_fifo_flush(osl_fifo_t *q);
int osl_fifo_read(osl_fifo_t *q, uint8_t *dst, uint32_t *len);
int osl_fifo_write(osl_fifo_t *q, const uint8_t *src, uint32_t *len);
