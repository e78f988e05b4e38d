#include "client.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <unistd.h>
#include <vector>

#include <sys/random.h>

#include <mosquitto.h>

namespace ostrel::mqtt {

namespace {

constexpr int KEEPALIVE_S = 30;
constexpr int64_t BACKOFF_FIRST_MS = 1000;
constexpr int64_t BACKOFF_MAX_MS = 60000;
// Messages are read for this long at most in one turn: a burst of them must
// not keep the radio's records waiting (the library's queue holds about
// 40 ms of frames at its highest rate).
constexpr int64_t READ_BUDGET_US = 5000;

struct LibraryInit {
    LibraryInit() { mosquitto_lib_init(); }
    ~LibraryInit() { mosquitto_lib_cleanup(); }
};

int64_t monotonic_us() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

bool readable(int fd) {
    if (fd < 0)
        return false;
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

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
    c->claim();
    // Inside libmosquitto: what the bridge throws (running out of memory)
    // comes out of service() instead.
    try {
        if (c->connected_cb_)
            c->connected_cb_();
    } catch (...) {
        c->fault_ = std::current_exception();
    }
}

void Client::on_disconnect(struct mosquitto *, void *self, int) {
    auto *c = static_cast<Client *>(self);
    c->connected_ = false;
}

// Two bridges given one board name share a client id, and the broker hands
// the connection to whichever connected last, again and again, forever.
// Each run claims the name with a token of its own, retained beside the
// board's availability and published until the broker has shown it back.
// A run that has seen its own token and later finds another was taken
// over: it stops, and the newer run keeps the name. A token met before the
// run's own is left by an earlier run (a crash, a restart) and replaced.
void Client::claim() {
    if (claim_topic_.empty())
        return;
    // A clean session: subscribed anew at each connection.
    mosquitto_subscribe(mosq_, nullptr, claim_topic_.c_str(), 1);
    if (claimed_)
        return;
    if (token_.empty()) {
        uint8_t bytes[8] = {};
        if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
            const auto seed =
                static_cast<uint64_t>(monotonic_us()) ^ static_cast<uint64_t>(getpid());
            memcpy(bytes, &seed, sizeof bytes);
        }
        static constexpr char DIGITS[] = "0123456789abcdef";
        for (uint8_t b : bytes) {
            token_ += DIGITS[b >> 4];
            token_ += DIGITS[b & 0x0F];
        }
    }
    mosquitto_publish(mosq_, nullptr, claim_topic_.c_str(), static_cast<int>(token_.size()),
                      token_.data(), 1, true);
}

bool Client::claim_message(const std::string &topic, std::string_view payload) {
    if (claim_topic_.empty() || topic != claim_topic_)
        return false;
    if (payload == token_) {
        claimed_ = true;
    } else if (claimed_ && !taken_over_) {
        taken_over_ = true;
        fprintf(stderr,
                "ostrel_mqtt: another bridge connected to the broker as board '%s' and took "
                "over this one's connection: each board needs a name of its own (board = in "
                "the configuration); stopping\n",
                config_.board.c_str());
    }
    return true;
}

// Inside libmosquitto's read: the payload is looked at where it lies, never
// copied (a message of any size the broker lets through must not cost its
// size again), and nothing may be thrown through the C library.
void Client::on_message_cb(struct mosquitto *, void *self, const struct mosquitto_message *m) {
    auto *c = static_cast<Client *>(self);
    if (m->topic == nullptr || c->fault_ || c->taken_over_)
        return;
    c->messages_++;
    try {
        const std::string topic = m->topic;
        const std::string_view payload(static_cast<const char *>(m->payload),
                                       static_cast<size_t>(m->payloadlen > 0 ? m->payloadlen : 0));
        if (c->claim_message(topic, payload) || !c->message_cb_)
            return;
        c->message_cb_(topic, payload, m->retain);
    } catch (...) {
        c->fault_ = std::current_exception();
    }
}

void Client::lost(int64_t now_ms, int rc) {
    // Said once an outage; the back-off goes on quietly.
    if (!away_) {
        if (rc == MOSQ_ERR_TLS)
            fprintf(stderr,
                    "ostrel_mqtt: the TLS handshake with the broker at %s:%d failed (is it a "
                    "TLS port, and is its certificate signed by ca_file?); trying again from "
                    "%lld s on, at most a minute apart\n",
                    config_.host.c_str(), config_.port, static_cast<long long>(backoff_ms_ / 1000));
        else
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
    more_waiting_ = false;
    if (taken_over_)
        return;
    if (!connected_ && !connecting_) {
        if (now_ms < next_attempt_ms_)
            return;
        // The connection starts without waiting; the loop below completes it.
        const int rc = started_ ? mosquitto_reconnect_async(mosq_)
                                : mosquitto_connect_async(mosq_, config_.host.c_str(), config_.port,
                                                          KEEPALIVE_S);
        started_ = true;
        if (rc != MOSQ_ERR_SUCCESS) {
            lost(now_ms, rc);
            return;
        }
        connecting_ = true;
    }
    // libmosquitto reads one packet a turn: turn again while a message came
    // or more bytes wait, within the budget.
    const int64_t until = monotonic_us() + READ_BUDGET_US;
    for (;;) {
        const uint64_t before = messages_;
        const int rc = mosquitto_loop(mosq_, 0, 1);
        if (fault_) {
            std::exception_ptr fault = fault_;
            fault_ = nullptr;
            std::rethrow_exception(fault);
        }
        if (taken_over_)
            return;
        if (rc != MOSQ_ERR_SUCCESS) {
            lost(now_ms, rc);
            return;
        }
        if (messages_ == before && !readable(mosquitto_socket(mosq_)))
            return;
        if (monotonic_us() >= until) {
            more_waiting_ = true;
            return;
        }
    }
}

bool Client::publish(const std::string &topic, const std::string &payload, bool retain) {
    if (!connected_)
        return false;
    return mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                             payload.data(), 0, retain) == MOSQ_ERR_SUCCESS;
}

void Client::close(const std::string &last_words) {
    if (connected_ && taken_over_) {
        // The name is the other run's now, and so is "online".
        mosquitto_disconnect(mosq_);
        mosquitto_loop(mosq_, 10, 1);
    } else if (connected_) {
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
