#include "fifo.h"

#include <atomic>

osl_fifo_t osl_fifo;
uint8_t osl_fifo_storage[OSL_FIFO_CAPACITY];

namespace {

// The producer runs in a signal handler on the consumer's own thread, so
// compiler ordering is all that matters: a byte is stored before the write
// counter that publishes it, and read only after the counter that shows it.
void osl_fifo_put_core(osl_fifo_t *q, uint8_t byte) {
    uint32_t w = q->write;
    q->storage[w & q->mask] = byte;
    std::atomic_signal_fence(std::memory_order_release);
    q->write = w + 1;
}

uint8_t osl_fifo_peek_core(const osl_fifo_t *q, uint32_t i) {
    std::atomic_signal_fence(std::memory_order_acquire);
    return q->storage[(q->read + i) & q->mask];
}

void osl_fifo_get_core(osl_fifo_t *q, uint8_t *byte) {
    *byte = osl_fifo_peek_core(q, 0);
    std::atomic_signal_fence(std::memory_order_release);
    q->read = q->read + 1;
}

} // namespace

int osl_fifo_init(osl_fifo_t *q, uint8_t *storage, uint16_t capacity) {
    if (storage == nullptr)
        return OSL_FIFO_NULL;
    if (capacity == 0 || (capacity & (capacity - 1)) != 0)
        return OSL_FIFO_BAD_CAPACITY;
    q->storage = storage;
    q->mask = static_cast<uint16_t>(capacity - 1);
    q->read = 0;
    q->write = 0;
    return OSL_FIFO_OK;
}

uint32_t osl_fifo_used(const osl_fifo_t *q) {
    return q->write - q->read;
}

int osl_fifo_get(osl_fifo_t *q, uint8_t *byte) {
    if (osl_fifo_used(q) == 0)
        return OSL_FIFO_EMPTY;
    osl_fifo_get_core(q, byte);
    return OSL_FIFO_OK;
}

int osl_fifo_put(osl_fifo_t *q, uint8_t byte) {
    if (osl_fifo_used(q) > q->mask)
        return OSL_FIFO_FULL;
    osl_fifo_put_core(q, byte);
    return OSL_FIFO_OK;
}

int osl_fifo_peek(const osl_fifo_t *q, uint16_t index, uint8_t *byte) {
    if (index >= osl_fifo_used(q))
        return OSL_FIFO_EMPTY;
    *byte = osl_fifo_peek_core(q, index);
    return OSL_FIFO_OK;
}

int osl_fifo_flush(osl_fifo_t *q) {
    q->read = q->write;
    return OSL_FIFO_OK;
}

int osl_fifo_read(osl_fifo_t *q, uint8_t *dst, uint32_t *len) {
    if (q == nullptr || len == nullptr)
        return OSL_FIFO_NULL;
    uint32_t held = osl_fifo_used(q);
    uint32_t wanted = *len;
    *len = held;
    if (held == 0)
        return OSL_FIFO_EMPTY;
    if (dst == nullptr)
        return OSL_FIFO_OK; // the length now tells how many bytes wait
    uint32_t n = held < wanted ? held : wanted;
    for (uint32_t i = 0; i < n; i++)
        osl_fifo_get_core(q, &dst[i]);
    *len = n;
    return OSL_FIFO_OK;
}

int osl_fifo_write(osl_fifo_t *q, const uint8_t *src, uint32_t *len) {
    if (q == nullptr || len == nullptr)
        return OSL_FIFO_NULL;
    uint32_t room = q->mask - osl_fifo_used(q) + 1;
    uint32_t offered = *len;
    *len = room;
    if (room == 0)
        return OSL_FIFO_FULL;
    if (src == nullptr)
        return OSL_FIFO_OK; // the length now tells the free room
    uint32_t n = room < offered ? room : offered;
    for (uint32_t i = 0; i < n; i++)
        osl_fifo_put_core(q, src[i]);
    *len = n;
    return OSL_FIFO_OK;
}
