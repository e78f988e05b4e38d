// The decoder against a table of literal HCI events made outside the library
// (fixtures/make_reports.py seals them with OpenSSL's AES and writes the
// expected records and log lines by hand). The library's own sealing takes no
// part, so a fault that it shares with the decoder cannot cancel out here.
// Linked with either build of the library: the air sensor's line is the one
// of the build under test.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "decoder_fixture.h"
#include "fixtures/report_table.h"
#include "frames/decode.h"
#include "frames/seal.h"
#include "osl.h"

namespace osl::test {
namespace {

using reports::ReportActor;
using reports::ReportCase;

#include "fixtures/reports.inc"

#ifdef OSL_AIR_TEMP_UNSIGNED
const char *expected_line(const ReportCase &c) {
    return c.scanner_line;
}
#else
const char *expected_line(const ReportCase &c) {
    return c.home_line;
}
#endif

// Registers the table's actors once per process (registrations last for the
// process, and a whole run of this executable shares one).
void register_actors() {
    static bool done = false;
    if (done)
        return;
    for (const ReportActor &a : REPORT_ACTORS) {
        int result = -1;
        switch (a.kind) {
        case OSL_DEV_RELAY:
            result = osl_relay_add(a.name, a.addr, a.key);
            break;
        case OSL_DEV_DIMMER:
            result = osl_dimmer_add(a.name, a.addr, a.key);
            break;
        case OSL_DEV_PWM:
            result = osl_pwm_add(a.name, a.addr, a.key);
            break;
        }
        ASSERT_EQ(result, 0) << a.name;
    }
    done = true;
}

class ReportTable : public DecoderFixture, public ::testing::WithParamInterface<ReportCase> {
  protected:
    void SetUp() override {
        DecoderFixture::SetUp();
        const Bytes key = from_hex(REPORT_SENSOR_KEY);
        if (memcmp(key.data(), osl_sensor_key, OSL_KEY_SIZE) != 0)
            GTEST_SKIP() << "the library was built with a sensor key other than the default "
                            "that the table is sealed with";
        register_actors();
        open(OSL_LOG_LIB | OSL_LOG_SENSORS | OSL_LOG_ACTORS | OSL_LOG_AIR);
    }
};

TEST_P(ReportTable, DecodesAsTheTableSays) {
    const ReportCase &c = GetParam();
    const Bytes event = from_hex(c.event);

    // Through the tick: the record and the line.
    receive(event);
    const std::vector<osl_record> records = take_records();
    if (c.record == nullptr) {
        EXPECT_EQ(records.size(), 0u);
    } else {
        ASSERT_EQ(records.size(), 1u);
        const Bytes expected = from_hex(c.record);
        ASSERT_EQ(expected.size(), static_cast<size_t>(OSL_REC_SIZE));
        EXPECT_EQ(hex(reinterpret_cast<const uint8_t *>(&records[0]), OSL_REC_SIZE), c.record);
    }
    EXPECT_EQ(said(), expected_line(c));

    // Once the window has closed again, the same event for the decoder's result.
    tick(OSL_RX_WINDOW_TICKS);
    ASSERT_EQ(osl_rx_index, 0);
    EXPECT_EQ(decode(event), c.result);
}

std::string case_name(const ::testing::TestParamInfo<ReportCase> &info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ReportTable, ::testing::ValuesIn(REPORT_CASES), case_name);

} // namespace
} // namespace osl::test
