// The bridge between the kit and an MQTT broker, apart from the broker
// connection itself: what to publish for each record, Home Assistant's
// discovery, adoption of sensors, the list of sensors heard, and what is
// kept while the broker is away.
//
// Topics (prefix "ostrel" by default; several boards may share a broker):
//   <prefix>/<ADDRESS>/<kind>/state           a device's readings (JSON), not retained
//   <prefix>/<ADDRESS>/button/action          a button's press: "single", "double", "hold"
//   <prefix>/bridge/<board>/state             "online" / "offline" (retained, last will)
//   <prefix>/bridge/<board>/stats             the board's counters (JSON)
//   <prefix>/bridge/heard                     sensors heard but not adopted (retained)
//   <prefix>/bridge/request/permit_join       {"time": seconds} opens adoption
//   <prefix>/bridge/response                  the answer to a request
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

namespace ostrel::mqtt {

// Where messages go: the broker connection, or a test's list.
class Publisher {
  public:
    virtual ~Publisher() = default;
    virtual bool connected() const = 0;
    // QoS 0; false when it did not go out.
    virtual bool publish(const std::string &topic, const std::string &payload, bool retain) = 0;
};

// An adopted address: configured, or heard while adoption was open. One
// address may carry several of the kit's devices (the weather board sends
// METEO, MOTION and BUTTON frames): each kind heard from it is a device of
// its own in Home Assistant, with a state topic of its own, so that no
// entity ever shows another family's reading of the same name.
struct Adopted {
    std::string name;
    bool from_config = false;
    std::map<std::string, int> kinds; // kind heard ("METEO") -> its reporting interval, s
};

struct Heard {
    std::string kind;
    int rssi = 0;
    int64_t last_seen = 0; // seconds since the epoch
};

struct BridgeStats {
    uint64_t records = 0;   // records the radio loop took
    uint64_t states = 0;    // of those, adopted devices' states: published + dropped + kept
    uint64_t published = 0; // device states that went out
    uint64_t dropped = 0;   // device states lost: superseded while the broker was away
};

// Reads and writes the adoptions (the state file), atomically.
class AdoptionStore {
  public:
    explicit AdoptionStore(std::string path) : path_(std::move(path)) {}
    // false with `error` set when the file exists but cannot be read or parsed.
    // `discovery`: the discovery configs published for devices, so that those
    // of a device no longer adopted can be taken back.
    bool load(std::map<std::string, Adopted> &into, std::set<std::string> &discovery,
              std::string &error) const;
    // Writes a temporary file, syncs it, renames it over the old one and
    // syncs the folder: a crash leaves the old file or the new, never a torn one.
    bool save(const std::map<std::string, Adopted> &adopted, const std::set<std::string> &discovery,
              std::string &error) const;

  private:
    std::string path_;
};

class Bridge {
  public:
    using Clock = std::function<int64_t()>; // seconds since the epoch

    Bridge(const Config &config, Publisher &out, AdoptionStore &store, Clock now);

    // Reads the adoptions: false (with error) when the state file is bad.
    bool start(std::string &error);
    // The broker accepted the connection: availability, discovery, what was
    // kept while it was away.
    void connected();
    // A message on a subscribed topic.
    void message(const std::string &topic, const std::string &payload);
    // One record the radio loop took.
    void record(const osl_record &rec);
    // Once a pass: adoption's end, the heard list and the counters.
    void pass();

    // The topics the connection subscribes to.
    std::string request_topic() const { return config_.prefix + "/bridge/request/+"; }
    std::string ha_status_topic() const { return config_.discovery_prefix + "/status"; }
    std::string availability_topic() const;

    void permit_join(int seconds);
    bool adoption_open() const;
    const BridgeStats &stats() const { return stats_; }
    const std::map<std::string, Adopted> &adopted() const { return adopted_; }
    const std::map<std::string, Heard> &heard() const { return heard_; }

  private:
    void publish_discovery(const std::string &address, const std::string &kind,
                           const osl_record *rec);
    void publish_board_discovery();
    void publish_heard();
    void publish_stats();
    void respond(const nlohmann::json &answer);
    void adopt(const std::string &address, const std::string &kind);
    void send_state(const std::string &topic, const std::string &payload);
    void publish_config(const std::string &topic, const std::string &payload);
    void withdraw_removed();
    void save();
    std::string device_topic(const std::string &address, const std::string &kind) const;

    const Config &config_;
    Publisher &out_;
    AdoptionStore &store_;
    Clock now_;
    std::map<std::string, Adopted> adopted_;
    std::map<std::string, Heard> heard_;
    // By device: address and kind.
    std::set<std::string> discovered_;        // discovery went out
    std::map<std::string, std::string> kept_; // state topic -> latest state, broker away
    // The fields of its last record: name, unit.
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> fields_;
    std::set<std::string> configs_; // discovery configs out for devices (kept in the state file)
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

} // namespace ostrel::mqtt
