// ostrel_mqtt against a real Mosquitto broker, started here on a free
// loopback port with a configuration of its own (never the system's
// service), and the in-process virtual kit: the program as it runs on a
// board, in a child process, with a subscriber that sees what a Home
// Assistant would.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <mutex>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include "mqtt.h"
#include "sim/loopback.h"
#include "sim/virtkit/in_process.h"
#include "support/child.h"
#include "support/quiet_thread.h"
#include "support/lib_fixture.h"

namespace osl::test {
namespace {

using nlohmann::json;

constexpr const char *MOSQUITTO = "/usr/sbin/mosquitto";

// Every message on every topic, as mosquitto_sub -v '#' would print them.
class Subscriber {
  public:
    explicit Subscriber(int port) {
        mosquitto_lib_init();
        mosq_ = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(
            mosq_, [](mosquitto *, void *self, const mosquitto_message *m) {
                auto *s = static_cast<Subscriber *>(self);
                std::lock_guard<std::mutex> hold(s->lock_);
                s->got_.push_back({m->topic,
                                   std::string(static_cast<const char *>(m->payload),
                                               static_cast<size_t>(m->payloadlen)),
                                   m->retain});
            });
        mosquitto_connect_callback_set(
            mosq_, [](mosquitto *m, void *, int) { mosquitto_subscribe(m, nullptr, "#", 0); });
        mosquitto_connect(mosq_, "127.0.0.1", port, 30);
        // Its network thread inherits this mask: no signal of the test's
        // (SIGINT, a tick of a library open in this process) goes to it.
        SignalsHeld hold;
        mosquitto_loop_start(mosq_);
    }
    ~Subscriber() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, true);
        mosquitto_destroy(mosq_);
    }
    // As Home Assistant or a person's script would send it.
    void publish(const std::string &topic, const std::string &payload) {
        mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), 0, false);
    }
    struct Message {
        std::string topic;
        std::string payload;
        bool retain;
    };
    std::vector<Message> messages() {
        std::lock_guard<std::mutex> hold(lock_);
        return got_;
    }
    // The last payload on the topic, "" before any.
    std::string last(const std::string &topic) {
        const std::vector<std::string> all = on(topic);
        return all.empty() ? "" : all.back();
    }
    std::vector<std::string> on(const std::string &topic) {
        std::vector<std::string> out;
        for (const Message &m : messages())
            if (m.topic == topic)
                out.push_back(m.payload);
        return out;
    }

  private:
    mosquitto *mosq_;
    std::mutex lock_;
    std::vector<Message> got_;
};

class MqttBroker : public LibFixture {
  protected:
    void SetUp() override {
        LibFixture::SetUp();
        if (access(MOSQUITTO, X_OK) != 0)
            GTEST_SKIP() << "no mosquitto broker on this machine";
        port_ = osl::sim::free_loopback_port();
        write_file(path("broker.conf"),
                   "listener " + std::to_string(port_) +
                       " 127.0.0.1\nallow_anonymous true\npersistence false\n");
        start_broker();
        mkdir(path("gpio").c_str(), 0700);
        write_file(path("bridge.toml"),
                   "board = \"test\"\nstate_file = \"" + path("state.json") +
                       "\"\n[broker]\nhost = \"127.0.0.1\"\nport = " + std::to_string(port_) +
                       "\n[[sensor]]\naddress = \"111111111111\"\n"
                       "[[sensor]]\naddress = \"CBFD786BAA68\"\n");
    }
    void start_broker() {
        broker_ = std::make_unique<Child>(path("broker.out"), path("broker.err"), [this] {
            execl(MOSQUITTO, "mosquitto", "-c", path("broker.conf").c_str(), nullptr);
            return 127;
        });
        ASSERT_TRUE(wait_until([this] { return osl::sim::loopback_accepts(port_); }))
            << read_file(path("broker.err"));
    }
    void stop_broker() {
        kill(broker_->pid(), SIGTERM);
        ASSERT_TRUE(broker_->wait());
        broker_.reset();
    }
    // The bridge in a child process, against the virtual kit.
    std::unique_ptr<Child> start_bridge() {
        return std::make_unique<Child>(path("bridge.out"), path("bridge.err"), [this] {
            virtkit::Kit kit;
            virtkit::InProcessKit on_air(kit);
            on_air.start();
            const std::string config = path("bridge.toml");
            char arg0[] = "ostrel_mqtt", arg1[] = "--config";
            std::vector<char> arg2(config.begin(), config.end());
            arg2.push_back('\0');
            char *argv[] = {arg0, arg1, arg2.data(), nullptr};
            return ostrel::mqtt::mqtt_main(3, argv);
        });
    }
    std::string said() { return read_file(path("bridge.out")) + read_file(path("bridge.err")); }

