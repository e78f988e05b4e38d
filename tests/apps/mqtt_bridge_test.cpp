// ostrel_mqtt's bridge without a broker: what it publishes for records of
// every family, Home Assistant's discovery, adoption and the heard list, the
// requests, the configuration file, and what it keeps while the broker is
// away. The expected messages are written from the field table of docs/library.md and
// Home Assistant's discovery format, and compared as parsed JSON.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge.h"
#include "config.h"
#include "fake_broker.h"
#include "mqtt.h"
#include "support/child.h"
#include "support/frames.h"
#include "support/lib_fixture.h"

namespace osl::test {
namespace {

using nlohmann::json;
using ostrel::mqtt::Bridge;
using ostrel::mqtt::Config;
using ostrel::mqtt::Registry;

osl_record record_of(const char *addr, const Block &payload, int8_t rssi) {
    osl_record rec{};
    const Addr a = addr_from_text(addr);
    std::copy(payload.begin(), payload.end(), rec.payload);
    std::copy(a.begin(), a.end(), rec.addr);
    rec.rssi = rssi;
    return rec;
}

// A weather record: 3600 s, 3.00 V, every 4 s, inputs 05, -1.00 °C, 45 %,
// light 7, ADC1 3300 mV, ADC2 500 mV.
osl_record meteo(const char *addr = "111111111111") {
    return record_of(
        addr,
        DeviceBlock{3600, OSL_DEV_METEO, 213, 2, {0x05, 0xFF, 0x9C, 45, 7, 0x0C, 0xE4, 0x01, 0xF4}}
            .bytes(),
        -49);
}

osl_record button(uint8_t function) {
    return record_of(
        "222222222222",
        DeviceBlock{10, OSL_DEV_BUTTON, 213, 5, {function, 0, 19, 64, 0, 0, 0, 1, 7}}.bytes(), -60);
}

class MqttBridge : public LibFixture {
  protected:
    void SetUp() override {
        LibFixture::SetUp();
        config.board = "kitchen";
        config.state_file = path("state.json");
        now = 1700000000;
    }
    std::unique_ptr<Bridge> make() {
        store = std::make_unique<Registry>(config.state_file);
        auto b = std::make_unique<Bridge>(config, broker, *store, [this] { return now; });
        std::string error;
        EXPECT_TRUE(b->start(error)) << error;
        return b;
    }
    Config config;
    FakeBroker broker;
    std::unique_ptr<Registry> store;
    int64_t now;
};

TEST_F(MqttBridge, AnAdoptedSensorsRecordIsOneStateMessage) {
    config.sensors.push_back({"111111111111", "Garden"});
    auto bridge = make();
    bridge->connected();
    const osl_record rec = meteo();
    bridge->record(rec);
    const json expected = {{"kind", "METEO"},
                           {"board", "kitchen"},
                           {"time", "2023-11-14T22:13:20Z"},
                           {"rssi", -49},
                           {"voltage", static_cast<double>(213 / 71.0f)},
                           {"interval", 4},
                           {"uptime", 3600},
                           {"temperature", static_cast<double>(-100 / 100.0f)},
                           {"humidity", 45},
                           {"light", 7},
                           {"inputs", 5},
                           {"adc1", 3300},
                           {"adc2", 500}};
    EXPECT_EQ(broker.last("ostrel/111111111111/meteo/state"), expected);
    for (const Published &p : broker.sent) {
        if (p.topic == "ostrel/111111111111/meteo/state") {
            EXPECT_FALSE(p.retain);
        }
    }
    EXPECT_EQ(bridge->stats().published, 1u);
}

TEST_F(MqttBridge, DiscoveryGivesEveryFieldItsEntityUnderOneDevice) {
    config.sensors.push_back({"111111111111", "Garden"});
    auto bridge = make();
    bridge->connected();
    bridge->record(meteo());
    const json device = {{"identifiers", {"ostrel_111111111111_meteo"}},
                         {"name", "Garden (METEO)"},
                         {"manufacturer", "Ostrel"},
                         {"model", "METEO"},
                         {"via_device", "ostrel_bridge_kitchen"}};
    const json availability = {{{"topic", "ostrel/bridge/kitchen/state"}}};
    const json temperature = {{"unique_id", "ostrel_111111111111_meteo_temperature"},
                              {"default_entity_id", "sensor.ostrel_111111111111_meteo_temperature"},
                              {"name", "temperature"},
                              {"state_topic", "ostrel/111111111111/meteo/state"},
                              {"value_template", "{{ value_json.temperature }}"},
                              {"device_class", "temperature"},
                              {"state_class", "measurement"},
                              {"unit_of_measurement", "°C"},
                              {"availability", availability},
                              {"expire_after", 60}, // three intervals of 4 s, at least a minute
                              {"device", device}};
    EXPECT_EQ(broker.last("homeassistant/sensor/ostrel_111111111111_meteo_temperature/config"),
              temperature);
    const json rssi = broker.last("homeassistant/sensor/ostrel_111111111111_meteo_rssi/config");
    EXPECT_EQ(rssi.value("entity_category", ""), "diagnostic");
    EXPECT_EQ(rssi.value("device_class", ""), "signal_strength");
    EXPECT_EQ(rssi.value("unit_of_measurement", ""), "dBm");
    const json voltage =
        broker.last("homeassistant/sensor/ostrel_111111111111_meteo_voltage/config");
    EXPECT_EQ(voltage.value("entity_category", ""), "diagnostic");
    // One entity per field of the family, all retained.
    EXPECT_EQ(broker.count("homeassistant/sensor/ostrel_111111111111_meteo_"), 10);
    for (const Published &p : broker.sent) {
        if (p.topic.rfind("homeassistant/", 0) == 0) {
            EXPECT_TRUE(p.retain) << p.topic;
        }
    }
    // And the board itself, with its counters.
    EXPECT_EQ(broker.last("homeassistant/sensor/ostrel_bridge_kitchen_records/config")
                  .value("entity_category", ""),
              "diagnostic");
}

TEST_F(MqttBridge, FlagsAreBinarySensorsOfTheirClass) {
    struct Case {
        const char *field;
        const char *kind;
        uint8_t type;
        uint8_t flags;
        const char *device_class;
        const char *value_template;
    };
    const Case cases[] = {
        {"motion", "motion", OSL_DEV_MOTION, 0x80, "motion",
         "{{ 'ON' if value_json.motion == 1 else 'OFF' }}"},
        {"flood", "flood", OSL_DEV_FLOOD, 0x01, "moisture",
         "{{ 'ON' if value_json.flood == 1 else 'OFF' }}"},
        // The device says 1 for closed; the door is on while open.
        {"contact", "magneto", OSL_DEV_MAGNETO, 0x80, "door",
         "{{ 'OFF' if value_json.contact == 1 else 'ON' }}"},
    };
    config.sensors.push_back({"333333333333", ""});
    auto bridge = make();
    bridge->connected();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.field);
        bridge->record(record_of(
            "333333333333",
            DeviceBlock{1, c.type, 213, 2, {c.flags, 20, 30, 0, 0, 0, 0, 1, 7}}.bytes(), -50));
        const json conf =
            broker.last(std::string("homeassistant/binary_sensor/ostrel_333333333333_") + c.kind +
                        "_" + c.field + "/config");
        EXPECT_EQ(conf.value("device_class", ""), c.device_class);
        EXPECT_EQ(conf.value("value_template", ""), c.value_template);
        EXPECT_FALSE(conf.contains("unit_of_measurement"));
        EXPECT_EQ(broker.last(std::string("ostrel/333333333333/") + c.kind + "/state")[c.field], 1);
    }
}

