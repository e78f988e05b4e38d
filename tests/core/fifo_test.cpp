// The record queue: a byte ring with free-running counters.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "core/fifo.h"
#include "frames/record.h"
#include "osl.h"

namespace {

class Fifo : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(osl_fifo_init(&q, storage, sizeof storage), 0); }

    void put_n(uint32_t n, uint8_t first = 0) {
        for (uint32_t i = 0; i < n; i++)
            ASSERT_EQ(osl_fifo_put(&q, static_cast<uint8_t>(first + i)), 0);
    }

    uint8_t storage[1024];
    osl_fifo_t q{};
};

TEST(FifoInit, ChecksStorageFirstThenCapacity) {
    uint8_t storage[1024];
    osl_fifo_t q{};
    EXPECT_EQ(osl_fifo_init(&q, nullptr, 1000), OSL_FIFO_NULL);
    EXPECT_EQ(osl_fifo_init(&q, storage, 1000), OSL_FIFO_BAD_CAPACITY);
    EXPECT_EQ(osl_fifo_init(&q, storage, 0), OSL_FIFO_BAD_CAPACITY);
    EXPECT_EQ(osl_fifo_init(&q, storage, 1024), OSL_FIFO_OK);
    EXPECT_EQ(q.mask, 1023);
    EXPECT_EQ(osl_fifo_init(&q, storage, 1), OSL_FIFO_OK);
    EXPECT_EQ(q.mask, 0);
}

TEST_F(Fifo, NewQueueIsEmptyAndGetLeavesTheByteAlone) {
    EXPECT_EQ(osl_fifo_used(&q), 0u);
    uint8_t b = 0x5A;
    EXPECT_EQ(osl_fifo_get(&q, &b), OSL_FIFO_EMPTY);
    EXPECT_EQ(b, 0x5A);
}

TEST_F(Fifo, InitDiscardsWhatWasHeld) {
    put_n(10);
    ASSERT_EQ(osl_fifo_init(&q, storage, sizeof storage), 0);
    EXPECT_EQ(osl_fifo_used(&q), 0u);
}

TEST_F(Fifo, PutRefusesOnlyWhenFull) {
    put_n(1023);
    EXPECT_EQ(osl_fifo_put(&q, 0xAB), OSL_FIFO_OK);
    EXPECT_EQ(osl_fifo_used(&q), 1024u);
    EXPECT_EQ(osl_fifo_put(&q, 0xCD), OSL_FIFO_FULL);
    EXPECT_EQ(osl_fifo_used(&q), 1024u);
    uint8_t b;
    for (int i = 0; i < 1023; i++)
        ASSERT_EQ(osl_fifo_get(&q, &b), 0);
    ASSERT_EQ(osl_fifo_get(&q, &b), 0);
    EXPECT_EQ(b, 0xAB);
}

TEST_F(Fifo, PeekCopiesWithoutTaking) {
    put_n(5, 10);
    uint8_t b = 0;
    EXPECT_EQ(osl_fifo_peek(&q, 0, &b), 0);
    EXPECT_EQ(b, 10);
    EXPECT_EQ(osl_fifo_peek(&q, 4, &b), 0);
    EXPECT_EQ(b, 14);
    b = 0x77;
    EXPECT_EQ(osl_fifo_peek(&q, 5, &b), OSL_FIFO_EMPTY);
    EXPECT_EQ(b, 0x77);
    EXPECT_EQ(osl_fifo_used(&q), 5u);
}

TEST_F(Fifo, FlushEmptiesTheQueue) {
    put_n(100);
    EXPECT_EQ(osl_fifo_flush(&q), 0);
    EXPECT_EQ(osl_fifo_used(&q), 0u);
    put_n(3, 7);
    uint8_t b;
    ASSERT_EQ(osl_fifo_get(&q, &b), 0);
    EXPECT_EQ(b, 7);
}

TEST_F(Fifo, CountersWrapAt32Bits) {
    const uint32_t near_wrap = 0xFFFFFFFFu - 5; // 6 below 2^32
    q.read = near_wrap;
    q.write = near_wrap;
    put_n(23, 1);
    EXPECT_LT(q.write, near_wrap); // wrapped past 0
    EXPECT_EQ(osl_fifo_used(&q), 23u);
    for (int i = 0; i < 23; i++) {
        uint8_t b;
        ASSERT_EQ(osl_fifo_get(&q, &b), 0);
        EXPECT_EQ(b, i + 1);
    }
    EXPECT_EQ(osl_fifo_used(&q), 0u);
}

