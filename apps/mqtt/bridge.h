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
//   <prefix>/bridge/<board>/instance          the running bridge's token (retained)
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
#include <string_view>
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
    uint64_t records = 0;       // records the radio loop took
    uint64_t states = 0;        // of those, adopted devices' states: published + dropped + kept
    uint64_t published = 0;     // device states that went out
    uint64_t dropped = 0;       // device states lost: superseded while the broker was away
    uint64_t save_failures = 0; // attempts to write the registry that failed
};

// What the bridge takes of a message before it looks inside: the largest
// legitimate one (a rename with a 64-character name and a transaction) is
// a few hundred bytes, and none nests deeper than a colour in a command.
inline constexpr size_t MESSAGE_MAX_BYTES = 4096;
inline constexpr int MESSAGE_MAX_DEPTH = 8;
// A transaction is echoed in the answer; anything longer is refused.
inline constexpr size_t TRANSACTION_MAX_CHARS = 64;

class Bridge {
  public:
    using Clock = std::function<int64_t()>; // seconds since the epoch

    Bridge(const Config &config, Publisher &out, Registry &store, Clock now);
    ~Bridge();
    Bridge(const Bridge &) = delete;
    Bridge &operator=(const Bridge &) = delete;

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
    // A message on a subscribed topic; `retained` when the broker replays it
    // from its store (a request or a command is never taken from there).
    void message(const std::string &topic, std::string_view payload, bool retained = false);
    // One record the radio loop took.
    void record(const osl_record &rec);
    // One key announcement the radio loop took.
    void announcement(const osl_key_announcement &a);
    // Once a pass, after the messages: the registry written if anything
    // changed, the actors' new wanted states sent (one send per actor, however
    // many commands asked for it), the answers that waited for both, then
    // adoption's end, the heard list and the counters. `messages_waiting`:
    // the connection left messages for the next pass; commands then wait for
    // them (a few passes at most), so that a burst goes on the air once.
    void pass(bool messages_waiting = false);

    // The topics the connection subscribes to.
    std::string request_topic() const { return config_.prefix + "/bridge/request/+"; }
    std::string command_topic() const { return config_.prefix + "/+/set"; }
    std::string ha_status_topic() const { return config_.discovery_prefix + "/status"; }
    std::string availability_topic() const;
    // Where a run of the bridge claims its board's name (retained).
    std::string claim_topic() const {
        return config_.prefix + "/bridge/" + config_.board + "/instance";
    }

    void permit_join(int seconds);
    bool adoption_open() const;
    const BridgeStats &stats() const { return stats_; }
    const std::map<std::string, Adopted> &adopted() const { return reg_.sensors; }
    const std::map<std::string, ActorEntry> &actors() const { return reg_.actors; }
    const std::map<std::string, Heard> &heard() const { return heard_; }

  private:
    // An answer that waits for the end of the pass (bridge.cpp).
    struct Waiting;

    bool parse_body(std::string_view payload, nlohmann::json &body, nlohmann::json &answer);
    void request(const std::string &name, std::string_view payload);
    bool remove(const std::string &address, nlohmann::json &answer);
    bool rename(const std::string &address, const std::string &name, nlohmann::json &answer);
    void command(const std::string &address, std::string_view payload);
    std::map<std::string, int> send_commands();
    int send_wanted(const std::string &address, ActorEntry &a);
    void settle(bool messages_waiting);
    // Answers once the pass settles: after the registry is written and, when
    // `sent_to` names an actor, after its send; only an error when not `always`.
    void answer_later(const nlohmann::json &answer, const std::string &sent_to, bool always);
    bool register_actor(const std::string &address, ActorEntry &a, std::string &error);
    void adopt_actor(const std::string &address, int type, const std::string &key);
    bool unpair_reset(const std::string &address, int type, ActorEntry &next);
    void refuse_pairing(const std::string &address, nlohmann::json answer, const std::string &why,
                        const std::string &line);
    void restore_one(const std::string &address, ActorEntry &a);
    void actor_record(const std::string &address, const osl_record &rec);
    Adopted *adopted_sensor(const std::string &address, const std::string &kind, int rssi);
    void sensor_record(const std::string &address, const std::string &kind, const osl_record &rec,
                       const osl_field *fields, int n, Adopted &device);
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
    void changed() { dirty_ = true; }
    bool save();
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
    // The registry differs from the file: written at the end of the pass.
    bool dirty_ = false;
    // The last write failed: why, and when it is tried again.
    std::string save_error_;
    int64_t retry_save_ = 0;
    std::vector<Waiting> waiting_;
    std::set<std::string> to_send_;       // actors whose wanted state changed
    int held_passes_ = 0;                 // passes the sends waited for more messages
    std::set<std::string> retained_said_; // topics whose retained message was reported
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
// The entity id Home Assistant gives an entity when it first creates it:
// "sensor.ostrel_111111111111_meteo_temperature".
std::string default_entity_id(const std::string &component, const std::string &unique_id);
// A moment as UTC in ISO 8601, "2026-12-10T13:52:38Z".
std::string iso_time(int64_t when);
// A reading in JSON: whole numbers as integers, quotients as they are.
nlohmann::json json_number(double v);

} // namespace ostrel::mqtt
