// The air sensor's temperature, in whichever build of the library this test
// is linked with: the home program's reads the high byte signed, the
// scanner's unsigned. The two agree below 0x8000.
#include <cstdio>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "decoder_fixture.h"

namespace osl::test {
namespace {

struct AirTemp {
    uint16_t raw;
    const char *home;
    const char *scanner;
};

const AirTemp temps[] = {
    {0x739B, "22.80", "22.80"},   {0x0000, "-273.15", "-273.15"}, {0x7FFF, "54.52", "54.52"},
    {0x8000, "-600.83", "54.53"}, {0xFFFF, "-273.16", "382.20"},
};

#ifdef OSL_AIR_TEMP_UNSIGNED
const char *expected(const AirTemp &t) {
    return t.scanner;
}
#else
const char *expected(const AirTemp &t) {
    return t.home;
}
#endif

class AirTemperature : public DecoderFixture {};

TEST_F(AirTemperature, HighByteAsThisBuildReadsIt) {
    open(OSL_LOG_AIR);
    for (const AirTemp &t : temps) {
        SCOPED_TRACE(t.raw);
        AirBlock a;
        a.kelvin_x100 = t.raw;
        a.rh = 5;
        receive(air_report(addr_from_text("0C0D0E0F1011"), a.bytes(), -60));
        ASSERT_EQ(take_records().size(), 1u);
        EXPECT_EQ(said(), std::string("T [osl rec] Tulvo  <-60dBm 0.00V> ") + expected(t) +
                              "*C  5%RH PM10=0 PM2.5=0 PM1=0 [0 min]\n\r");
    }
}

// The public decode reads an air record as its line does, although the
// record carries no family mark: byte 4 is whatever the sensor sent, here a
// weather sensor's type.
TEST_F(AirTemperature, PublicDecodeKnowsTheSenderAndReadsLikeTheLine) {
    open(0);
    AirBlock a;
    a.kelvin_x100 = 0x8000;
    a.rh = 41;
    a.vcc = 213;
    a.minutes_from = 10;
    a.minutes_to = 7;
    a.pm10 = 300;
    a.pm2_5 = 25;
    a.pm1 = 1;
    a.type = OSL_DEV_METEO;
    receive(air_report(addr_from_text("0C0D0E0F1011"), a.bytes(), -60));
    const std::vector<osl_record> got = take_records();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].payload[OSL_REC_TYPE], OSL_DEV_METEO); // the record's bytes as sent
    EXPECT_EQ(osl_record_type(&got[0]), OSL_DEV_AIR);

    osl_field f[OSL_FIELDS_MAX];
    const int n = osl_record_fields(&got[0], f, OSL_FIELDS_MAX);
    std::map<std::string, double> values;
    for (int i = 0; i < n; i++)
        values[f[i].name] = f[i].value;
    char temperature[16];
    snprintf(temperature, sizeof temperature, "%0.2f", values["temperature"]);
    EXPECT_STREQ(temperature, expected(temps[3]));
    const std::map<std::string, double> rest = {
        {"voltage", static_cast<double>(213 / 71.0f)},
        {"humidity", 41},
        {"pm10", 300},
        {"pm25", 25},
        {"pm1", 1},
        {"minutes", -3},
        {"rssi", -60},
    };
    EXPECT_EQ(values.size(), rest.size() + 1);
    for (const auto &[name, value] : rest)
        EXPECT_EQ(values[name], value) << name;

    // Another sender with the same bytes is taken at its word.
    osl_record other = got[0];
    other.addr[5] ^= 0xFF;
    EXPECT_EQ(osl_record_type(&other), OSL_DEV_METEO);
}

} // namespace
} // namespace osl::test
