// The bridge between the kit and an MQTT broker, apart from the broker
// connection itself: what to publish for each record, Home Assistant's
// discovery, adoption of sensors and pairing of actors, the actors' commands,
// the list of devices heard, and what is kept while the broker is away.
//
// Topics (prefix "ostrel" by default; several boards may share a broker):
//   <prefix>/<ADDRESS>/<kind>/state           a sensor's readings (JSON), not retained
//   <prefix>/<ADDRESS>/button/action          a button's press: "single", "double", "hold"
//   <prefix>/<ADDRESS>/state                  an actor's reported state (JSON), not retained
//   <prefix>/<ADDRESS>/set                    a command for an actor (JSON)
//   <prefix>/bridge/<board>/state             "online" / "offline" (retained, last will)
//   <prefix>/bridge/<board>/stats             the board's counters (JSON)
//   <prefix>/bridge/heard                     devices heard but not adopted (retained)
//   <prefix>/bridge/request/permit_join       {"time": seconds} opens adoption
//   <prefix>/bridge/request/remove            {"address": ...} forgets a device
//   <prefix>/bridge/request/rename            {"address": ..., "name": ...}
//   <prefix>/bridge/response                  the answer to a request or a command
//   <discovery prefix>/<component>/<id>/config  Home Assistant's discovery (retained)
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "config.h"
#include "osl.h"
#include "registry.h"

namespace ostrel::mqtt {

// Where messages go: the broker connection, or a test's list.
class Publisher {
  public:
    virtual ~Publisher() = default;
    virtual bool connected() const = 0;
    // QoS 0; false when it did not go out.
    virtual bool publish(const std::string &topic, const std::string &payload, bool retain) = 0;
};

struct Heard {
    std::string kind;       // "METEO"; an actor whose kind is not known yet: "actor"
    bool announced = false; // an actor's key announcement (the key is never kept here)
    int rssi = 0;
    int64_t last_seen = 0; // seconds since the epoch
};

struct BridgeStats {
    uint64_t records = 0;   // records the radio loop took
    uint64_t states = 0;    // of those, adopted devices' states: published + dropped + kept
    uint64_t published = 0; // device states that went out
    uint64_t dropped = 0;   // device states lost: superseded while the broker was away
};

class Bridge {
  public:
    using Clock = std::function<int64_t()>; // seconds since the epoch

    Bridge(const Config &config, Publisher &out, Registry &store, Clock now);

    // Reads the registry and registers its actors with the library: false
    // (with error) when the registry is bad.
    bool start(std::string &error);
    // Once the library is open: sends each actor the state the home last
    // asked of it.
    void restore();
    // Takes every record and key announcement the library has waiting.
    void drain();
    // The broker accepted the connection: availability, discovery, what was
    // kept while it was away.
    void connected();
    // A message on a subscribed topic.
    void message(const std::string &topic, const std::string &payload);
    // One record the radio loop took.
    void record(const osl_record &rec);
    // One key announcement the radio loop took.
    void announcement(const osl_key_announcement &a);
    // Once a pass: adoption's end, the heard list and the counters.
    void pass();

    // The topics the connection subscribes to.
    std::string request_topic() const { return config_.prefix + "/bridge/request/+"; }
    std::string command_topic() const { return config_.prefix + "/+/set"; }
    std::string ha_status_topic() const { return config_.discovery_prefix + "/status"; }
    std::string availability_topic() const;

    void permit_join(int seconds);
    bool adoption_open() const;
    const BridgeStats &stats() const { return stats_; }
    const std::map<std::string, Adopted> &adopted() const { return reg_.sensors; }
    const std::map<std::string, ActorEntry> &actors() const { return reg_.actors; }
    const std::map<std::string, Heard> &heard() const { return heard_; }

  private:
    bool parse_body(const std::string &payload, nlohmann::json &body, nlohmann::json &answer);
    void request(const std::string &name, const std::string &payload);
    void remove(const std::string &address, nlohmann::json &answer);
    void rename(const std::string &address, const std::string &name, nlohmann::json &answer);
    void command(const std::string &address, const std::string &payload);
    bool register_actor(const std::string &address, ActorEntry &a, std::string &error);
    void adopt_actor(const std::string &address, int type, const std::string &key);
    void restore_one(const std::string &address, const ActorEntry &a);
    void actor_record(const std::string &address, const osl_record &rec);
    void publish_actor_state(const std::string &address, const ActorEntry &a);
    void publish_actor_discovery(const std::string &address);
    void publish_all_discovery();
    void hear(const std::string &address, const std::string &kind, bool announced, int rssi);
    void publish_discovery(const std::string &address, const std::string &kind,
                           const osl_record *rec);
    void publish_board_discovery();
    void publish_heard();
    void publish_stats();
    void respond(const nlohmann::json &answer);
    void adopt(const std::string &address, const std::string &kind);
    void send_state(const std::string &topic, const std::string &payload);
    void publish_config(const std::string &topic, const std::string &payload);
    void publish_field_entities(const std::string &device_id, const std::string &state_topic,
                                const std::vector<std::pair<std::string, std::string>> &fields,
                                const nlohmann::json &dev, int expire, bool all_diagnostic);
    void withdraw_removed();
    void save();
    std::string device_topic(const std::string &address, const std::string &kind) const;

    const Config &config_;
    Publisher &out_;
    Registry &store_;
    Clock now_;
    RegistryData reg_;
    std::map<std::string, Heard> heard_;
    // Addresses whose adoption was refused in this opening of adoption, so
    // that each announcement's repeats do not say it again.
    std::set<std::string> refused_;
    // By device: address and kind.
    std::set<std::string> discovered_;        // discovery went out
    std::map<std::string, std::string> kept_; // state topic -> latest state, broker away
    // The fields of its last record: name, unit.
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> fields_;
    bool configs_dirty_ = false;
    int64_t next_save_ = 0;
    int64_t adoption_until_ = 0;
    int64_t next_heard_ = 0;
    bool heard_changed_ = false;
    int64_t next_stats_ = 0;
    BridgeStats stats_;
};

// The address of a record as 12 hexadecimal digits, upper case.
std::string address_text(const osl_record &rec);
// The same of 6 bytes, most significant first.
std::string address_text(const uint8_t addr[6]);
// A moment as UTC in ISO 8601, "2026-12-10T13:52:38Z".
std::string iso_time(int64_t when);
// A reading in JSON: whole numbers as integers, quotients as they are.
nlohmann::json json_number(double v);

} // namespace ostrel::mqtt
