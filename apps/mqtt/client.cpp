#include "client.h"

#include <cstdio>
#include <vector>

#include <mosquitto.h>

namespace ostrel::mqtt {

namespace {

constexpr int KEEPALIVE_S = 30;
constexpr int64_t BACKOFF_FIRST_MS = 1000;
constexpr int64_t BACKOFF_MAX_MS = 60000;

struct LibraryInit {
    LibraryInit() { mosquitto_lib_init(); }
    ~LibraryInit() { mosquitto_lib_cleanup(); }
};

} // namespace

Client::Client(const Config &config, std::string will_topic)
    : config_(config), will_topic_(std::move(will_topic)) {
    static LibraryInit init;
    const std::string id = "ostrel_mqtt_" + config_.board;
    mosq_ = mosquitto_new(id.c_str(), true, this);
}

Client::~Client() {
    if (mosq_ != nullptr)
        mosquitto_destroy(mosq_);
}

bool Client::setup(std::string &error) {
    if (mosq_ == nullptr) {
        error = "the MQTT client could not be made";
        return false;
    }
    // Each record is a small message that should leave at once, not wait for
    // the one before it to be acknowledged (Nagle's algorithm).
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(mosq_, on_connect);
    mosquitto_disconnect_callback_set(mosq_, on_disconnect);
    mosquitto_message_callback_set(mosq_, on_message_cb);
    if (!config_.user.empty() &&
        mosquitto_username_pw_set(mosq_, config_.user.c_str(),
                                  config_.password.empty() ? nullptr : config_.password.c_str()) !=
            MOSQ_ERR_SUCCESS) {
        error = "the broker user could not be set";
        return false;
    }
    if (!config_.ca_file.empty()) {
        const char *cert = config_.cert_file.empty() ? nullptr : config_.cert_file.c_str();
        const char *key = config_.key_file.empty() ? nullptr : config_.key_file.c_str();
        const int rc =
            mosquitto_tls_set(mosq_, config_.ca_file.c_str(), nullptr, cert, key, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            error = std::string("TLS: ") + mosquitto_strerror(rc);
            return false;
        }
    }
    // A bridge that dies without a word reads "offline".
    const int rc = mosquitto_will_set(mosq_, will_topic_.c_str(), 7, "offline", 1, true);
    if (rc != MOSQ_ERR_SUCCESS) {
        error = std::string("last will: ") + mosquitto_strerror(rc);
        return false;
    }
    return true;
}

void Client::on_connect(struct mosquitto *, void *self, int rc) {
    auto *c = static_cast<Client *>(self);
    c->connecting_ = false;
    if (rc != 0) {
        fprintf(stderr, "ostrel_mqtt: the broker refused the connection: %s\n",
                mosquitto_connack_string(rc));
        return;
    }
    c->connected_ = true;
    if (c->away_)
        fprintf(stderr, "ostrel_mqtt: the broker is back\n");
    c->away_ = false;
    c->connections_++;
    c->backoff_ms_ = BACKOFF_FIRST_MS;
    for (const std::string &t : c->subscriptions_)
        mosquitto_subscribe(c->mosq_, nullptr, t.c_str(), 0);
    if (c->connected_cb_)
        c->connected_cb_();
}

void Client::on_disconnect(struct mosquitto *, void *self, int) {
    auto *c = static_cast<Client *>(self);
    c->connected_ = false;
}

void Client::on_message_cb(struct mosquitto *, void *self, const struct mosquitto_message *m) {
    auto *c = static_cast<Client *>(self);
    if (c->message_cb_ && m->topic != nullptr)
        c->message_cb_(m->topic,
                       std::string(static_cast<const char *>(m->payload),
                                   static_cast<size_t>(m->payloadlen > 0 ? m->payloadlen : 0)));
}

void Client::lost(int64_t now_ms) {
    // Said once an outage; the back-off goes on quietly.
    if (!away_) {
        fprintf(stderr,
                "ostrel_mqtt: the broker at %s:%d is away; trying again from %lld s "
                "on, at most a minute apart\n",
                config_.host.c_str(), config_.port, static_cast<long long>(backoff_ms_ / 1000));
        away_ = true;
    }
    connected_ = false;
    connecting_ = false;
    next_attempt_ms_ = now_ms + backoff_ms_;
    backoff_ms_ = backoff_ms_ * 2 > BACKOFF_MAX_MS ? BACKOFF_MAX_MS : backoff_ms_ * 2;
}

void Client::service(int64_t now_ms) {
    if (!connected_ && !connecting_) {
        if (now_ms < next_attempt_ms_)
            return;
        // The connection starts without waiting; the loop below completes it.
        const int rc = started_ ? mosquitto_reconnect_async(mosq_)
                                : mosquitto_connect_async(mosq_, config_.host.c_str(), config_.port,
                                                          KEEPALIVE_S);
        started_ = true;
        if (rc != MOSQ_ERR_SUCCESS) {
            lost(now_ms);
            return;
        }
        connecting_ = true;
    }
    const int rc = mosquitto_loop(mosq_, 0, 1);
    if (rc != MOSQ_ERR_SUCCESS)
        lost(now_ms);
}

bool Client::publish(const std::string &topic, const std::string &payload, bool retain) {
    if (!connected_)
        return false;
    return mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                             payload.data(), 0, retain) == MOSQ_ERR_SUCCESS;
}

void Client::close(const std::string &last_words) {
    if (connected_) {
        mosquitto_publish(mosq_, nullptr, will_topic_.c_str(), static_cast<int>(last_words.size()),
                          last_words.data(), 1, true);
        // Let it go out before the goodbye: a few turns, each without waiting.
        for (int i = 0; i < 50 && mosquitto_want_write(mosq_); i++)
            mosquitto_loop(mosq_, 10, 1);
        mosquitto_disconnect(mosq_);
        mosquitto_loop(mosq_, 10, 1);
    }
    connected_ = false;
}

} // namespace ostrel::mqtt
