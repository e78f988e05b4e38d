// ostrel_mqtt's handling of the messages it subscribes to, on arbitrary
// payloads: the bridge's requests, the actors' commands and Home
// Assistant's status. Each input starts a bridge afresh, as the program
// does, over one configuration (a relay, a dimmer and a PWM controller, two
// sensors) and a registry written anew (a paired PWM controller and relay,
// an adopted sensor), with a broker stand-in that keeps what the bridge
// publishes.
//
// The library is not opened here: the actors are registered, as the program
// registers them before it opens the library, and every command that
// reaches one fails to go out. That is the path of a command while the
// adapter is away, and the bridge must answer it as an error.
//
// Input: up to four messages separated by 0xFF (a byte no UTF-8 text holds).
// A message is a control byte, then its payload: the control byte's low
// seven bits choose the topic (modulo the list below), its high bit sends
// the message while the broker is away (every publish fails).
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "actors/registry.h"
#include "bridge.h"
#include "config.h"
#include "osl.h"
#include "registry.h"
#include "scratch.h"
#include "targets.h"

namespace osl::fuzz {

namespace {

using nlohmann::json;
using ostrel::mqtt::ActorEntry;
using ostrel::mqtt::Bridge;
using ostrel::mqtt::Config;
using ostrel::mqtt::Registry;
using ostrel::mqtt::RegistryData;

void check(bool holds) {
    if (!holds)
        abort();
}

constexpr const char *RELAY_KEY = "000102030405060708090A0B0C0D0E0F";
constexpr const char *DIMMER_KEY = "F0E1D2C3B4A5968778695A4B3C2D1E0F";
constexpr const char *PWM_KEY = "2B7E151628AED2A6ABF7158809CF4F3C";
constexpr const char *PAIRED_PWM_KEY = "00112233445566778899AABBCCDDEEFF";
constexpr const char *PAIRED_RELAY_KEY = "A0A1A2A3A4A5A6A7A8A9AAABACADAEAF";
constexpr const char *KEYS[] = {RELAY_KEY, DIMMER_KEY, PWM_KEY, PAIRED_PWM_KEY, PAIRED_RELAY_KEY};

// Every actor address the bridge may register: the configured ones, then
// the paired ones of the registry.
constexpr const char *ACTORS[] = {"C0FFEE000020", "C0FFEE000021", "C0FFEE000022", "C0FFEE000023",
                                  "C0FFEE000024"};

// The registry each input starts from, as the bridge writes it.
constexpr const char *REGISTRY = R"({
  "version": 2,
  "devices": [
    {"address": "333333333333", "name": "Porch", "kinds": [{"kind": "MOTION", "interval_s": 60}]}
  ],
  "actors": [
    {"address": "C0FFEE000020", "kind": "RELAY", "config": true, "wanted": [5]},
    {"address": "C0FFEE000023", "kind": "PWM", "name": "Desk strip",
     "key": "00112233445566778899AABBCCDDEEFF", "wanted": [10, 20, 30], "lit": [10, 20, 30]},
    {"address": "C0FFEE000024", "kind": "RELAY", "name": "Pump",
     "key": "A0A1A2A3A4A5A6A7A8A9AAABACADAEAF", "wanted": [0]}
  ],
  "discovery": ["homeassistant/sensor/ostrel_333333333333_motion_rssi/config"]
})";

struct Topic {
    const char *topic;
    bool answered; // the bridge answers on <prefix>/bridge/response
};

constexpr Topic TOPICS[] = {
    {"ostrel/bridge/request/permit_join", true},
    {"ostrel/bridge/request/remove", true},
    {"ostrel/bridge/request/rename", true},
    {"ostrel/bridge/request/restart", true}, // no such request
    {"ostrel/bridge/request/", true},
    {"ostrel/C0FFEE000020/set", true}, // configured relay
    {"ostrel/C0FFEE000021/set", true}, // configured dimmer
    {"ostrel/C0FFEE000022/set", true}, // configured PWM controller
    {"ostrel/C0FFEE000023/set", true}, // paired PWM controller
    {"ostrel/c0ffee000024/set", true}, // paired relay, its address in lower case
    {"ostrel/C0FFEE0000FF/set", true}, // no actor there
    {"ostrel/111111111111/set", true}, // a sensor
    {"ostrel/bridge/set", true},
    {"homeassistant/status", false},
    {"homeassistant/light/x/set", false}, // not the bridge's
};
constexpr size_t TOPIC_COUNT = sizeof TOPICS / sizeof TOPICS[0];
constexpr uint8_t AWAY = 0x80;
constexpr uint8_t SEPARATOR = 0xFF;
constexpr int MAX_MESSAGES = 4;

constexpr int64_t NOW = 1700000000;

// Keeps what the bridge tried to publish, whether or not it went out.
class Broker : public ostrel::mqtt::Publisher {
  public:
    bool connected() const override { return up; }
    bool publish(const std::string &topic, const std::string &payload, bool retain) override {
        tried.push_back({topic, payload, retain});
        return up;
    }
    struct Message {
        std::string topic;
        std::string payload;
        bool retain;
    };
    bool up = true;
    std::vector<Message> tried;
};

Config make_config() {
    Config c;
    c.board = "fuzz";
    c.sensors = {{"111111111111", "Garden weather"}, {"222222222222", ""}};
    c.actors = {{OSL_DEV_RELAY, "C0FFEE000020", RELAY_KEY, "Hall"},
                {OSL_DEV_DIMMER, "C0FFEE000021", DIMMER_KEY, ""},
                {OSL_DEV_PWM, "C0FFEE000022", PWM_KEY, "Shelf"}};
    return c;
}

