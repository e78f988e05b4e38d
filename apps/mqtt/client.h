// The broker connection, with libmosquitto, serviced from the radio loop:
// no thread of its own, so the library's tick never runs beside it, and
// nothing it does waits (a connection is started without blocking and
// serviced with a zero timeout).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "bridge.h"
#include "config.h"

struct mosquitto;
struct mosquitto_message;

namespace ostrel::mqtt {

class Client : public Publisher {
  public:
    using Connected = std::function<void()>;
    using Message = std::function<void(const std::string &topic, const std::string &payload)>;

    Client(const Config &config, std::string will_topic);
    ~Client() override;
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    // Sets up the client (credentials, TLS, last will); false with `error`.
    bool setup(std::string &error);
    void on_connected(Connected f) { connected_cb_ = std::move(f); }
    void on_message(Message f) { message_cb_ = std::move(f); }
    void subscribe_on_connect(std::string topic) { subscriptions_.push_back(std::move(topic)); }

    // One turn of the connection, never waiting: reads and writes what is
    // ready, and reconnects after 1 s, doubling to 60 s, while it is away.
    void service(int64_t now_ms);
    // Publishes `payload` on the will topic and disconnects.
    void close(const std::string &last_words);

    bool connected() const override { return connected_; }
    bool publish(const std::string &topic, const std::string &payload, bool retain) override;
    uint32_t connections() const { return connections_; }

  private:
    static void on_connect(struct mosquitto *, void *self, int rc);
    static void on_disconnect(struct mosquitto *, void *self, int rc);
    static void on_message_cb(struct mosquitto *, void *self, const struct ::mosquitto_message *m);
    void lost(int64_t now_ms);

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
    int64_t next_attempt_ms_ = 0;
    int64_t backoff_ms_ = 1000;
    uint32_t connections_ = 0;
};

} // namespace ostrel::mqtt