// Every other family's state message, field by field as the table of docs/library.md
// gives them, with the kind, the board and the time.
TEST_F(MqttBridge, EveryFamilysStateCarriesItsFields) {
    struct Case {
        const char *kind;
        uint8_t type;
        std::array<uint8_t, 9> b7;
        json fields;
    };
    const double volts = static_cast<double>(213 / 71.0f);
    const Case cases[] = {
        {"motion",
         OSL_DEV_MOTION,
         {0x80, 0xF6, 24, 0x0C, 0x1C, 0x0B, 0x31, 0x01, 0x07},
         {{"firmware", 0x0107},
          {"light", 24},
          {"temperature", -10},
          {"flags", 0x80},
          {"adc1", 3100},
          {"adc2", 2865},
          {"motion", 1}}},
        {"button",
         OSL_DEV_BUTTON,
         {2, 0x0A, 19, 64, 0, 0, 0, 0x01, 0x07},
         {{"firmware", 0x0107},
          {"light", 64},
          {"temperature", 19},
          {"button", 2},
          {"inputs", 0x0A}}},
        {"flood",
         OSL_DEV_FLOOD,
         {0x01, 14, 0, 0, 0, 0, 0, 0x01, 0x07},
         {{"firmware", 0x0107}, {"temperature", 14}, {"flags", 1}, {"flood", 1}}},
        {"magneto",
         OSL_DEV_MAGNETO,
         {0x00, 19, 64, 0x0C, 0x1C, 0x0B, 0x51, 0x01, 0x07},
         {{"firmware", 0x0107},
          {"light", 64},
          {"temperature", 19},
          {"flags", 0},
          {"adc1", 3100},
          {"adc2", 2897},
          {"contact", 0}}},
    };
    config.sensors.push_back({"777777777777", ""});
    auto bridge = make();
    bridge->connected();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.kind);
        bridge->record(
            record_of("777777777777", DeviceBlock{3600, c.type, 213, 3, c.b7}.bytes(), -66));
        json expected = c.fields;
        expected["kind"] = osl_device_kind_name(c.type);
        expected["board"] = "kitchen";
        expected["time"] = "2023-11-14T22:13:20Z";
        expected["rssi"] = -66;
        expected["voltage"] = volts;
        expected["uptime"] = 3600;
        expected["interval"] = 6;
        EXPECT_EQ(broker.last(std::string("ostrel/777777777777/") + c.kind + "/state"), expected);
    }
}