bool contains_key(const std::string &text) {
    for (const char *key : KEYS) {
        std::string lower = key;
        for (char &ch : lower)
            ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
        if (text.find(key) != std::string::npos || text.find(lower) != std::string::npos)
            return true;
    }
    return false;
}

// Everything the bridge publishes is well formed and never holds a key.
void check_message(const Broker::Message &m) {
    check(!contains_key(m.topic) && !contains_key(m.payload));
    if (m.topic == "ostrel/bridge/fuzz/state" || m.topic.ends_with("/action"))
        return; // plain words
    if (m.payload.empty() && m.retain && m.topic.ends_with("/config"))
        return; // a config taken back
    check(json::accept(m.payload));
}

// A message gets the one answer it asks for, and a command never says it
// went out; an answer never runs long (nothing of a payload is echoed but
// a short transaction).
void check_answers(const Broker &broker, size_t from, const Topic &topic) {
    int answers = 0;
    for (size_t i = from; i < broker.tried.size(); i++) {
        const Broker::Message &m = broker.tried[i];
        check_message(m);
        if (m.topic != "ostrel/bridge/response")
            continue;
        answers++;
        check(m.payload.size() < 512);
        const json answer = json::parse(m.payload);
        const std::string status = answer.value("status", "");
        check(status == "ok" || status == "error");
        check(status == "ok" || !answer.value("error", "").empty());
        if (answer.value("request", "") == "set")
            check(status == "error");
    }
    check(answers == (topic.answered ? 1 : 0));
}

// The actors' states the bridge holds are states an actor can take.
void check_state(const ActorEntry &a) {
    const int channels = ostrel::mqtt::actor_channels(a.type);
    for (int c = 0; c < 3; c++) {
        const auto i = static_cast<size_t>(c);
        check(c < channels || a.wanted[i] == 0);
        check(a.wanted[i] <= ostrel::mqtt::actor_state_max(a.type));
        if (a.type != OSL_DEV_RELAY && c < channels)
            check(a.lit[i] <= ostrel::mqtt::actor_state_max(a.type));
    }
}

// The registry file holds what the bridge holds: nothing asked of an actor
// or given a name is lost.
void check_saved(const Bridge &bridge, const std::string &path) {
    RegistryData saved;
    std::string error;
    check(Registry(path).load(saved, error));
    check(saved.actors.size() == bridge.actors().size());
    for (const auto &[address, a] : bridge.actors()) {
        const auto found = saved.actors.find(address);
        check(found != saved.actors.end());
        const ActorEntry &s = found->second;
        check(s.type == a.type && s.from_config == a.from_config);
        for (int c = 0; c < ostrel::mqtt::actor_channels(a.type); c++) {
            const auto i = static_cast<size_t>(c);
            check(s.wanted[i] == a.wanted[i]);
            check(a.type == OSL_DEV_RELAY || s.lit[i] == a.lit[i]);
        }
        if (!a.from_config)
            check(s.name == a.name && s.key == a.key);
    }
    for (const auto &[address, sensor] : bridge.adopted()) {
        if (sensor.from_config)
            continue;
        const auto found = saved.sensors.find(address);
        check(found != saved.sensors.end() && found->second.name == sensor.name);
    }
}

} // namespace

void mqtt_message_init() {}

void mqtt_message_run(const uint8_t *data, size_t size) {
    // Each input meets the library's tables empty, whatever came before.
    osl_relay_count = 0;
    osl_dimmer_count = 0;
    osl_pwm_count = 0;
    static const Config config = make_config();
    const std::string path =
        scratch_write("state.json", reinterpret_cast<const uint8_t *>(REGISTRY), strlen(REGISTRY));

    Broker broker;
    Registry store(path);
    Bridge bridge(config, broker, store, [] { return NOW; });
    std::string error;
    check(bridge.start(error));
    bridge.connected();
    // What the connection publishes is the same for every input: checked
    // once, as the JSON it is made of costs more than the rest of an input.
    static bool connection_checked = false;
    if (!connection_checked)
        for (const Broker::Message &m : broker.tried)
            check_message(m);
    connection_checked = true;

    size_t at = 0;
    for (int n = 0; n < MAX_MESSAGES && at < size; n++) {
        const uint8_t control = data[at];
        const uint8_t *end =
            static_cast<const uint8_t *>(memchr(data + at + 1, SEPARATOR, size - at - 1));
        const size_t stop = end != nullptr ? static_cast<size_t>(end - data) : size;
        const std::string payload(reinterpret_cast<const char *>(data + at + 1), stop - at - 1);
        const Topic &topic = TOPICS[(control & ~AWAY) % TOPIC_COUNT];
        broker.up = (control & AWAY) == 0;
        const size_t from = broker.tried.size();
        // One message a pass, as a quiet broker delivers them: the pass
        // writes the registry, sends the commands and answers.
        bridge.message(topic.topic, payload);
        bridge.pass();
        check_answers(broker, from, topic);
        at = stop + 1;
    }
    broker.up = true;
    // A pass with the broker back: the discovery configs out are written
    // with it, so the registry on disk is whole even after no message.
    const size_t before_pass = broker.tried.size();
    bridge.pass();
    for (size_t i = before_pass; i < broker.tried.size(); i++)
        check_message(broker.tried[i]);

    for (const auto &[address, a] : bridge.actors())
        check_state(a);
    check_saved(bridge, path);
    // The library holds exactly the actors the bridge says it registered.
    for (const char *address : ACTORS) {
        const auto found = bridge.actors().find(address);
        const bool registered = found != bridge.actors().end() && found->second.in_library;
        check((osl_actor_remove(address) == 0) == registered);
    }
}

} // namespace osl::fuzz
