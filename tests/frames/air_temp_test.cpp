// The air sensor's temperature, in whichever build of the library this test
// is linked with: the home program's reads the high byte signed, the
// scanner's unsigned. The two agree below 0x8000.
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

} // namespace
} // namespace osl::test