// The air sensor's records carry no family mark: the library knows them by
// the sender it heard them from, and so does the bridge.
TEST_F(MqttBridge, TheAirSensorsStateComesThroughTheLibrary) {
    use_manual_timer();
    ASSERT_EQ(osl_bt_open(0, 0, 0, 0), OSL_OPEN_OK);
    AirBlock a;
    a.vcc = 213;
    a.kelvin_x100 = 0x739B; // 22.80 °C
    a.rh = 41;
    a.pm10 = 30;
    a.pm2_5 = 12;
    a.pm1 = 4;
    a.minutes_from = 3;
    a.minutes_to = 8;
    sim.deliver(air_report(addr_from_text("A0A1A2A3A4A5"), a.bytes(), -70));
    tick();
    osl_record rec;
    ASSERT_EQ(osl_bt_queued(), 1);
    osl_bt_read(&rec);

    config.sensors.push_back({"A0A1A2A3A4A5", "Living room"});
    auto bridge = make();
    bridge->connected();
    bridge->record(rec);
    const json expected = {{"kind", "AIR"},
                           {"board", "kitchen"},
                           {"time", "2023-11-14T22:13:20Z"},
                           {"rssi", -70},
                           {"voltage", static_cast<double>(213 / 71.0f)},
                           {"temperature", static_cast<double>((0x739B - 27315) / 100.0f)},
                           {"humidity", 41},
                           {"pm10", 30},
                           {"pm25", 12},
                           {"pm1", 4},
                           {"minutes", 5}};
    EXPECT_EQ(broker.last("ostrel/A0A1A2A3A4A5/air/state"), expected);
    EXPECT_EQ(broker.last("homeassistant/sensor/ostrel_A0A1A2A3A4A5_air_pm25/config")
                  .value("device_class", ""),
              "pm25");
    EXPECT_EQ(broker.last("homeassistant/sensor/ostrel_A0A1A2A3A4A5_air_pm25/config")
                  .value("unit_of_measurement", ""),
              "µg/m³");
}

// The whole program with this configuration, in a child process: its exit
// status, or 99 when it touched the adapter.
int run_program(const std::string &file) {
    Child program(file + ".out", file + ".err", [&] {
        char a0[] = "ostrel_mqtt", a1[] = "--config";
        std::vector<char> a2(file.begin(), file.end());
        a2.push_back('\0');
        char *argv[] = {a0, a1, a2.data(), nullptr};
        const int status = ostrel::mqtt::mqtt_main(3, argv);
        return osl::sim::Controller::get().calls().empty() ? status : 99;
    });
    if (!program.wait() || !WIFEXITED(program.status()))
        return -1;
    return WEXITSTATUS(program.status());
}