    int port_ = 0;
    std::unique_ptr<Child> broker_;
};

// The bridge is forked before a subscriber's thread exists: a child of a
// process with threads may only do what is async-signal-safe.
TEST_F(MqttBroker, AdoptedSensorsReachASubscriberWithTheirDiscovery) {
    auto bridge = start_bridge();
    Subscriber sub(port_);
    ASSERT_TRUE(wait_until(
        [&] {
            return !sub.on("ostrel/111111111111/meteo/state").empty() &&
                   !sub.on("ostrel/CBFD786BAA68/magneto/state").empty();
        },
        std::chrono::seconds(30)))
        << said();
    const json state = json::parse(sub.last("ostrel/111111111111/meteo/state"));
    EXPECT_EQ(state["board"], "test");
    EXPECT_TRUE(state.contains("rssi"));
    EXPECT_TRUE(state.contains("voltage"));
    EXPECT_EQ(sub.last("ostrel/bridge/test/state"), "online");
    // Discovery, retained: a subscriber coming later still gets it.
    Subscriber late(port_);
    EXPECT_TRUE(wait_until([&] {
        return !late.on("homeassistant/sensor/ostrel_111111111111_meteo_rssi/config").empty();
    }));
    // Not adopted: the air sensor, only heard.
    EXPECT_TRUE(sub.on("ostrel/A0A1A2A3A4A5/air/state").empty());
    EXPECT_TRUE(wait_until([&] {
        const auto heard = late.on("ostrel/bridge/heard");
        return !heard.empty() && heard.back().find("A0A1A2A3A4A5") != std::string::npos;
    }));
    // SIGTERM: offline, and a clean end.
    kill(bridge->pid(), SIGTERM);
    ASSERT_TRUE(bridge->wait());
    EXPECT_TRUE(WIFEXITED(bridge->status()) && WEXITSTATUS(bridge->status()) == 0) << said();
    EXPECT_TRUE(wait_until([&] { return sub.last("ostrel/bridge/test/state") == "offline"; }));
    EXPECT_NE(said().find("[osl closed]"), std::string::npos) << said();
}

TEST_F(MqttBroker, AKilledBridgeReadsOfflineThroughItsLastWill) {
    auto bridge = start_bridge();
    Subscriber sub(port_);
    ASSERT_TRUE(wait_until(
        [&] {
            const auto s = sub.on("ostrel/bridge/test/state");
            return !s.empty() && s.back() == "online";
        },
        std::chrono::seconds(30)))
        << said();
    kill(bridge->pid(), SIGKILL);
    ASSERT_TRUE(bridge->wait());
    // The broker notices the dead connection at once (the socket closes).
    EXPECT_TRUE(wait_until([&] { return sub.last("ostrel/bridge/test/state") == "offline"; },
                           std::chrono::seconds(30)));
}

// The broker away for 20 s: the bridge keeps its pace, comes back, and each
// device's latest state arrives; its states are those published plus those
// it counted as dropped.
TEST_F(MqttBroker, TheBridgeOutlivesABrokerOutage) {
    auto bridge = start_bridge();
    {
        Subscriber sub(port_);
        ASSERT_TRUE(wait_until([&] { return !sub.on("ostrel/111111111111/meteo/state").empty(); },
                               std::chrono::seconds(30)))
            << said();
    }
    stop_broker();
    sleep(20); // the outage itself, not a wait for a condition
    start_broker();
    Subscriber sub(port_);
    ASSERT_TRUE(wait_until(
        [&] {
            return !sub.on("ostrel/111111111111/meteo/state").empty() &&
                   !sub.on("ostrel/CBFD786BAA68/magneto/state").empty();
        },
        std::chrono::seconds(90)))
        << said();
    // The counters: every state published or dropped.
    ASSERT_TRUE(wait_until([&] { return !sub.on("ostrel/bridge/test/stats").empty(); },
                           std::chrono::seconds(60)));
    kill(bridge->pid(), SIGTERM);
    ASSERT_TRUE(bridge->wait());
    const json stats = json::parse(sub.last("ostrel/bridge/test/stats"));
    EXPECT_GT(stats["dropped"].get<int>(), 0) << stats;
    EXPECT_EQ(stats["states"].get<int>(),
              stats["published"].get<int>() + stats["dropped"].get<int>())
        << stats;
    EXPECT_NE(said().find("is away; trying again"), std::string::npos) << said();
    EXPECT_NE(said().find("the broker is back"), std::string::npos) << said();
}

