// ostrel_mqtt's actors without a broker: the bridge runs its radio loop in
// this process against the in-process virtual kit, on the real 10 ms tick,
// and publishes to a stand-in broker. Pairing from the kit's own key
// announcements, commands that travel through the air to the virtual
// actors, their reports coming back, and the device registry on disk.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <functional>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge.h"
#include "core/hci_defs.h"
#include "fake_broker.h"
#include "registry.h"
#include "sim/virtkit/in_process.h"
#include "support/capture.h"
#include "support/lib_fixture.h"

namespace osl::test {
namespace {

using nlohmann::json;
using ostrel::mqtt::Bridge;
using ostrel::mqtt::Config;
using ostrel::mqtt::Registry;
using ostrel::mqtt::RegistryData;
using virtkit::Kit;

// The kit speaks in rounds of 2.5 s and announces keys every third round;
// a command, the report that shows it and the comply that may follow fit in
// a few. The deadline allows for a loaded machine.
constexpr auto DEADLINE = std::chrono::seconds(60);

const char *const KEYS[] = {virtkit::RELAY_KEY, virtkit::DIMMER_KEY, virtkit::PWM_KEY};

std::string lower(std::string text) {
    for (char &c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

class MqttActors : public LibFixture {
  protected:
    void SetUp() override {
        LibFixture::SetUp();
        config.board = "kitchen";
        config.state_file = path("registry.json");
        on_air.start();
    }
    void TearDown() override {
        on_air.stop();
        LibFixture::TearDown();
    }

    // The bridge as the program starts it: the registry read and its actors
    // registered, the library opened without keys in its log, the stored
    // wanted states sent, the broker connected.
    void start_bridge() {
        store = std::make_unique<Registry>(config.state_file);
        bridge = std::make_unique<Bridge>(config, broker, *store,
                                          [] { return static_cast<int64_t>(time(nullptr)); });
        std::string error;
        ASSERT_TRUE(bridge->start(error)) << error;
        ASSERT_EQ(osl_bt_open(0, 0, 0, OSL_LOG_LIB | OSL_LOG_ACTORS | OSL_LOG_HIDE_KEYS),
                  OSL_OPEN_OK);
        bridge->restore();
        bridge->connected();
    }

    // The program's loop until cond holds; false at the deadline.
    bool run_until(const std::function<bool()> &cond) {
        const auto end = std::chrono::steady_clock::now() + DEADLINE;
        while (!cond()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            bridge->drain();
            bridge->pass();
            osl_sleep_ms(10);
        }
        return true;
    }

    void pair_all() {
        bridge->permit_join(600);
        ASSERT_TRUE(run_until([&] { return bridge->actors().size() == 3; }));
    }

    // A message as the program's loop takes it: the pass that follows
    // writes the registry, sends the commands and answers.
    void deliver(const std::string &topic, const std::string &payload) {
        bridge->message(topic, payload);
        bridge->pass();
    }
    void set(const std::string &address, const json &command) {
        deliver("ostrel/" + address + "/set", command.dump());
    }

    // A registry as a bridge left it, with these paired actors.
    void write_registry(const std::vector<json> &actors) {
        json registry = {{"version", 2}, {"devices", json::array()}};
        registry["actors"] = actors;
        write_file(config.state_file, registry.dump());
    }
    static json paired(const char *address, const char *kind, const char *name,
                       const std::string &key, const json &wanted) {
        return {
            {"address", address}, {"kind", kind}, {"name", name}, {"key", key}, {"wanted", wanted}};
    }

    // Advertising data the library loaded: one per command sent.
    size_t commands_sent() const {
        size_t n = 0;
        for (const auto &c : sim.commands())
            n += c.ogf == hci::OGF_LE_CTL && c.ocf == hci::OCF_LE_SET_ADV_DATA ? 1 : 0;
        return n;
    }

    json state_of(const std::string &address) const {
        return broker.last("ostrel/" + address + "/state");
    }

    // Every state message of the address, oldest first.
    std::vector<json> states_of(const std::string &address) const {
        std::vector<json> out;
        for (const Published &p : broker.sent)
            if (p.topic == "ostrel/" + address + "/state")
                out.push_back(json::parse(p.payload));
        return out;
    }

    Config config;
    FakeBroker broker;
    std::unique_ptr<Registry> store;
    std::unique_ptr<Bridge> bridge;
    Kit kit;
    virtkit::InProcessKit on_air{kit};
};

TEST_F(MqttActors, AnnouncementsPairEachActorWhileAdoptionIsOpenAndNoneWhileClosed) {
    start_bridge();
    // Closed: each actor is heard, with its kind, and nothing is taken.
    ASSERT_TRUE(run_until([&] {
        int known = 0;
        for (const auto &[address, h] : bridge->heard())
            known += h.announced && h.kind != "actor" ? 1 : 0;
        return known == 3;
    }));
    EXPECT_TRUE(bridge->actors().empty());
    EXPECT_EQ(bridge->heard().at(virtkit::RELAY_ADDR).kind, "RELAY");
    EXPECT_EQ(bridge->heard().at(virtkit::DIMMER_ADDR).kind, "DIMMER");
    EXPECT_EQ(bridge->heard().at(virtkit::PWM_ADDR).kind, "PWM");
    EXPECT_EQ(broker.count("homeassistant/switch/"), 0);
    EXPECT_EQ(broker.count("homeassistant/light/"), 0);
    EXPECT_EQ(osl_relay_on(virtkit::RELAY_ADDR, 1), OSL_NO_ACTOR);

    pair_all();
    const struct {
        const char *address;
        int type;
        const char *name;
    } paired[] = {{virtkit::RELAY_ADDR, OSL_DEV_RELAY, "Relay C0FFEE000020"},
                  {virtkit::DIMMER_ADDR, OSL_DEV_DIMMER, "Dimmer C0FFEE000021"},
                  {virtkit::PWM_ADDR, OSL_DEV_PWM, "Pwm C0FFEE000022"}};
    for (const auto &p : paired) {
        SCOPED_TRACE(p.address);
        const auto &a = bridge->actors().at(p.address);
        EXPECT_EQ(a.type, p.type);
        EXPECT_EQ(a.name, p.name);
        EXPECT_FALSE(a.from_config);
        EXPECT_EQ(bridge->heard().count(p.address), 0u);
    }
    // Home Assistant's entities: four switches, a dimmable light, a colour light.
    for (int c = 0; c < 4; c++) {
        const json sw = broker.last("homeassistant/switch/ostrel_C0FFEE000020_relay_ch" +
                                    std::to_string(c) + "/config");
        ASSERT_TRUE(sw.is_object()) << c;
        EXPECT_EQ(sw["command_topic"], "ostrel/C0FFEE000020/set");
        EXPECT_EQ(sw["state_topic"], "ostrel/C0FFEE000020/state");
        EXPECT_EQ(json::parse(sw["payload_on"].get<std::string>()),
                  (json{{"channel", c}, {"state", "ON"}}));
        EXPECT_EQ(sw["value_template"], "{{ value_json.channel" + std::to_string(c) + " }}");
        EXPECT_EQ(sw["device"]["identifiers"][0], "ostrel_C0FFEE000020_relay");
        EXPECT_EQ(sw["default_entity_id"],
                  "switch.ostrel_C0FFEE000020_relay_ch" + std::to_string(c));
    }
    const json dimmer = broker.last("homeassistant/light/ostrel_C0FFEE000021_dimmer_light/config");
    EXPECT_EQ(dimmer["schema"], "json");
    EXPECT_EQ(dimmer["brightness_scale"], 100);
    EXPECT_EQ(dimmer["default_entity_id"], "light.ostrel_C0FFEE000021_dimmer_light");
    EXPECT_EQ(dimmer["supported_color_modes"], json::array({"brightness"}));
    const json pwm = broker.last("homeassistant/light/ostrel_C0FFEE000022_pwm_light/config");
    EXPECT_EQ(pwm["supported_color_modes"], json::array({"rgb"}));
    EXPECT_EQ(pwm["command_topic"], "ostrel/C0FFEE000022/set");
    // Kept on disk with their keys, for the owner only.
    struct stat st {};
    ASSERT_EQ(stat(config.state_file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    RegistryData stored;
    std::string error;
    ASSERT_TRUE(Registry(config.state_file).load(stored, error)) << error;
    EXPECT_EQ(stored.actors.at(virtkit::RELAY_ADDR).key, virtkit::RELAY_KEY);
    EXPECT_EQ(stored.actors.at(virtkit::PWM_ADDR).key, virtkit::PWM_KEY);
}

// The state published is what the actor reports: right after the command
// it still shows the old state, pending; the actor's next report shows the
// new one, no longer pending.
TEST_F(MqttActors, ASetMessageSwitchesTheActorThroughTheAir) {
    start_bridge();
    pair_all();
    ASSERT_TRUE(run_until([&] { return state_of(virtkit::PWM_ADDR).is_object(); }));

    set(virtkit::RELAY_ADDR, {{"channel", 2}, {"state", "ON"}});
    const json echo = state_of(virtkit::RELAY_ADDR);
    EXPECT_EQ(echo["channel2"], "OFF");
    EXPECT_EQ(echo["pending"], true);
    ASSERT_TRUE(run_until([&] {
        const json s = state_of(virtkit::RELAY_ADDR);
        return kit.relay.channels == 0x04 && s["channel2"] == "ON" && s["pending"] == false;
    })) << state_of(virtkit::RELAY_ADDR);
    EXPECT_EQ(state_of(virtkit::RELAY_ADDR)["channels"], 4);

    set(virtkit::DIMMER_ADDR, {{"state", "ON"}, {"brightness", 40}});
    ASSERT_TRUE(run_until([&] {
        const json s = state_of(virtkit::DIMMER_ADDR);
        return kit.dimmer.level == 40 && s.value("brightness", 0) == 40 && s["pending"] == false;
    })) << state_of(virtkit::DIMMER_ADDR);
    EXPECT_EQ(state_of(virtkit::DIMMER_ADDR)["state"], "ON");
    EXPECT_EQ(state_of(virtkit::DIMMER_ADDR)["color_mode"], "brightness");

    // A colour at half brightness: the strongest channel at 50.
    set(virtkit::PWM_ADDR,
        {{"state", "ON"}, {"brightness", 50}, {"color", {{"r", 255}, {"g", 0}, {"b", 128}}}});
    ASSERT_TRUE(run_until([&] {
        return kit.pwm.levels[0] == 50 && kit.pwm.levels[1] == 0 && kit.pwm.levels[2] == 25 &&
               state_of(virtkit::PWM_ADDR)["pending"] == false;
    })) << state_of(virtkit::PWM_ADDR);
    const json pwm = state_of(virtkit::PWM_ADDR);
    EXPECT_EQ(pwm["brightness"], 50);
    EXPECT_EQ(pwm["color"], (json{{"r", 255}, {"g", 0}, {"b", 128}}));

    // Off, then on without a level: back to the last levels.
    set(virtkit::DIMMER_ADDR, {{"state", "OFF"}});
    ASSERT_TRUE(run_until([&] { return kit.dimmer.level == 0; }));
    set(virtkit::DIMMER_ADDR, {{"state", "ON"}});
    ASSERT_TRUE(run_until([&] { return kit.dimmer.level == 40; }));
    // Three levels at once, for a controller of three separate lamps.
    set(virtkit::PWM_ADDR, {{"levels", {10, 20, 30}}});
    ASSERT_TRUE(run_until([&] {
        return kit.pwm.levels[0] == 10 && kit.pwm.levels[1] == 20 && kit.pwm.levels[2] == 30;
    }));
}

TEST_F(MqttActors, ARelaySwitchedByHandIsPutRightAndTheStateFollows) {
    start_bridge();
    pair_all();
    set(virtkit::RELAY_ADDR, {{"channel", 0}, {"state", "ON"}});
    ASSERT_TRUE(run_until([&] {
        return kit.relay.channels == 0x01 && state_of(virtkit::RELAY_ADDR)["pending"] == false;
    }));
    const size_t before = states_of(virtkit::RELAY_ADDR).size();
    on_air.by_hand([](Kit &k) { k.relay.channels = 0x08; });
    ASSERT_TRUE(run_until([&] {
        return kit.relay.channels == 0x01 && states_of(virtkit::RELAY_ADDR).size() > before + 1 &&
               state_of(virtkit::RELAY_ADDR)["pending"] == false;
    })) << state_of(virtkit::RELAY_ADDR);
    // The hand's switch was published as it was reported, pending.
    bool seen = false;
    for (const json &s : states_of(virtkit::RELAY_ADDR))
        seen = seen || (s["channel3"] == "ON" && s["pending"] == true);
    EXPECT_TRUE(seen);
    const json now = state_of(virtkit::RELAY_ADDR);
    EXPECT_EQ(now["channel0"], "ON");
    EXPECT_EQ(now["channel3"], "OFF");
}

// A bridge that restarts finds in its registry what the home last asked of
// each actor, and brings the actors back to it.
TEST_F(MqttActors, ARestartBringsTheActorsBackToTheStoredState) {
    write_registry(
        {paired(virtkit::RELAY_ADDR, "RELAY", "Porch", virtkit::RELAY_KEY, {0x0A}),
         paired(virtkit::DIMMER_ADDR, "DIMMER", "Hall", lower(virtkit::DIMMER_KEY), {70}),
         paired(virtkit::PWM_ADDR, "PWM", "Shelf", virtkit::PWM_KEY, {10, 20, 30})});
    start_bridge();
    ASSERT_TRUE(run_until([&] {
        return kit.relay.channels == 0x0A && kit.dimmer.level == 70 && kit.pwm.levels[0] == 10 &&
               kit.pwm.levels[1] == 20 && kit.pwm.levels[2] == 30 &&
               state_of(virtkit::PWM_ADDR)["pending"] == false &&
               state_of(virtkit::RELAY_ADDR)["pending"] == false &&
               state_of(virtkit::DIMMER_ADDR)["pending"] == false;
    }));
    EXPECT_EQ(
        broker.last("homeassistant/light/ostrel_C0FFEE000022_pwm_light/config")["device"]["name"],
        "Shelf");
}

// An actor that was reset announces a new key: its frames no longer open
// with the stored one. Paired anew while adoption is open, it keeps its name
// and is brought back to what the home wants of it.
TEST_F(MqttActors, AResetActorIsPairedAnewWithItsNameAndWantedState) {
    write_registry({paired(virtkit::RELAY_ADDR, "RELAY", "Porch", std::string(32, 'A'), {0x05})});
    start_bridge();
    ASSERT_TRUE(run_until([&] {
        const auto h = bridge->heard().find(virtkit::RELAY_ADDR);
        return h != bridge->heard().end() && h->second.kind == "RELAY";
    }));
    EXPECT_EQ(bridge->actors().at(virtkit::RELAY_ADDR).key, std::string(32, 'A'));
    bridge->permit_join(600);
    ASSERT_TRUE(run_until([&] {
        return kit.relay.channels == 0x05 && state_of(virtkit::RELAY_ADDR).is_object() &&
               state_of(virtkit::RELAY_ADDR)["pending"] == false;
    }));
    const auto &a = bridge->actors().at(virtkit::RELAY_ADDR);
    EXPECT_EQ(a.key, virtkit::RELAY_KEY);
    EXPECT_EQ(a.name, "Porch");
    EXPECT_EQ(
        broker.last("homeassistant/switch/ostrel_C0FFEE000020_relay_ch0/config")["device"]["name"],
        "Porch");
}

// A burst of commands to one relay goes on the air once, with the state the
// last of them asks for, and each command is answered.
TEST_F(MqttActors, ABurstOfCommandsGoesOnTheAirOnceWithItsLatestState) {
    start_bridge();
    pair_all();
    const std::string topic = std::string("ostrel/") + virtkit::RELAY_ADDR + "/set";
    const size_t before = commands_sent();
    const size_t answers = broker.sent.size();
    // Every channel switched back and forth; the last round leaves 0 and 2 on.
    for (int i = 0; i < 100; i++) {
        const int channel = i % 4;
        const bool on = i >= 96 ? channel % 2 == 0 : (i / 4) % 2 == 0;
        bridge->message(
            topic,
            json{{"channel", channel}, {"state", on ? "ON" : "OFF"}, {"transaction", i}}.dump());
    }
    // More messages wait: the commands wait for them, a while at most.
    bridge->pass(true);
    EXPECT_EQ(commands_sent(), before);
    bridge->pass();
    EXPECT_EQ(commands_sent(), before + 1);
    std::set<int> ok;
    for (size_t i = answers; i < broker.sent.size(); i++) {
        const Published &p = broker.sent[i];
        if (p.topic != "ostrel/bridge/response")
            continue;
        const json a = json::parse(p.payload);
        EXPECT_EQ(a["status"], "ok") << a;
        ok.insert(a["transaction"].get<int>());
    }
    EXPECT_EQ(ok.size(), 100u);
    EXPECT_TRUE(run_until([&] { return kit.relay.channels == 0x05; }));

    // Messages that never stop do not hold a command back for long.
    set(virtkit::RELAY_ADDR, {{"channel", 1}, {"state", "ON"}});
    const size_t held = commands_sent();
    bridge->message(topic, R"({"channel": 3, "state": "ON"})");
    int passes = 0;
    while (commands_sent() == held && passes < 100) {
        bridge->pass(true);
        passes++;
    }
    EXPECT_EQ(commands_sent(), held + 1);
    EXPECT_LE(passes, 25);
}

// An actor whose key could not be written is not reported as paired: the
// bridge keeps it, says why, and writes it once the disk takes it again.
TEST_F(MqttActors, APairingWhoseKeyCannotBeStoredIsNotReportedAsPaired) {
    start_bridge();
    store->fail_writes_with = ENOSPC;
    pair_all();
    int refused = 0;
    for (const Published &p : broker.sent) {
        if (p.topic != "ostrel/bridge/response")
            continue;
        const json a = json::parse(p.payload);
        EXPECT_EQ(a["status"], "error") << a;
        EXPECT_NE(a.value("error", "").find("No space left on device"), std::string::npos) << a;
        refused++;
    }
    EXPECT_GE(refused, 3);
    // Held in memory: it works meanwhile.
    set(virtkit::DIMMER_ADDR, {{"state", "ON"}, {"brightness", 30}});
    ASSERT_TRUE(run_until([&] { return kit.dimmer.level == 30; }));

    store->fail_writes_with = 0;
    RegistryData stored;
    ASSERT_TRUE(run_until([&] {
        std::string error;
        return Registry(config.state_file).load(stored, error) && stored.actors.size() == 3;
    }));
    EXPECT_EQ(stored.actors.at(virtkit::PWM_ADDR).key, virtkit::PWM_KEY);
    EXPECT_EQ(stored.actors.at(virtkit::DIMMER_ADDR).wanted[0], 30);
}

struct BadCommand {
    const char *what;
    const char *address;
    std::string payload;
    const char *error; // part of the response's error
};

TEST_F(MqttActors, EveryBadCommandGetsItsErrorAndNothingGoesOnTheAir) {
    start_bridge();
    pair_all();
    const std::string R = virtkit::RELAY_ADDR, D = virtkit::DIMMER_ADDR, P = virtkit::PWM_ADDR;
    const BadCommand cases[] = {
        {"not JSON", virtkit::RELAY_ADDR, "{channel: 1", "not JSON"},
        {"not an object", virtkit::RELAY_ADDR, "[1, 2]", "JSON object"},
        {"unknown device", "0123456789AB", R"({"channel": 0, "state": "ON"})", "no actor"},
        {"a sensor's address", "111111111111", R"({"state": "ON"})", "no actor"},
        {"no address at all", "lamp", R"({"state": "ON"})", "no actor"},
        {"relay without channel", virtkit::RELAY_ADDR, R"({"state": "ON"})", "channel"},
        {"relay channel 4", virtkit::RELAY_ADDR, R"({"channel": 4, "state": "ON"})",
         "channel must be a whole number from 0 to 3"},
        {"relay channel as text", virtkit::RELAY_ADDR, R"({"channel": "1", "state": "ON"})",
         "channel must be"},
        {"relay state unknown", virtkit::RELAY_ADDR, R"({"channel": 1, "state": "MAYBE"})",
         "state must be"},
        {"relay without state", virtkit::RELAY_ADDR, R"({"channel": 1})", "state must be"},
        {"dimmer above 100", virtkit::DIMMER_ADDR, R"({"brightness": 101})",
         "brightness must be a whole number from 0 to 100"},
        {"dimmer level negative", virtkit::DIMMER_ADDR, R"({"brightness": -1})", "brightness"},
        {"dimmer level as text", virtkit::DIMMER_ADDR, R"({"brightness": "50"})", "brightness"},
        {"dimmer level a fraction", virtkit::DIMMER_ADDR, R"({"brightness": 50.5})", "brightness"},
        {"dimmer state a number", virtkit::DIMMER_ADDR, R"({"state": 1})", "state must be"},
        {"dimmer with nothing", virtkit::DIMMER_ADDR, R"({"transition": 2})",
         "a state or a brightness"},
        {"pwm two levels", virtkit::PWM_ADDR, R"({"levels": [1, 2]})", "levels must be"},
        {"pwm level 300", virtkit::PWM_ADDR, R"({"levels": [1, 2, 300]})", "levels must be"},
        {"pwm colour out of range", virtkit::PWM_ADDR,
         R"({"state": "ON", "color": {"r": 300, "g": 0, "b": 0}})", "r must be"},
        {"pwm colour without blue", virtkit::PWM_ADDR,
         R"({"state": "ON", "color": {"r": 3, "g": 0}})", "color must be"},
        {"pwm colour a list", virtkit::PWM_ADDR, R"({"state": "ON", "color": [1, 2, 3]})",
         "color must be"},
        {"pwm colour black", virtkit::PWM_ADDR,
         R"({"state": "ON", "color": {"r": 0, "g": 0, "b": 0}})", "no colour"},
    };
    const size_t sent = commands_sent();
    for (const BadCommand &c : cases) {
        SCOPED_TRACE(c.what);
        const size_t responses = broker.sent.size();
        deliver(std::string("ostrel/") + c.address + "/set", c.payload);
        ASSERT_GT(broker.sent.size(), responses);
        const json answer = broker.last("ostrel/bridge/response");
        EXPECT_EQ(answer["status"], "error");
        EXPECT_EQ(answer["request"], "set");
        EXPECT_NE(answer["error"].get<std::string>().find(c.error), std::string::npos) << answer;
    }
    // The request's own id comes back with its error.
    set(virtkit::DIMMER_ADDR, {{"brightness", 900}, {"transaction", "t-7"}});
    EXPECT_EQ(broker.last("ostrel/bridge/response")["transaction"], "t-7");
    EXPECT_EQ(commands_sent(), sent);
    for (const auto &[address, a] : bridge->actors())
        EXPECT_EQ(a.wanted, (ostrel::mqtt::ActorState{})) << address;
}

// Keys reach the library and the registry file, nothing else: not a
// message, not a line of the log (the library's own included).
TEST_F(MqttActors, NoKeyAppearsInAnyMessageOrLogLine) {
    StdoutCapture out;
    start_bridge();
    pair_all();
    set(virtkit::RELAY_ADDR, {{"channel", 1}, {"state", "ON"}});
    ASSERT_TRUE(run_until([&] { return kit.relay.channels == 0x02; }));
    deliver("ostrel/bridge/request/remove", R"({"address": "C0FFEE000021"})");
    bridge->permit_join(0);
    ASSERT_TRUE(run_until([&] { return bridge->heard().count(virtkit::DIMMER_ADDR) == 1; }));
    bridge->pass();
    const std::string log = out.stop();
    EXPECT_NE(log.find("[osl add] relay"), std::string::npos) << log;
    EXPECT_NE(log.find("SEC_KEY"), std::string::npos) << log;
    for (const char *key : KEYS) {
        for (const std::string &k : {std::string(key), lower(key)}) {
            EXPECT_EQ(log.find(k), std::string::npos) << k;
            for (const Published &p : broker.sent)
                EXPECT_EQ(p.payload.find(k), std::string::npos) << p.topic;
        }
    }
}

TEST_F(MqttActors, RemovingAnActorTakesItOutOfTheRegistryTheLibraryAndHomeAssistant) {
    config.actors.push_back({OSL_DEV_PWM, virtkit::PWM_ADDR, virtkit::PWM_KEY, "Shelf"});
    start_bridge();
    bridge->permit_join(600);
    ASSERT_TRUE(run_until([&] { return bridge->actors().size() == 3; }));

    deliver("ostrel/bridge/request/remove", R"({"address": "c0ffee000020", "transaction": 5})");
    const json answer = broker.last("ostrel/bridge/response");
    EXPECT_EQ(answer["status"], "ok") << answer;
    EXPECT_EQ(answer["transaction"], 5);
    EXPECT_EQ(bridge->actors().count(virtkit::RELAY_ADDR), 0u);
    for (int c = 0; c < 4; c++)
        EXPECT_EQ(broker.last_text("homeassistant/switch/ostrel_C0FFEE000020_relay_ch" +
                                   std::to_string(c) + "/config"),
                  "");
    EXPECT_EQ(osl_relay_on(virtkit::RELAY_ADDR, 1), OSL_NO_ACTOR);
    RegistryData stored;
    std::string error;
    ASSERT_TRUE(Registry(config.state_file).load(stored, error)) << error;
    EXPECT_EQ(stored.actors.count(virtkit::RELAY_ADDR), 0u);
    EXPECT_EQ(stored.actors.count(virtkit::DIMMER_ADDR), 1u);
    const size_t sent = commands_sent();
    set(virtkit::RELAY_ADDR, {{"channel", 0}, {"state", "ON"}});
    EXPECT_EQ(broker.last("ostrel/bridge/response")["status"], "error");
    EXPECT_EQ(commands_sent(), sent);

    const struct {
        const char *payload;
        const char *error;
    } refused[] = {
        {R"({"address": "C0FFEE000022"})", "configuration file"},
        {R"({"address": "0123456789AB"})", "no device"},
        {R"({"address": "C0FFEE"})", "12 hexadecimal digits"},
        {R"({})", "12 hexadecimal digits"},
    };
    for (const auto &r : refused) {
        SCOPED_TRACE(r.payload);
        deliver("ostrel/bridge/request/remove", r.payload);
        const json a = broker.last("ostrel/bridge/response");
        EXPECT_EQ(a["status"], "error");
        EXPECT_NE(a["error"].get<std::string>().find(r.error), std::string::npos) << a;
    }
    // Paired again when adoption opens again: its place in the library is free.
    bridge->permit_join(600);
    ASSERT_TRUE(run_until([&] { return bridge->actors().count(virtkit::RELAY_ADDR) == 1; }));
}

TEST_F(MqttActors, ARenamedActorIsShownUnderItsNewName) {
    start_bridge();
    pair_all();
    deliver("ostrel/bridge/request/rename", R"({"address": "C0FFEE000021", "name": "Hall lamp"})");
    EXPECT_EQ(broker.last("ostrel/bridge/response")["status"], "ok");
    EXPECT_EQ(broker.last(
                  "homeassistant/light/ostrel_C0FFEE000021_dimmer_light/config")["device"]["name"],
              "Hall lamp");
    RegistryData stored;
    std::string error;
    ASSERT_TRUE(Registry(config.state_file).load(stored, error)) << error;
    EXPECT_EQ(stored.actors.at(virtkit::DIMMER_ADDR).name, "Hall lamp");
}

// Ten relays in the file fill the library's table: the kit's relay is
// refused, once, on the response topic.
TEST_F(MqttActors, TheLibrarysLimitOfTenIsRefusedClearly) {
    for (int i = 0; i < 10; i++) {
        char address[13];
        snprintf(address, sizeof address, "A000000000%02d", i);
        config.actors.push_back({OSL_DEV_RELAY, address, std::string(32, 'A'), ""});
    }
    start_bridge();
    bridge->permit_join(600);
    ASSERT_TRUE(run_until([&] { return bridge->actors().size() == 12; }));
    EXPECT_EQ(bridge->actors().count(virtkit::RELAY_ADDR), 0u);
    int refusals = 0;
    for (const Published &p : broker.sent) {
        if (p.topic != "ostrel/bridge/response")
            continue;
        const json a = json::parse(p.payload);
        if (a["status"] == "error" && a.value("address", "") == virtkit::RELAY_ADDR) {
            refusals++;
            EXPECT_NE(a["error"].get<std::string>().find("10 actors of that kind"),
                      std::string::npos)
                << a;
        }
    }
    EXPECT_EQ(refusals, 1);
}

// An eleventh relay in the file does not stop the bridge: the ten others
// and the other kinds run, and a command for the one left out says why.
TEST_F(MqttActors, AnEleventhConfiguredRelayIsLeftOutAndSaysWhy) {
    for (int i = 0; i < 11; i++) {
        char address[13];
        snprintf(address, sizeof address, "A000000000%02d", i);
        config.actors.push_back({OSL_DEV_RELAY, address, std::string(32, 'A'), ""});
    }
    config.actors.push_back({OSL_DEV_DIMMER, virtkit::DIMMER_ADDR, virtkit::DIMMER_KEY, ""});
    start_bridge();
    EXPECT_FALSE(bridge->actors().at("A00000000010").in_library);
    const size_t sent = commands_sent();
    set("A00000000010", {{"channel", 0}, {"state", "ON"}});
    const json answer = broker.last("ostrel/bridge/response");
    EXPECT_EQ(answer["status"], "error");
    EXPECT_NE(answer["error"].get<std::string>().find("10 of each kind"), std::string::npos)
        << answer;
    EXPECT_EQ(commands_sent(), sent);
    set(virtkit::DIMMER_ADDR, {{"brightness", 30}});
    ASSERT_TRUE(run_until([&] { return kit.dimmer.level == 30; }));
}

} // namespace
} // namespace osl::test