// The whole program: a bad configuration is one line and status 2, before
// the library or the broker is touched.
TEST_F(MqttBridge, ABadConfigurationEndsTheProgramWithStatusTwo) {
    const std::string file = path("bad.toml");
    write_file(file, "[broker]\nport = 0\n");
    EXPECT_EQ(run_program(file), 2);
    EXPECT_EQ(read_file(file + ".err"),
              "ostrel_mqtt: " + file + ":2: broker.port: must be from 1 to 65535\n");
    EXPECT_EQ(read_file(file + ".out"), "");
}

// The weather board sends weather, motion and button frames from one
// address: each family is a device of its own, so the weather's temperature
// never shows the motion sensor's chip temperature.
TEST_F(MqttBridge, EachFamilyOfOneAddressIsADeviceOfItsOwn) {
    config.sensors.push_back({"111111111111", "Garden"});
    auto bridge = make();
    bridge->connected();
    bridge->record(meteo());
    bridge->record(record_of(
        "111111111111",
        DeviceBlock{5, OSL_DEV_MOTION, 213, 2, {0x80, 23, 30, 0, 0, 0, 0, 1, 7}}.bytes(), -50));
    EXPECT_EQ(broker.last("ostrel/111111111111/meteo/state")["temperature"],
              static_cast<double>(-100 / 100.0f));
    EXPECT_EQ(broker.last("ostrel/111111111111/motion/state")["temperature"], 23);
    EXPECT_EQ(broker.last("homeassistant/sensor/ostrel_111111111111_motion_temperature/config")
                  .value("state_topic", ""),
              "ostrel/111111111111/motion/state");
    EXPECT_EQ(broker.last("homeassistant/sensor/ostrel_111111111111_meteo_temperature/config")
                  .value("state_topic", ""),
              "ostrel/111111111111/meteo/state");
    EXPECT_EQ(broker.last(
                  "homeassistant/binary_sensor/ostrel_111111111111_motion_motion/config")["device"]
                                                                                         ["name"],
              "Garden (MOTION)");
}

// A press is an event: once on the action topic, and device triggers.
TEST_F(MqttBridge, ButtonPressesAreEventsAndDeviceTriggers) {
    config.sensors.push_back({"222222222222", ""});
    auto bridge = make();
    bridge->connected();
    bridge->record(button(2));
    EXPECT_EQ(broker.count("ostrel/222222222222/button/action"), 1);
    EXPECT_EQ(broker.sent.size() > 0 ? broker
                                           .last("homeassistant/device_automation/"
                                                 "ostrel_222222222222_button_double/config")
                                           .value("payload", "")
                                     : "",
              "double");
    bridge->record(button(0)); // no function: no event
    EXPECT_EQ(broker.count("ostrel/222222222222/button/action"), 1);
}

