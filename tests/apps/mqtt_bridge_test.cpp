// ostrel_mqtt's bridge without a broker: what it publishes for records of
// every family, Home Assistant's discovery, adoption and the heard list, the
// requests, the configuration file, and what it keeps while the broker is
// away. The expected messages are written from the README's field table and
// Home Assistant's discovery format, and compared as parsed JSON.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
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
                              {"object_id", "ostrel_111111111111_meteo_temperature"},
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

// Every other family's state message, field by field as the README's table
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

// --- the configuration file -------------------------------------------------

struct ConfigCase {
    const char *what;
    std::string text;
    std::string message; // after "FILE:"
};

TEST_F(MqttBridge, EachConfigurationErrorNamesTheFileTheLineAndTheKey) {
    const ConfigCase cases[] = {
        {"syntax", "board = \"a\"\nbroker = [\n", "2: "},
        {"unknown key", "board = \"a\"\ncolour = 1\n", "2: colour: unknown key"},
        {"ill-typed port", "[broker]\nport = \"1883\"\n", "2: broker.port: must be a whole number"},
        {"port out of range", "[broker]\nport = 70000\n",
         "2: broker.port: must be from 1 to 65535"},
        {"bad address", "[[sensor]]\naddress = \"12345\"\n",
         "2: sensor.address: must be 12 hexadecimal digits"},
        {"address twice",
         "[[sensor]]\naddress = \"111111111111\"\n[[sensor]]\naddress = "
         "\"111111111111\"\n",
         "4: sensor.address: 111111111111 is listed twice"},
        {"missing address", "[[sensor]]\nname = \"x\"\n", "1: sensor.address: missing"},
        {"unreadable password file", "[broker]\npassword_file = \"/nonexistent/pw\"\n",
         "2: broker.password_file: cannot read /nonexistent/pw"},
        {"bad lamps", "[library]\nlamps = [26, 19]\n",
         "2: library.lamps: must be three GPIO lines: receive, transmit, power (0 leaves one "
         "out)"},
        {"bad verbosity", "[library]\nverbosity = [\"loud\"]\n",
         "2: library.verbosity: knows \"lib\", \"sensors\", \"actors\" and \"air\""},
        {"bad board", "board = \"my board\"\n",
         "1: board: may hold only letters, digits, '_' and '-'"},
        {"bad prefix", "[topics]\nprefix = \"a/#\"\n",
         "2: topics.prefix: must be a topic level without '#', '+' or a '/' at either end"},
        {"actor of no kind",
         "[[actor]]\nkind = \"fan\"\naddress = \"C0FFEE000020\"\nkey = \"" + std::string(32, 'A') +
             "\"\n",
         "2: actor.kind: must be \"relay\", \"dimmer\" or \"pwm\""},
        // A message stays one line, whatever the file holds.
        {"a key holding a line end", "\"a\\nb\" = 1\n", "1: a?b: unknown key"},
        {"lamp line 1", "[library]\nlamps = [1, 0, 0]\n",
         "2: library.lamps: a GPIO line is 2 to 27, or 0 for none"},
        {"actor without key", "[[actor]]\nkind = \"relay\"\naddress = \"C0FFEE000020\"\n",
         "1: actor.key: missing"},
        // The message never repeats a key, even a malformed one.
        {"short key", "[[actor]]\nkind = \"relay\"\naddress = \"C0FFEE000020\"\nkey = \"ABCD\"\n",
         "4: actor.key: must be 32 hexadecimal digits"},
        {"actor at a sensor's address",
         "[[sensor]]\naddress = \"C0FFEE000020\"\n[[actor]]\nkind = \"dimmer\"\naddress = "
         "\"c0ffee000020\"\nkey = \"" +
             std::string(32, '0') + "\"\n",
         "5: actor.address: C0FFEE000020 is listed twice"},
    };
    for (const ConfigCase &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string file = path("bad.toml");
        write_file(file, c.text);
        std::string error;
        EXPECT_FALSE(ostrel::mqtt::load_config(file, error).has_value());
        EXPECT_EQ(error.rfind(file + ":" + c.message, 0), 0u) << error;
    }
    std::string error;
    EXPECT_FALSE(ostrel::mqtt::load_config(path("none.toml"), error).has_value());
    EXPECT_EQ(error, path("none.toml") + ": cannot be read");
}

TEST_F(MqttBridge, AFullConfigurationIsReadWhole) {
    write_file(path("pw"), "secret\n");
    const std::string file = path("good.toml");
    write_file(file, "board = \"hall\"\nstate_file = \"/tmp/s.json\"\n"
                     "[broker]\nhost = \"10.0.0.2\"\nport = 8883\nuser = \"kit\"\n"
                     "password_file = \"" +
                         path("pw") +
                         "\"\nca_file = \"/etc/ca.pem\"\n"
                         "[topics]\nprefix = \"house/kit\"\ndiscovery_prefix = \"ha\"\n"
                         "[library]\nlamps = [26, 0, 13]\nverbosity = [\"lib\", \"sensors\"]\n"
                         "[[sensor]]\naddress = \"cbfd786baa68\"\nname = \"Door\"\n"
                         "[[actor]]\nkind = \"PWM\"\naddress = \"c0ffee000022\"\n"
                         "key = \"f58c4c04d6e5f1ba779eabfb5f7bfbd6\"\nname = \"Shelf\"\n");
    std::string error;
    const auto c = ostrel::mqtt::load_config(file, error);
    ASSERT_TRUE(c.has_value()) << error;
    EXPECT_EQ(c->board, "hall");
    EXPECT_EQ(c->state_file, "/tmp/s.json");
    EXPECT_EQ(c->host, "10.0.0.2");
    EXPECT_EQ(c->port, 8883);
    EXPECT_EQ(c->user, "kit");
    EXPECT_EQ(c->password, "secret");
    EXPECT_EQ(c->ca_file, "/etc/ca.pem");
    EXPECT_EQ(c->prefix, "house/kit");
    EXPECT_EQ(c->discovery_prefix, "ha");
    EXPECT_EQ(c->lamp_rx, 26);
    EXPECT_EQ(c->lamp_tx, 0);
    EXPECT_EQ(c->lamp_pwr, 13);
    EXPECT_EQ(c->verbosity, OSL_LOG_LIB | OSL_LOG_SENSORS);
    ASSERT_EQ(c->sensors.size(), 1u);
    EXPECT_EQ(c->sensors[0].address, "CBFD786BAA68");
    EXPECT_EQ(c->sensors[0].name, "Door");
    ASSERT_EQ(c->actors.size(), 1u);
    EXPECT_EQ(c->actors[0].type, OSL_DEV_PWM);
    EXPECT_EQ(c->actors[0].address, "C0FFEE000022");
    EXPECT_EQ(c->actors[0].key, "F58C4C04D6E5F1BA779EABFB5F7BFBD6");
    EXPECT_EQ(c->actors[0].name, "Shelf");
}

} // namespace
} // namespace osl::test
