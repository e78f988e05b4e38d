// ostrel_mqtt against a real Mosquitto broker, started here on a free
// loopback port with a configuration of its own (never the system's
// service), and the in-process virtual kit: the program as it runs on a
// board, in a child process, with a subscriber that sees what a Home
// Assistant would.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include "client.h"
#include "config.h"
#include "core/platform.h"
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
    void publish(const std::string &topic, const std::string &payload, bool retain = false) {
        mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), 1, retain);
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
    // The bridge in a child process, against the virtual kit; `name` picks
    // its configuration (NAME.toml), its output files and, for a second
    // bridge beside the first, a lock file of its own.
    std::unique_ptr<Child> start_bridge(const std::string &name = "bridge") {
        return std::make_unique<Child>(path(name + ".out"), path(name + ".err"), [this, name] {
            const std::string lock = path(name + ".lock");
            if (name != "bridge")
                osl_lock_path = lock.c_str();
            virtkit::Kit kit;
            virtkit::InProcessKit on_air(kit);
            on_air.start();
            const std::string config = path(name + ".toml");
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

// Two bridges given one board name share a client id, and each would throw
// the other off the broker, again and again. The one thrown off says why
// and stops with status 3 (the service is not restarted for it); the other
// stays online.
TEST_F(MqttBroker, ASecondBridgeWithTheSameNameStopsTheFirstWithAClearLine) {
    auto first = start_bridge();
    Subscriber sub(port_);
    ASSERT_TRUE(wait_until([&] { return sub.last("ostrel/bridge/test/state") == "online"; },
                           std::chrono::seconds(30)))
        << said();
    std::string second_config = read_file(path("bridge.toml"));
    second_config.replace(second_config.find("state.json"), 10, "second-state.json");
    write_file(path("second.toml"), second_config);
    auto second = start_bridge("second");
    ASSERT_TRUE(first->wait(std::chrono::seconds(60))) << said();
    EXPECT_TRUE(WIFEXITED(first->status()) && WEXITSTATUS(first->status()) == 3) << said();
    EXPECT_NE(said().find("ostrel_mqtt: another bridge connected to the broker as board 'test' "
                          "and took over this one's connection: each board needs a name of its "
                          "own"),
              std::string::npos)
        << said();
    // The second holds the connection: online, and answering. The two took
    // the connection from each other once or twice before the first knew.
    // (A request sent while it is between two connections is lost: asked
    // again each second until answered.)
    auto asked = std::chrono::steady_clock::now() - std::chrono::seconds(1);
    EXPECT_TRUE(wait_until(
        [&] {
            for (const std::string &r : sub.on("ostrel/bridge/response"))
                if (json::parse(r).value("transaction", "") == "who")
                    return true;
            if (std::chrono::steady_clock::now() - asked >= std::chrono::seconds(1)) {
                sub.publish("ostrel/bridge/request/permit_join",
                            R"({"time": 0, "transaction": "who"})");
                asked = std::chrono::steady_clock::now();
            }
            return false;
        },
        std::chrono::seconds(90)));
    EXPECT_EQ(sub.last("ostrel/bridge/test/state"), "online");
    EXPECT_LE(sub.on("ostrel/bridge/test/state").size(), 8u);
    EXPECT_FALSE(second->ended());
    kill(second->pid(), SIGTERM);
    ASSERT_TRUE(second->wait());
    EXPECT_TRUE(WIFEXITED(second->status()) && WEXITSTATUS(second->status()) == 0)
        << read_file(path("second.err"));
}

// A request left retained on the broker (permit_join for an hour) is not
// carried out at the bridge's start; the same request sent live is.
TEST_F(MqttBroker, ARetainedRequestIsNotCarriedOutAtTheStart) {
    {
        Subscriber setter(port_);
        setter.publish("ostrel/bridge/request/permit_join", R"({"time": 3600})", true);
        ASSERT_TRUE(
            wait_until([&] { return !setter.on("ostrel/bridge/request/permit_join").empty(); }));
    }
    auto bridge = start_bridge();
    Subscriber sub(port_);
    ASSERT_TRUE(wait_until([&] { return !sub.on("ostrel/bridge/test/stats").empty(); },
                           std::chrono::seconds(30)))
        << said();
    EXPECT_TRUE(wait_until([&] {
        return said().find("a retained message on ostrel/bridge/request/permit_join was "
                           "ignored") != std::string::npos;
    })) << said();
    EXPECT_EQ(json::parse(sub.last("ostrel/bridge/test/stats"))["adoption_open"], false);
    EXPECT_TRUE(sub.on("ostrel/bridge/response").empty());
    sub.publish("ostrel/bridge/request/permit_join", R"({"time": 60, "transaction": "live"})");
    EXPECT_TRUE(wait_until([&] {
        const std::string r = sub.last("ostrel/bridge/response");
        return !r.empty() && json::parse(r).value("transaction", "") == "live";
    }));
    kill(bridge->pid(), SIGTERM);
    ASSERT_TRUE(bridge->wait());
}

// TLS asked of a broker that does not speak it: the log says the handshake
// failed, not merely that the broker is away.
TEST_F(MqttBroker, AFailedTlsHandshakeSaysSo) {
    const std::string key = path("ca.key"), cert = path("ca.pem");
    Child openssl(path("openssl.out"), path("openssl.err"), [&] {
        execlp("openssl", "openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj",
               "/CN=ostrel-test", "-days", "1", "-keyout", key.c_str(), "-out", cert.c_str(),
               nullptr);
        return 127;
    });
    ASSERT_TRUE(openssl.wait(std::chrono::seconds(60)));
    if (!WIFEXITED(openssl.status()) || WEXITSTATUS(openssl.status()) != 0)
        GTEST_SKIP() << "no openssl to make a certificate: " << read_file(path("openssl.err"));
    std::string config = read_file(path("bridge.toml"));
    config.replace(config.find("[broker]\n"), 9, "[broker]\nca_file = \"" + cert + "\"\n");
    write_file(path("bridge.toml"), config);
    auto bridge = start_bridge();
    EXPECT_TRUE(wait_until(
        [&] {
            return said().find("the TLS handshake with the broker at 127.0.0.1:") !=
                   std::string::npos;
        },
        std::chrono::seconds(30)))
        << said();
    kill(bridge->pid(), SIGTERM);
    ASSERT_TRUE(bridge->wait());
    EXPECT_TRUE(WIFEXITED(bridge->status()) && WEXITSTATUS(bridge->status()) == 0) << said();
}

// Running out of memory inside libmosquitto's callback must not unwind
// through the C library: the handler's exception comes out of service(),
// where the program ends cleanly; the connection is fine afterwards.
TEST_F(MqttBroker, AnExceptionOfTheMessageHandlerComesOutOfServiceNotThroughTheCLibrary) {
    ostrel::mqtt::Config config;
    config.board = "test";
    config.host = "127.0.0.1";
    config.port = port_;
    ostrel::mqtt::Client client(config, "ostrel/bridge/test/state");
    std::string error;
    ASSERT_TRUE(client.setup(error)) << error;
    int handled = 0;
    client.on_message([&](const std::string &, std::string_view payload, bool) {
        handled++;
        if (payload == "boom")
            throw std::bad_alloc();
    });
    client.subscribe_on_connect("ostrel/bridge/request/+");
    auto now_ms = [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
    ASSERT_TRUE(wait_until([&] {
        client.service(now_ms());
        return client.connected();
    }));
    // Sent again each second until it arrives: the first may come before
    // the client's subscription.
    Subscriber sub(port_);
    auto sent = std::chrono::steady_clock::now() - std::chrono::seconds(1);
    auto send_every_second = [&](const char *payload) {
        if (std::chrono::steady_clock::now() - sent >= std::chrono::seconds(1)) {
            sub.publish("ostrel/bridge/request/x", payload);
            sent = std::chrono::steady_clock::now();
        }
    };
    bool thrown = false;
    ASSERT_TRUE(wait_until(
        [&] {
            send_every_second("boom");
            try {
                client.service(now_ms());
            } catch (const std::bad_alloc &) {
                thrown = true;
            }
            return thrown;
        },
        std::chrono::seconds(30)));
    const int before = handled;
    sent = std::chrono::steady_clock::now() - std::chrono::seconds(1);
    EXPECT_TRUE(wait_until(
        [&] {
            send_every_second("fine");
            client.service(now_ms());
            return handled > before;
        },
        std::chrono::seconds(30)));
    EXPECT_TRUE(client.connected());
}

} // namespace
} // namespace osl::test