TEST_F(MqttBridge, AnUnadoptedSensorIsHeardNotPublishedUntilAdoptionOpens) {
    auto bridge = make();
    bridge->connected();
    bridge->record(meteo("444444444444"));
    bridge->pass();
    EXPECT_EQ(broker.count("ostrel/444444444444/"), 0);
    EXPECT_EQ(broker.count("homeassistant/sensor/ostrel_444444444444"), 0);
    const json heard = broker.last("ostrel/bridge/heard");
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0]["address"], "444444444444");
    EXPECT_EQ(heard[0]["kind"], "METEO");
    EXPECT_EQ(heard[0]["rssi"], -49);

    // Adoption for 60 s, asked for over MQTT.
    bridge->message("ostrel/bridge/request/permit_join", R"({"time": 60, "transaction": "a1"})");
    EXPECT_EQ(
        broker.last("ostrel/bridge/response"),
        (json{{"request", "permit_join"}, {"transaction", "a1"}, {"status", "ok"}, {"time", 60}}));
    bridge->record(meteo("444444444444"));
    EXPECT_EQ(broker.count("ostrel/444444444444/meteo/state"), 1);
    EXPECT_EQ(bridge->adopted().count("444444444444"), 1u);
    now += 5;
    bridge->pass();
    EXPECT_EQ(broker.last("ostrel/bridge/heard"), json::array());

    // It closes by itself; a newcomer is only heard.
    now += 60;
    EXPECT_FALSE(bridge->adoption_open());
    bridge->record(meteo("555555555555"));
    EXPECT_EQ(broker.count("ostrel/555555555555/"), 0);

    // The adoption outlives the bridge.
    broker.sent.clear();
    auto again = make();
    again->connected();
    again->record(meteo("444444444444"));
    EXPECT_EQ(broker.count("ostrel/444444444444/meteo/state"), 1);
    struct stat st;
    ASSERT_EQ(stat(config.state_file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// A sensor taken out of the configuration has its entities taken back at
// the next start: an empty retained config for each.
TEST_F(MqttBridge, ARemovedDeviceGetsEmptyRetainedConfigs) {
    config.sensors.push_back({"111111111111", ""});
    config.sensors.push_back({"888888888888", ""});
    {
        auto bridge = make();
        bridge->connected();
        bridge->record(meteo());
        bridge->record(meteo("888888888888"));
        bridge->pass(); // the list of configs out is written with the pass
    }
    const std::string gone = "homeassistant/sensor/ostrel_888888888888_meteo_temperature/config";
    ASSERT_FALSE(broker.last_text(gone).empty());
    config.sensors.pop_back();
    broker.sent.clear();
    auto bridge = make();
    bridge->connected();
    bridge->pass(); // the registry is written at the end of the pass
    EXPECT_EQ(broker.count("homeassistant/sensor/ostrel_888888888888_"), 10);
    for (const Published &p : broker.sent) {
        if (p.topic.rfind("homeassistant/sensor/ostrel_888888888888_", 0) == 0) {
            EXPECT_EQ(p.payload, "");
            EXPECT_TRUE(p.retain);
        }
    }
    EXPECT_EQ(broker.count("homeassistant/sensor/ostrel_111111111111_"), 0); // not heard yet
    // Taken back once: not again at the next start.
    broker.sent.clear();
    auto again = make();
    again->connected();
    EXPECT_EQ(broker.count("homeassistant/sensor/ostrel_888888888888_"), 0);
}

TEST_F(MqttBridge, HomeAssistantComingOnlineGetsDiscoveryAgain) {
    config.sensors.push_back({"111111111111", ""});
    auto bridge = make();
    bridge->connected();
    bridge->record(meteo());
    const int before = broker.count("homeassistant/sensor/ostrel_111111111111_meteo_");
    bridge->message("homeassistant/status", "offline");
    EXPECT_EQ(broker.count("homeassistant/sensor/ostrel_111111111111_meteo_"), before);
    bridge->message("homeassistant/status", "online");
    EXPECT_EQ(broker.count("homeassistant/sensor/ostrel_111111111111_meteo_"), 2 * before);
}

TEST_F(MqttBridge, BadRequestsGetAnErrorAndChangeNothing) {
    auto bridge = make();
    bridge->connected();
    const struct {
        const char *topic;
        const char *payload;
        const char *error;
    } cases[] = {
        {"ostrel/bridge/request/permit_join", "sixty", "the payload is not JSON"},
        {"ostrel/bridge/request/permit_join", R"({"time": -1})",
         "time must be a whole number of seconds from 0 to 3600"},
        {"ostrel/bridge/request/permit_join", R"({"time": "60"})",
         "time must be a whole number of seconds from 0 to 3600"},
        {"ostrel/bridge/request/permit_join", R"({"time": 99999})",
         "time must be a whole number of seconds from 0 to 3600"},
        {"ostrel/bridge/request/restart", R"({"time": 5})",
         "no such request (known: permit_join, remove, rename)"},
        {"ostrel/bridge/request/rename", R"({"time": 5})", "address must be 12 hexadecimal digits"},
        {"ostrel/bridge/request/rename", R"({"address": "111111111111", "name": 7})",
         "name must be a text"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.payload);
        bridge->message(c.topic, c.payload);
        const json answer = broker.last("ostrel/bridge/response");
        EXPECT_EQ(answer.value("status", ""), "error");
        EXPECT_EQ(answer.value("error", ""), c.error);
        EXPECT_FALSE(bridge->adoption_open());
    }
}

// Standard error into a file while it lives: the bridge's own lines.
class StderrCapture {
  public:
    explicit StderrCapture(const std::string &file) : file_(file) {
        fflush(stderr);
        saved_ = dup(2);
        const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrCapture() { restore(); }
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;
    std::string text() {
        fflush(stderr);
        return read_file(file_);
    }
    void restore() {
        if (saved_ < 0)
            return;
        fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }

  private:
    std::string file_;
    int saved_ = -1;
};

std::string nested(size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

struct Hostile {
    const char *what;
    const char *topic;
    std::string payload;
    const char *error; // the whole error of the one answer
};

// Whatever anyone on the broker sends, the bridge answers it once, briefly,
// repeating nothing of what it was sent, and changes nothing.
TEST_F(MqttBridge, HostilePayloadsGetOneShortAnswerAndChangeNothing) {
    config.sensors.push_back({"111111111111", "Garden"});
    write_file(config.state_file, R"({"version": 2, "devices": [{"address": "777777777777", )"
                                  R"("name": "Shed", "kinds": []}]})");
    auto bridge = make();
    bridge->connected();
    const std::string big(100000, 'A');
    const std::string set = "ostrel/ABC/set", join = "ostrel/bridge/request/permit_join",
                      rename = "ostrel/bridge/request/rename";
    const Hostile cases[] = {
        {"transaction 60,000 deep", set.c_str(), R"({"transaction": )" + nested(60000) + "}",
         "the payload is larger than 4096 bytes"},
        {"transaction 2,000 deep", set.c_str(), R"({"transaction": )" + nested(2000) + "}",
         "the payload nests deeper than 8 levels"},
        {"transaction 9 deep", join.c_str(), R"({"time": 5, "transaction": )" + nested(9) + "}",
         "the payload nests deeper than 8 levels"},
        {"a body 2,000 deep", join.c_str(), nested(2000), "the payload nests deeper than 8 levels"},
        {"a transaction of 100 KB", set.c_str(), R"({"transaction": ")" + big + R"("})",
         "the payload is larger than 4096 bytes"},
        {"100 KB that is not JSON", join.c_str(), big, "the payload is larger than 4096 bytes"},
        {"a NUL, then more", join.c_str(), std::string(R"({"time": 60})") + '\0' + "garbage",
         "the payload is not JSON"},
        {"JSON, then more", join.c_str(), R"({"time": 60} {"time": 61})",
         "the payload is not JSON"},
        {"a transaction of 65 bytes", join.c_str(),
         R"({"time": 60, "transaction": ")" + std::string(65, 't') + R"("})",
         "transaction must be a number or a text of at most 64 bytes"},
        {"a transaction that is an object", join.c_str(),
         R"({"time": 60, "transaction": {"id": 1}})",
         "transaction must be a number or a text of at most 64 bytes"},
        {"a name of 1 MB", rename.c_str(),
         R"({"address": "777777777777", "name": ")" + std::string(4000, 'n') + R"("})",
         "name must be at most 64 characters"},
        {"a name of 65 characters", rename.c_str(),
         R"({"address": "777777777777", "name": ")" + std::string(65, 'n') + R"("})",
         "name must be at most 64 characters"},
        {"a name with a terminal's escape", rename.c_str(),
         R"({"address": "777777777777", "name": "\u001b[31mRed"})",
         "name must not hold control characters"},
        {"a name with a line end", rename.c_str(),
         R"({"address": "777777777777", "name": "Shed\nDoor"})",
         "name must not hold control characters"},
        {"a name that reads backwards", rename.c_str(),
         R"({"address": "777777777777", "name": "Shed\u202e"})",
         "name must not hold control characters"},
        {"an empty name", rename.c_str(), R"({"address": "777777777777", "name": ""})",
         "name must not be empty"},
    };
    for (const Hostile &c : cases) {
        SCOPED_TRACE(c.what);
        broker.sent.clear();
        bridge->message(c.topic, c.payload);
        bridge->pass();
        ASSERT_EQ(broker.count("ostrel/bridge/response"), 1);
        const std::string text = broker.last_text("ostrel/bridge/response");
        EXPECT_LT(text.size(), 256u) << text;
        const json answer = json::parse(text);
        EXPECT_EQ(answer["status"], "error");
        EXPECT_EQ(answer["error"], c.error);
        EXPECT_FALSE(answer.contains("transaction"));
        EXPECT_FALSE(bridge->adoption_open());
        EXPECT_EQ(bridge->adopted().at("777777777777").name, "Shed");
    }
    // At the limits, taken: a name of 64 characters (not bytes), a
    // transaction of 64 bytes, a command nested as deep as a colour.
    const std::string name = "Gartenhäuschen " + std::string(49, 'x');
    bridge->message(rename, json{{"address", "777777777777"}, {"name", name}}.dump());
    bridge->message(join, json{{"time", 1}, {"transaction", std::string(64, 't')}}.dump());
    bridge->pass();
    EXPECT_EQ(bridge->adopted().at("777777777777").name, name);
    EXPECT_EQ(broker.last("ostrel/bridge/response")["status"], "ok");
}

// Requests and commands left retained on the broker would run again at
// every start and reconnection: they are ignored, with one line per topic.
TEST_F(MqttBridge, RetainedRequestsAndCommandsAreIgnoredWithOneLine) {
    auto bridge = make();
    bridge->connected();
    StderrCapture err(path("stderr"));
    for (int i = 0; i < 3; i++) {
        bridge->message("ostrel/bridge/request/permit_join", R"({"time": 3600})", true);
        bridge->message("ostrel/C0FFEE000020/set", R"({"channel": 1, "state": "ON"})", true);
        bridge->pass();
    }
    const std::string said = err.text();
    err.restore();
    EXPECT_FALSE(bridge->adoption_open());
    EXPECT_EQ(broker.count("ostrel/bridge/response"), 0);
    EXPECT_EQ(said,
              "ostrel_mqtt: a retained message on ostrel/bridge/request/permit_join was ignored: "
              "requests and commands count only as they are sent (an empty retained message "
              "clears it)\n"
              "ostrel_mqtt: a retained message on ostrel/C0FFEE000020/set was ignored: requests "
              "and commands count only as they are sent (an empty retained message clears it)\n");
    // Home Assistant's own status is retained by design: still taken.
    const int before = broker.count("homeassistant/sensor/ostrel_bridge_kitchen_");
    bridge->message("homeassistant/status", "online", true);
    EXPECT_GT(broker.count("homeassistant/sensor/ostrel_bridge_kitchen_"), before);
    // The same request sent live is carried out.
    bridge->message("ostrel/bridge/request/permit_join", R"({"time": 3600})");
    EXPECT_TRUE(bridge->adoption_open());
}

// A registry that cannot be written is never answered "ok": the change
// holds in memory, the failure is counted and said once, and the registry
// is written as soon as the disk takes it again.
TEST_F(MqttBridge, AFailedRegistryWriteIsAnsweredAsAnErrorAndTriedAgain) {
    write_file(config.state_file, R"({"version": 2, "devices": [{"address": "777777777777", )"
                                  R"("name": "Shed", "kinds": []}]})");
    auto bridge = make();
    bridge->connected();
    store->fail_writes_with = ENOSPC;
    StderrCapture err(path("stderr"));
    for (const char *name : {"Barn", "Stable"}) {
        bridge->message(
            "ostrel/bridge/request/rename",
            json{{"address", "777777777777"}, {"name", name}, {"transaction", name}}.dump());
        bridge->pass();
        const json answer = broker.last("ostrel/bridge/response");
        EXPECT_EQ(answer["status"], "error") << answer;
        EXPECT_EQ(answer["transaction"], name);
        EXPECT_NE(answer["error"].get<std::string>().find("No space left on device"),
                  std::string::npos)
            << answer;
        EXPECT_EQ(bridge->adopted().at("777777777777").name, name); // held in memory
    }
    EXPECT_EQ(bridge->stats().save_failures, 2u);
    bridge->pass(); // nothing waits for an answer: tried again only after a while
    EXPECT_EQ(bridge->stats().save_failures, 2u);
    EXPECT_NE(read_file(config.state_file).find("Shed"), std::string::npos); // the old file, whole

    store->fail_writes_with = 0;
    now += 5;
    bridge->pass();
    const std::string said = err.text();
    err.restore();
    ostrel::mqtt::RegistryData stored;
    std::string error;
    ASSERT_TRUE(Registry(config.state_file).load(stored, error)) << error;
    EXPECT_EQ(stored.sensors.at("777777777777").name, "Stable");
    // Said when it began and when it ended, not at every attempt.
    EXPECT_EQ(said.find("the state file was not written"),
              said.rfind("the state file was not written"))
        << said;
    EXPECT_NE(said.find("the state file is written again"), std::string::npos) << said;
    now += 30;
    bridge->pass();
    EXPECT_EQ(broker.last("ostrel/bridge/kitchen/stats")["save_failures"], 2);
}

// However many requests come in one pass, the registry is written once.
TEST_F(MqttBridge, TheRegistryIsWrittenOncePerPass) {
    write_file(config.state_file, R"({"version": 2, "devices": [{"address": "777777777777", )"
                                  R"("name": "Shed", "kinds": []}]})");
    auto bridge = make();
    bridge->connected();
    int writes = 0;
    store->on_step = [&](Registry::Step s) { writes += s == Registry::Step::Renamed ? 1 : 0; };
    for (int i = 0; i < 20; i++)
        bridge->message(
            "ostrel/bridge/request/rename",
            json{{"address", "777777777777"}, {"name", "Shed " + std::to_string(i)}}.dump());
    EXPECT_EQ(writes, 0);
    EXPECT_EQ(broker.count("ostrel/bridge/response"), 0); // not before it is on disk
    bridge->pass();
    EXPECT_EQ(writes, 1);
    EXPECT_EQ(broker.count("ostrel/bridge/response"), 20);
    EXPECT_EQ(broker.last("ostrel/bridge/response")["status"], "ok");
}

// While the broker is away each device's latest state is kept, one per
// device; the rest are counted as dropped, and the kept ones go out on return.
TEST_F(MqttBridge, WhileTheBrokerIsAwayTheLatestStateOfEachDeviceIsKept) {
    config.sensors.push_back({"111111111111", ""});
    config.sensors.push_back({"666666666666", ""});
    auto bridge = make();
    bridge->connected();
    broker.up = false;
    for (int i = 0; i < 5; i++) {
        bridge->record(meteo());
        bridge->record(meteo("666666666666"));
    }
    EXPECT_EQ(bridge->stats().dropped, 8u);
    broker.up = true;
    bridge->connected();
    EXPECT_EQ(broker.count("ostrel/111111111111/meteo/state"), 1);
    EXPECT_EQ(broker.count("ostrel/666666666666/meteo/state"), 1);
    EXPECT_EQ(broker.last_text("ostrel/bridge/kitchen/state"), "online");
    const auto &s = bridge->stats();
    EXPECT_EQ(s.states, s.published + s.dropped);
    EXPECT_EQ(s.records, 10u);
}

TEST_F(MqttBridge, AnUnreadableStateFileStopsTheBridgeAndIsLeftAlone) {
    write_file(config.state_file, "{ not json");
    Registry s(config.state_file);
    Bridge bridge(config, broker, s, [this] { return now; });
    std::string error;
    EXPECT_FALSE(bridge.start(error));
    EXPECT_NE(error.find(config.state_file + ": not a state file of this bridge"),
              std::string::npos)
        << error;
    EXPECT_EQ(read_file(config.state_file), "{ not json");
}

// The whole program: a registry it cannot stand behind stops it with status
// 2 before the adapter is touched, and the registry stays as it was.
TEST_F(MqttBridge, ABadRegistryEndsTheProgramWithStatusTwoAndIsKept) {
    const std::string registry =
        R"({"version": 2, "devices": [], "actors": [{"address": "C0FFEE000020", )"
        R"("kind": "RELAY", "name": "Porch", "key": "2B7E", "wanted": [1]}]})";
    write_file(config.state_file, registry);
    const std::string file = path("bridge.toml");
    write_file(file, "state_file = \"" + config.state_file + "\"\n");
    EXPECT_EQ(run_program(file), 2);
    EXPECT_EQ(read_file(file + ".err"),
              "ostrel_mqtt: " + config.state_file +
                  ": not a state file of this bridge: the key of C0FFEE000020 is not 32 "
                  "hexadecimal digits (left as it is)\n");
    EXPECT_EQ(read_file(config.state_file), registry);
}

} // namespace
} // namespace osl::test
