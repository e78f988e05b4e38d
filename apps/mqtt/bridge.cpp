#include "bridge.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

#include <nlohmann/json.hpp>

namespace ostrel::mqtt {

using nlohmann::json;

namespace {

// How Home Assistant shows each reading: its component, class, unit and
// state class, and whether it is a diagnostic of the device rather than a
// reading of the room.
struct EntityKind {
    const char *field;
    const char *component; // "sensor", "binary_sensor"
    const char *device_class;
    const char *state_class;
    bool diagnostic;
    const char *value_template; // null: {{ value_json.<field> }}
};

constexpr EntityKind ENTITIES[] = {
    {"temperature", "sensor", "temperature", "measurement", false, nullptr},
    {"humidity", "sensor", "humidity", "measurement", false, nullptr},
    {"pm10", "sensor", "pm10", "measurement", false, nullptr},
    {"pm25", "sensor", "pm25", "measurement", false, nullptr},
    {"pm1", "sensor", "pm1", "measurement", false, nullptr},
    // The light byte has no unit: a plain measurement, no class.
    {"light", "sensor", nullptr, "measurement", false, nullptr},
    {"motion", "binary_sensor", "motion", nullptr, false,
     "{{ 'ON' if value_json.motion == 1 else 'OFF' }}"},
    {"flood", "binary_sensor", "moisture", nullptr, false,
     "{{ 'ON' if value_json.flood == 1 else 'OFF' }}"},
    // The device says 1 for closed; Home Assistant's door is on when open.
    {"contact", "binary_sensor", "door", nullptr, false,
     "{{ 'OFF' if value_json.contact == 1 else 'ON' }}"},
    {"voltage", "sensor", "voltage", "measurement", true, nullptr},
    {"rssi", "sensor", "signal_strength", "measurement", true, nullptr},
    {"adc1", "sensor", "voltage", "measurement", true, nullptr},
    {"adc2", "sensor", "voltage", "measurement", true, nullptr},
    {"uptime", "sensor", "duration", "total_increasing", true, nullptr},
    {"interval", "sensor", "duration", nullptr, true, nullptr},
    {"minutes", "sensor", "duration", nullptr, true, nullptr},
    {"firmware", "sensor", nullptr, nullptr, true, nullptr},
    {"flags", "sensor", nullptr, nullptr, true, nullptr},
    {"inputs", "sensor", nullptr, nullptr, true, nullptr},
};

// A button's functions, as its "button" field carries them.
struct ButtonPress {
    int code;
    const char *action; // on <prefix>/<ADDRESS>/action
    const char *type;   // Home Assistant's trigger type
};
constexpr ButtonPress PRESSES[] = {
    {1, "single", "button_short_press"},
    {2, "double", "button_double_press"},
    {3, "hold", "button_long_press"},
};

// Sensors not heard for three of their intervals are shown unavailable;
// without an interval, after a quarter of an hour.
constexpr int EXPIRE_INTERVALS = 3;
constexpr int EXPIRE_MIN_S = 60;
constexpr int EXPIRE_DEFAULT_S = 900;
// The heard list is published at most this often, and holds this many.
constexpr int HEARD_EVERY_S = 5;
constexpr size_t HEARD_MAX = 256;
constexpr int STATS_EVERY_S = 30;
// The list of discovery configs out is written at most this often.
constexpr int CONFIGS_SAVE_EVERY_S = 5;
constexpr int PERMIT_JOIN_MAX_S = 3600;

const EntityKind *entity_of(const std::string &field) {
    for (const EntityKind &e : ENTITIES)
        if (field == e.field)
            return &e;
    return nullptr;
}

std::string iso_time(int64_t when) {
    char text[32];
    const time_t t = static_cast<time_t>(when);
    struct tm utc;
    gmtime_r(&t, &utc);
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// Whole numbers as integers in JSON, quotients as they are.
json number(double v) {
    const auto whole = static_cast<int64_t>(v);
    if (static_cast<double>(whole) == v)
        return whole;
    return v;
}

bool write_all(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

std::string address_text(const osl_record &rec) {
    char text[13];
    for (int i = 0; i < 6; i++)
        snprintf(text + 2 * i, 3, "%02X", rec.addr[i]);
    return text;
}

// --- the adoptions on disk ------------------------------------------------

bool AdoptionStore::load(std::map<std::string, Adopted> &into, std::set<std::string> &discovery,
                         std::string &error) const {
    std::ifstream in(path_);
    if (!in) {
        if (errno == ENOENT)
            return true; // nothing adopted yet
        error = path_ + ": cannot be read: " + strerror(errno);
        return false;
    }
    try {
        const json j = json::parse(in);
        for (const json &d : j.at("devices")) {
            Adopted a;
            a.name = d.value("name", "");
            for (const json &k : d.value("kinds", json::array()))
                a.kinds[k.at("kind").get<std::string>()] = k.value("interval_s", 0);
            into[d.at("address").get<std::string>()] = a;
        }
        for (const json &t : j.value("discovery", json::array()))
            discovery.insert(t.get<std::string>());
    } catch (const json::exception &e) {
        error = path_ + ": not a state file of this bridge: " + e.what();
        return false;
    }
    return true;
}

bool AdoptionStore::save(const std::map<std::string, Adopted> &adopted,
                         const std::set<std::string> &discovery, std::string &error) const {
    json devices = json::array();
    for (const auto &[address, a] : adopted) {
        if (a.from_config)
            continue; // the configuration file holds those
        json kinds = json::array();
        for (const auto &[kind, interval] : a.kinds)
            kinds.push_back({{"kind", kind}, {"interval_s", interval}});
        devices.push_back({{"address", address}, {"name", a.name}, {"kinds", kinds}});
    }
    const std::string text =
        json{{"version", 1}, {"devices", devices}, {"discovery", discovery}}.dump(2) + "\n";
    const std::string tmp = path_ + ".tmp";
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = tmp + ": " + strerror(errno);
        return false;
    }
    const bool written = write_all(fd, text) && fsync(fd) == 0;
    const int saved = errno;
    close(fd);
    if (!written || rename(tmp.c_str(), path_.c_str()) != 0) {
        error = path_ + ": " + strerror(written ? errno : saved);
        unlink(tmp.c_str());
        return false;
    }
    const std::string folder = path_.find('/') == std::string::npos
                                   ? std::string(".")
                                   : path_.substr(0, path_.rfind('/') + 1);
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}

// --- the bridge -------------------------------------------------------------

Bridge::Bridge(const Config &config, Publisher &out, AdoptionStore &store, Clock now)
    : config_(config), out_(out), store_(store), now_(std::move(now)) {}

std::string Bridge::availability_topic() const {
    return config_.prefix + "/bridge/" + config_.board + "/state";
}

bool Bridge::start(std::string &error) {
    if (!store_.load(adopted_, configs_, error))
        return false;
    for (const SensorEntry &s : config_.sensors) {
        Adopted &a = adopted_[s.address];
        a.from_config = true;
        if (!s.name.empty())
            a.name = s.name;
    }
    return true;
}

void Bridge::connected() {
    out_.publish(availability_topic(), "online", true);
    publish_board_discovery();
    discovered_.clear();
    for (const auto &[address, device] : adopted_)
        for (const auto &[kind, interval] : device.kinds)
            publish_discovery(address, kind, nullptr);
    withdraw_removed();
    // The latest state of each device kept while the broker was away.
    for (const auto &[topic, payload] : kept_)
        if (out_.publish(topic, payload, false))
            stats_.published++;
    kept_.clear();
    heard_changed_ = true;
    publish_stats();
}

bool Bridge::adoption_open() const {
    return now_() < adoption_until_;
}

void Bridge::permit_join(int seconds) {
    adoption_until_ = seconds > 0 ? now_() + seconds : 0;
}

void Bridge::respond(const json &answer) {
    out_.publish(config_.prefix + "/bridge/response", answer.dump(), false);
}

void Bridge::message(const std::string &topic, const std::string &payload) {
    if (topic == ha_status_topic()) {
        if (payload == "online") {
            discovered_.clear();
            publish_board_discovery();
            for (const auto &[address, device] : adopted_)
                for (const auto &[kind, interval] : device.kinds)
                    publish_discovery(address, kind, nullptr);
        }
        return;
    }
    const std::string requests = config_.prefix + "/bridge/request/";
    if (topic.rfind(requests, 0) != 0)
        return;
    const std::string request = topic.substr(requests.size());
    json answer = {{"request", request}};
    json body;
    try {
        body = json::parse(payload);
    } catch (const json::exception &) {
        answer["status"] = "error";
        answer["error"] = "the payload is not JSON";
        respond(answer);
        return;
    }
    if (body.is_object() && body.contains("transaction"))
        answer["transaction"] = body["transaction"];
    if (request != "permit_join") {
        answer["status"] = "error";
        answer["error"] = "no such request (known: permit_join)";
        respond(answer);
        return;
    }
    // {"time": seconds}, or the bare number of seconds.
    const json *time = body.is_object() && body.contains("time") ? &body["time"] : &body;
    if (!time->is_number_integer() || time->get<int64_t>() < 0 ||
        time->get<int64_t>() > PERMIT_JOIN_MAX_S) {
        answer["status"] = "error";
        answer["error"] =
            "time must be a whole number of seconds from 0 to " + std::to_string(PERMIT_JOIN_MAX_S);
        respond(answer);
        return;
    }
    permit_join(static_cast<int>(time->get<int64_t>()));
    answer["status"] = "ok";
    answer["time"] = time->get<int64_t>();
    respond(answer);
}

void Bridge::adopt(const std::string &address, const std::string &kind) {
    Adopted &a = adopted_[address];
    a.kinds.emplace(kind, 0);
    heard_.erase(address);
    heard_changed_ = true;
    save();
}

void Bridge::save() {
    configs_dirty_ = false;
    std::string error;
    if (!store_.save(adopted_, configs_, error))
        fprintf(stderr, "ostrel_mqtt: the state file was not written: %s\n", error.c_str());
}

// The list of configs is written later, with others (pass()): a save syncs
// the disk, and a new device publishes a dozen configs at once.
void Bridge::publish_config(const std::string &topic, const std::string &payload) {
    if (out_.publish(topic, payload, true) && configs_.insert(topic).second)
        configs_dirty_ = true;
}

// A device no longer adopted (taken out of the configuration) has its
// entities taken back: an empty retained config deletes each.
void Bridge::withdraw_removed() {
    bool changed = false;
    for (auto it = configs_.begin(); it != configs_.end();) {
        const size_t at = it->find("/ostrel_");
        const std::string address = at == std::string::npos ? "" : it->substr(at + 8, 12);
        if (adopted_.count(address) != 0 || address.size() != 12) {
            ++it;
            continue;
        }
        if (!out_.publish(*it, "", true))
            return; // the broker left: at the next connection
        it = configs_.erase(it);
        changed = true;
    }
    if (changed)
        save();
}

std::string Bridge::device_topic(const std::string &address, const std::string &kind) const {
    std::string lower = kind;
    for (char &c : lower)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return config_.prefix + "/" + address + "/" + lower;
}

void Bridge::send_state(const std::string &topic, const std::string &payload) {
    stats_.states++;
    if (out_.connected() && out_.publish(topic, payload, false)) {
        stats_.published++;
        return;
    }
    // One per device while the broker is away: a newer state replaces the older.
    auto [it, fresh] = kept_.insert_or_assign(topic, payload);
    (void)it;
    if (!fresh)
        stats_.dropped++;
}

void Bridge::record(const osl_record &rec) {
    stats_.records++;
    const int type = osl_record_type(&rec);
    const char *kind_name = osl_device_kind_name(type);
    if (kind_name == nullptr)
        return;
    const std::string kind = kind_name;
    // Actors are the next step's; only sensors are published here.
    if (type == OSL_DEV_RELAY || type == OSL_DEV_DIMMER || type == OSL_DEV_PWM)
        return;
    const std::string address = address_text(rec);
    osl_field fields[OSL_FIELDS_MAX];
    const int n = osl_record_fields(&rec, fields, OSL_FIELDS_MAX);
    if (n < 0)
        return;

    auto found = adopted_.find(address);
    if (found == adopted_.end()) {
        if (!adoption_open()) {
            Heard &h = heard_[address];
            h.kind = kind;
            h.rssi = rec.rssi;
            h.last_seen = now_();
            heard_changed_ = true;
            if (heard_.size() > HEARD_MAX) { // forget the longest unheard
                auto oldest = heard_.begin();
                for (auto it = heard_.begin(); it != heard_.end(); ++it)
                    if (it->second.last_seen < oldest->second.last_seen)
                        oldest = it;
                heard_.erase(oldest);
            }
            return;
        }
        adopt(address, kind);
        found = adopted_.find(address);
    }
    Adopted &device = found->second;
    const std::string topic = device_topic(address, kind);
    bool changed = device.kinds.count(kind) == 0;
    int &interval = device.kinds[kind];
    json state = {{"kind", kind}, {"board", config_.board}, {"time", iso_time(now_())}};
    for (int i = 0; i < n && i < OSL_FIELDS_MAX; i++) {
        state[fields[i].name] = number(fields[i].value);
        if (std::strcmp(fields[i].name, "interval") == 0 &&
            static_cast<int>(fields[i].value) != interval) {
            interval = static_cast<int>(fields[i].value);
            changed = true;
        }
    }
    if (changed || discovered_.count(topic) == 0)
        publish_discovery(address, kind, &rec);
    // A press is an event: published once, on its own topic.
    if (type == OSL_DEV_BUTTON) {
        const int code = state.value("button", 0);
        for (const ButtonPress &p : PRESSES)
            if (p.code == code && out_.connected())
                out_.publish(topic + "/action", p.action, false);
    }
    send_state(topic + "/state", state.dump());
}

void Bridge::publish_discovery(const std::string &address, const std::string &kind,
                               const osl_record *rec) {
    if (!out_.connected())
        return; // sent on connection
    const Adopted &device = adopted_.at(address);
    const std::string topic = device_topic(address, kind);
    const std::string device_id = "ostrel_" + address + "_" + topic.substr(topic.rfind('/') + 1);
    const std::string state_topic = topic + "/state";
    json dev = {
        {"identifiers", {device_id}},
        {"name", device.name.empty() ? kind + " " + address : device.name + " (" + kind + ")"},
        {"manufacturer", "Ostrel"},
        {"model", kind},
        {"via_device", "ostrel_bridge_" + config_.board}};
    const auto known = device.kinds.find(kind);
    const int interval_s = known != device.kinds.end() ? known->second : 0;
    const int expire =
        interval_s > 0 ? std::max(EXPIRE_MIN_S, EXPIRE_INTERVALS * interval_s) : EXPIRE_DEFAULT_S;
    // The fields of the family, from a record of it (this one, or the last).
    std::vector<std::pair<std::string, std::string>> &fields = fields_[topic]; // name, unit
    if (rec != nullptr) {
        osl_field f[OSL_FIELDS_MAX];
        const int n = osl_record_fields(rec, f, OSL_FIELDS_MAX);
        fields.clear();
        for (int i = 0; i < n && i < OSL_FIELDS_MAX; i++)
            fields.emplace_back(f[i].name, f[i].unit != nullptr ? f[i].unit : "");
    }
    if (fields.empty())
        return; // not heard since the bridge started: at the first record
    for (const auto &[name, unit] : fields) {
        if (name == "button") {
            for (const ButtonPress &p : PRESSES) {
                json trigger = {{"automation_type", "trigger"}, {"type", p.type},
                                {"subtype", "button_1"},        {"topic", topic + "/action"},
                                {"payload", p.action},          {"device", dev}};
                publish_config(config_.discovery_prefix + "/device_automation/" + device_id + "_" +
                                   p.action + "/config",
                               trigger.dump());
            }
            continue;
        }
        const EntityKind *e = entity_of(name);
        if (e == nullptr)
            continue;
        const std::string unique = device_id + "_" + name;
        json c = {{"unique_id", unique},
                  {"object_id", unique},
                  {"name", name},
                  {"state_topic", state_topic},
                  {"availability", {{{"topic", availability_topic()}}}},
                  {"expire_after", expire},
                  {"device", dev}};
        c["value_template"] =
            e->value_template != nullptr ? e->value_template : "{{ value_json." + name + " }}";
        if (e->device_class != nullptr)
            c["device_class"] = e->device_class;
        if (e->state_class != nullptr)
            c["state_class"] = e->state_class;
        if (!unit.empty() && std::string(e->component) == "sensor")
            c["unit_of_measurement"] = unit;
        if (e->diagnostic)
            c["entity_category"] = "diagnostic";
        publish_config(config_.discovery_prefix + "/" + e->component + "/" + unique + "/config",
                       c.dump());
    }
    discovered_.insert(topic);
}

void Bridge::publish_board_discovery() {
    const std::string id = "ostrel_bridge_" + config_.board;
    const std::string topic = config_.prefix + "/bridge/" + config_.board + "/stats";
    json dev = {{"identifiers", {id}},
                {"name", "Ostrel kit " + config_.board},
                {"manufacturer", "Ostrel"},
                {"model", "ostrel_mqtt"}};
    struct Counter {
        const char *field;
        const char *state_class;
        const char *unit;
    };
    constexpr Counter counters[] = {{"records", "total_increasing", nullptr},
                                    {"published", "total_increasing", nullptr},
                                    {"dropped", "total_increasing", nullptr},
                                    {"recoveries", "total_increasing", nullptr},
                                    {"load", "measurement", "%"}};
    for (const Counter &k : counters) {
        const std::string unique = id + "_" + k.field;
        json c = {{"unique_id", unique},
                  {"object_id", unique},
                  {"name", k.field},
                  {"state_topic", topic},
                  {"value_template", std::string("{{ value_json.") + k.field + " }}"},
                  {"state_class", k.state_class},
                  {"entity_category", "diagnostic"},
                  {"availability", {{{"topic", availability_topic()}}}},
                  {"device", dev}};
        if (k.unit != nullptr)
            c["unit_of_measurement"] = k.unit;
        out_.publish(config_.discovery_prefix + "/sensor/" + unique + "/config", c.dump(), true);
    }
}

void Bridge::publish_heard() {
    json list = json::array();
    for (const auto &[address, h] : heard_)
        list.push_back({{"address", address},
                        {"kind", h.kind},
                        {"rssi", h.rssi},
                        {"last_seen", iso_time(h.last_seen)}});
    if (out_.publish(config_.prefix + "/bridge/heard", list.dump(), true))
        heard_changed_ = false;
}

void Bridge::publish_stats() {
    osl_link_status link;
    osl_link_get_status(&link);
    const json s = {{"records", stats_.records},
                    {"states", stats_.states},
                    {"published", stats_.published},
                    {"heard", heard_.size()},
                    {"dropped", stats_.dropped},
                    {"recoveries", link.recoveries},
                    {"load", osl_lib_get_load(nullptr, nullptr)},
                    {"link", link.state == OSL_LINK_UP ? "up" : "down"},
                    {"adoption_open", adoption_open()}};
    out_.publish(config_.prefix + "/bridge/" + config_.board + "/stats", s.dump(), false);
}

void Bridge::pass() {
    const int64_t now = now_();
    if (configs_dirty_ && now >= next_save_) {
        save();
        next_save_ = now + CONFIGS_SAVE_EVERY_S;
    }
    if (!out_.connected())
        return;
    if (heard_changed_ && now >= next_heard_) {
        publish_heard();
        next_heard_ = now + HEARD_EVERY_S;
    }
    if (now >= next_stats_) {
        publish_stats();
        next_stats_ = now + STATS_EVERY_S;
    }
}

} // namespace ostrel::mqtt