TEST_F(Fifo, ReadTakesAtMostWhatIsHeld) {
    uint32_t len = 8;
    EXPECT_EQ(osl_fifo_read(nullptr, nullptr, &len), OSL_FIFO_NULL);
    EXPECT_EQ(osl_fifo_read(&q, nullptr, nullptr), OSL_FIFO_NULL);
    uint8_t dst[64] = {};
    len = 8;
    EXPECT_EQ(osl_fifo_read(&q, dst, &len), OSL_FIFO_EMPTY);
    EXPECT_EQ(len, 0u);

    put_n(46);
    len = 999;
    EXPECT_EQ(osl_fifo_read(&q, nullptr, &len), OSL_FIFO_OK); // just asks how many wait
    EXPECT_EQ(len, 46u);
    EXPECT_EQ(osl_fifo_used(&q), 46u);

    len = 10;
    EXPECT_EQ(osl_fifo_read(&q, dst, &len), OSL_FIFO_OK);
    EXPECT_EQ(len, 10u);
    EXPECT_EQ(dst[9], 9);
    len = 64;
    EXPECT_EQ(osl_fifo_read(&q, dst, &len), OSL_FIFO_OK);
    EXPECT_EQ(len, 36u);
    EXPECT_EQ(dst[0], 10);
    EXPECT_EQ(dst[35], 45);
    EXPECT_EQ(osl_fifo_used(&q), 0u);
}

TEST_F(Fifo, WritePutsAtMostTheFreeRoom) {
    uint32_t len = 8;
    EXPECT_EQ(osl_fifo_write(nullptr, nullptr, &len), OSL_FIFO_NULL);
    EXPECT_EQ(osl_fifo_write(&q, nullptr, nullptr), OSL_FIFO_NULL);

    put_n(1000);
    len = 0;
    EXPECT_EQ(osl_fifo_write(&q, nullptr, &len), OSL_FIFO_OK); // just asks for the room
    EXPECT_EQ(len, 24u);

    std::vector<uint8_t> src(40, 0xA5);
    len = 40;
    EXPECT_EQ(osl_fifo_write(&q, src.data(), &len), OSL_FIFO_OK);
    EXPECT_EQ(len, 24u);
    EXPECT_EQ(osl_fifo_used(&q), 1024u);
    len = 40;
    EXPECT_EQ(osl_fifo_write(&q, src.data(), &len), OSL_FIFO_FULL);
    EXPECT_EQ(len, 0u);
}

// A report in the standard layout: address at 7..12 least significant first.
std::vector<uint8_t> report_from(const uint8_t addr_lsb_first[6]) {
    std::vector<uint8_t> r(46, 0);
    memcpy(&r[7], addr_lsb_first, 6);
    return r;
}

TEST_F(Fifo, RecordPushWritesPayloadAddressMostSignificantFirstAndRssi) {
    const uint8_t addr[6] = {0x68, 0xAA, 0x6B, 0x78, 0xFD, 0xCB};
    auto report = report_from(addr);
    uint8_t payload[16];
    for (int i = 0; i < 16; i++)
        payload[i] = static_cast<uint8_t>(0x30 + i);
    EXPECT_EQ(osl_record_push(report.data(), payload, static_cast<int8_t>(0xC4), &q), 23);

    osl_record rec;
    uint32_t len = sizeof rec;
    ASSERT_EQ(osl_fifo_read(&q, reinterpret_cast<uint8_t *>(&rec), &len), 0);
    ASSERT_EQ(len, 23u);
    EXPECT_EQ(0, memcmp(rec.payload, payload, 16));
    const uint8_t msb_first[6] = {0xCB, 0xFD, 0x78, 0x6B, 0xAA, 0x68};
    EXPECT_EQ(0, memcmp(rec.addr, msb_first, 6));
    EXPECT_EQ(rec.rssi, -60);
}

TEST_F(Fifo, RecordsComeBackOldestFirstAndFortyFourFill1012Bytes) {
    const uint8_t addr[6] = {1, 2, 3, 4, 5, 6};
    auto report = report_from(addr);
    for (int r = 0; r < 44; r++) {
        uint8_t payload[16];
        memset(payload, r, sizeof payload);
        ASSERT_EQ(osl_record_push(report.data(), payload, static_cast<int8_t>(-r), &q), 23);
    }
    EXPECT_EQ(osl_fifo_used(&q), 1012u);
    for (int r = 0; r < 44; r++) {
        osl_record rec;
        uint32_t len = sizeof rec;
        ASSERT_EQ(osl_fifo_read(&q, reinterpret_cast<uint8_t *>(&rec), &len), 0);
        EXPECT_EQ(rec.payload[0], r);
        EXPECT_EQ(rec.payload[15], r);
        EXPECT_EQ(rec.addr[0], 6);
        EXPECT_EQ(rec.rssi, -r);
    }
}

} // namespace
