// The broker connection, with libmosquitto, serviced from the radio loop:
// no thread of its own, so the library's tick never runs beside it, and
// nothing it does waits (a connection is started without blocking and
// serviced with a zero timeout).
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>

#include "bridge.h"
#include "config.h"

struct mosquitto;
struct mosquitto_message;

namespace ostrel::mqtt {

class Client : public Publisher {
  public:
    using Connected = std::function<void()>;
    // `retained`: replayed from the broker's store at subscription, not sent now.
    using Message =
        std::function<void(const std::string &topic, std::string_view payload, bool retained)>;

    Client(const Config &config, std::string will_topic);
    ~Client() override;
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    // Sets up the client (credentials, TLS, last will); false with `error`.
    bool setup(std::string &error);
    void on_connected(Connected f) { connected_cb_ = std::move(f); }
    void on_message(Message f) { message_cb_ = std::move(f); }
    void subscribe_on_connect(std::string topic) { subscriptions_.push_back(std::move(topic)); }
    // The retained topic on which this run claims its board's name (see
    // taken_over); its messages are the client's own, never handed on.
    void claim_name_on(std::string topic) { claim_topic_ = std::move(topic); }

    // One turn of the connection, never waiting: reads every message that is
    // waiting (for a few milliseconds at most, so the radio keeps its pace),
    // writes what is ready, and reconnects after 1 s, doubling to 60 s, while
    // it is away. An exception of the message handler (running out of
    // memory) comes out of here, never through libmosquitto.
    void service(int64_t now_ms);
    // The last turn stopped at its time budget with messages still waiting.
    bool more_waiting() const { return more_waiting_; }
    // Another run of the bridge claimed this board's name after this one
    // did: the two would take the broker connection from each other. Said
    // once, on stderr; the program stops.
    bool taken_over() const { return taken_over_; }
    // Publishes `payload` on the will topic and disconnects.
    void close(const std::string &last_words);

    bool connected() const override { return connected_; }
    bool publish(const std::string &topic, const std::string &payload, bool retain) override;
    uint32_t connections() const { return connections_; }

  private:
    static void on_connect(struct mosquitto *, void *self, int rc);
    static void on_disconnect(struct mosquitto *, void *self, int rc);
    static void on_message_cb(struct mosquitto *, void *self, const struct ::mosquitto_message *m);
    void lost(int64_t now_ms, int rc);
    void claim();
    bool claim_message(const std::string &topic, std::string_view payload);

    const Config &config_;
    std::string will_topic_;
    struct mosquitto *mosq_ = nullptr;
    Connected connected_cb_;
    Message message_cb_;
    std::vector<std::string> subscriptions_;
    bool connected_ = false;
    bool connecting_ = false;
    bool started_ = false; // connect_async called once: the host is known
    bool away_ = false;    // an outage was reported
    std::string claim_topic_;
    std::string token_;    // this run's claim to the board's name
    bool claimed_ = false; // the broker showed the token back
    bool more_waiting_ = false;
    bool taken_over_ = false;
    uint64_t messages_ = 0;    // messages handed on
    std::exception_ptr fault_; // thrown by the handler inside libmosquitto
    int64_t next_attempt_ms_ = 0;
    int64_t backoff_ms_ = 1000;
    uint32_t connections_ = 0;
};

} // namespace ostrel::mqtt