// Pairing and switching as a home does it: adoption opened by a request,
// the kit's actors paired from their own announcements, a command sent as a
// message, and the actor's own report back on its state topic. No key is
// ever on the broker or in the bridge's output.
TEST_F(MqttBroker, ActorsArePairedAndSwitchedOverTheBroker) {
    // Every library line about actors, SEC_KEY announcements included.
    write_file(path("bridge.toml"),
               read_file(path("bridge.toml")) + "[library]\nverbosity = [\"lib\", \"actors\"]\n");
    auto bridge = start_bridge();
    Subscriber sub(port_);
    ASSERT_TRUE(wait_until([&] { return sub.last("ostrel/bridge/test/state") == "online"; },
                           std::chrono::seconds(30)))
        << said();
    sub.publish("ostrel/bridge/request/permit_join", R"({"time": 120, "transaction": "p1"})");
    auto paired = [&](const char *address) {
        for (const std::string &r : sub.on("ostrel/bridge/response")) {
            const json a = json::parse(r);
            if (a.value("address", "") == address && a.value("status", "") == "ok")
                return true;
        }
        return false;
    };
    ASSERT_TRUE(wait_until(
        [&] {
            return paired(virtkit::RELAY_ADDR) && paired(virtkit::DIMMER_ADDR) &&
                   paired(virtkit::PWM_ADDR);
        },
        std::chrono::seconds(60)))
        << said();
    EXPECT_FALSE(sub.last("homeassistant/light/ostrel_C0FFEE000021_dimmer_light/config").empty());

    sub.publish("ostrel/C0FFEE000020/set", R"({"channel": 3, "state": "ON"})");
    sub.publish("ostrel/C0FFEE000021/set", R"({"state": "ON", "brightness": 65})");
    auto reported = [&](const char *address, const char *key, const json &value) {
        const std::string last = sub.last(std::string("ostrel/") + address + "/state");
        if (last.empty())
            return false;
        const json s = json::parse(last);
        return s.value(key, json()) == value && s.value("pending", true) == false;
    };
    EXPECT_TRUE(wait_until(
        [&] {
            return reported(virtkit::RELAY_ADDR, "channel3", "ON") &&
                   reported(virtkit::DIMMER_ADDR, "brightness", 65);
        },
        std::chrono::seconds(60)))
        << sub.last("ostrel/C0FFEE000020/state") << sub.last("ostrel/C0FFEE000021/state");
    // A bad command is answered, with its id, and changes nothing.
    sub.publish("ostrel/C0FFEE000021/set", R"({"brightness": 101, "transaction": "b1"})");
    EXPECT_TRUE(wait_until([&] {
        for (const std::string &r : sub.on("ostrel/bridge/response"))
            if (json::parse(r).value("transaction", "") == "b1")
                return json::parse(r).value("status", "") == "error";
        return false;
    }));

    kill(bridge->pid(), SIGTERM);
    ASSERT_TRUE(bridge->wait());
    EXPECT_TRUE(WIFEXITED(bridge->status()) && WEXITSTATUS(bridge->status()) == 0) << said();
    const std::string log = said();
    EXPECT_NE(log.find("paired RELAY C0FFEE000020"), std::string::npos) << log;
    for (const char *key : {virtkit::RELAY_KEY, virtkit::DIMMER_KEY, virtkit::PWM_KEY}) {
        std::string lower = key;
        for (char &c : lower)
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        for (const std::string &k : {std::string(key), lower}) {
            EXPECT_EQ(log.find(k), std::string::npos) << k;
            for (const Subscriber::Message &m : sub.messages())
                EXPECT_EQ(m.payload.find(k), std::string::npos) << m.topic;
        }
    }
}

} // namespace
} // namespace osl::test
