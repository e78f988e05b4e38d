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
// A registry that could not be written is tried again this often (and at
// once for a change someone waits an answer for).
constexpr int SAVE_RETRY_S = 5;
// While messages keep coming, commands wait for the rest of the burst at
// most this many passes: only the latest state of each actor goes on the air.
constexpr int HOLD_PASSES_MAX = 20;
// ... and while fewer answers than this wait: what a burst holds in memory
// stays small.
constexpr size_t HOLD_ANSWERS_MAX = 2000;
// Topics whose ignored retained message was reported, at most.
constexpr size_t RETAINED_SAID_MAX = 64;
// Text from the broker (a topic, a request's name) that an answer or a log
// line repeats: at most this long, and shown only when plainly printable.
constexpr size_t SHOWN_MAX = 64;

const EntityKind *entity_of(const std::string &field) {
    for (const EntityKind &e : ENTITIES)
        if (field == e.field)
            return &e;
    return nullptr;
}

bool plainly_printable(const std::string &text) {
    for (char c : text)
        if (c < 0x20 || c > 0x7E)
            return false;
    return true;
}

// Outside text as an answer or a log line may repeat it: never long, never
// a terminal's escape or a line end.
std::string shown(const std::string &text) {
    return text.size() <= SHOWN_MAX && plainly_printable(text) ? text : "(not shown)";
}

// The JSON of a message, refused before it can cost much: too large, with
// a NUL (the parser would take it for the end and drop what follows),
// nested too deep (the answer's echo is written recursively), anything
// after the JSON text.
bool read_json(std::string_view text, json &out, std::string &why) {
    if (text.size() > MESSAGE_MAX_BYTES) {
        why = "the payload is larger than " + std::to_string(MESSAGE_MAX_BYTES) + " bytes";
        return false;
    }
    if (text.find('\0') != std::string_view::npos) {
        why = "the payload is not JSON";
        return false;
    }
    struct TooDeep {};
    try {
        out = json::parse(text.begin(), text.end(), [](int depth, json::parse_event_t, json &) {
            if (depth > MESSAGE_MAX_DEPTH)
                throw TooDeep{};
            return true;
        });
    } catch (const TooDeep &) {
        why = "the payload nests deeper than " + std::to_string(MESSAGE_MAX_DEPTH) + " levels";
        return false;
    } catch (const json::exception &) {
        why = "the payload is not JSON";
        return false;
    }
    return true;
}

} // namespace

std::string iso_time(int64_t when) {
    char text[32];
    const time_t t = static_cast<time_t>(when);
    struct tm utc;
    gmtime_r(&t, &utc);
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// Whole numbers as integers in JSON, quotients as they are.
json json_number(double v) {
    const auto whole = static_cast<int64_t>(v);
    if (static_cast<double>(whole) == v)
        return whole;
    return v;
}

// Home Assistant takes the entity id it first gives an entity from here
// (its own "object_id" is ignored since 2026.4), and only with the platform
// in front: a bare id is refused and the entity named "unnamed_device".
std::string default_entity_id(const std::string &component, const std::string &unique_id) {
    return component + "." + unique_id;
}

std::string address_text(const uint8_t addr[6]) {
    return hex_text(addr, 6);
}

std::string address_text(const osl_record &rec) {
    return address_text(rec.addr);
}

// --- the bridge -------------------------------------------------------------

// An answer that waits for the end of the pass: for the registry to be
// written (a change the home must find again after a restart), and for an
// actor's send.
struct Bridge::Waiting {
    json answer;
    std::string sent_to; // the actor whose send it waits for; "" for none
    bool always = true;  // false: only an error is answered (a set without transaction)
};

Bridge::Bridge(const Config &config, Publisher &out, Registry &store, Clock now)
    : config_(config), out_(out), store_(store), now_(std::move(now)) {}

Bridge::~Bridge() = default;

void Bridge::answer_later(const json &answer, const std::string &sent_to, bool always) {
    waiting_.push_back({answer, sent_to, always});
}

std::string Bridge::availability_topic() const {
    return config_.prefix + "/bridge/" + config_.board + "/state";
}

bool Bridge::start(std::string &error) {
    if (!store_.load(reg_, error))
        return false;
    for (const SensorEntry &s : config_.sensors) {
        Adopted &a = reg_.sensors[s.address];
        a.from_config = true;
        if (!s.name.empty())
            a.name = s.name;
    }
    // A configured actor takes its kind, name and key from the file; what
    // the home last asked of it comes from the registry.
    for (const ActorConfig &c : config_.actors) {
        ActorEntry &a = reg_.actors[c.address];
        if (a.type != c.type)
            a = ActorEntry{};
        a.type = c.type;
        a.name = c.name;
        a.key = c.key;
        a.from_config = true;
        reg_.sensors.erase(c.address);
    }
    // An actor that was configured and is no longer: forgotten with its
    // entities, as a sensor taken out of the file is.
    std::erase_if(reg_.actors, [](const auto &entry) {
        return entry.second.from_config && entry.second.key.empty();
    });
    // More actors of a kind than the library holds (the file's and the
    // paired ones together): the others still run; the one left out is
    // named, and its commands are answered with why.
    for (auto &[address, a] : reg_.actors) {
        std::string refused;
        if (!register_actor(address, a, refused))
            fprintf(stderr, "ostrel_mqtt: %s\n", refused.c_str());
    }
    return true;
}

void Bridge::publish_all_discovery() {
    discovered_.clear();
    publish_board_discovery();
    for (const auto &[address, device] : reg_.sensors)
        for (const auto &[kind, interval] : device.kinds)
            publish_discovery(address, kind, nullptr);
    for (const auto &[address, a] : reg_.actors)
        publish_actor_discovery(address);
}

void Bridge::connected() {
    out_.publish(availability_topic(), "online", true);
    publish_all_discovery();
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
    refused_.clear();
}

void Bridge::respond(const json &answer) {
    // A text that is not UTF-8 never stops an answer: it is shown replaced.
    out_.publish(config_.prefix + "/bridge/response",
                 answer.dump(-1, ' ', false, json::error_handler_t::replace), false);
}

void Bridge::message(const std::string &topic, std::string_view payload, bool retained) {
    if (topic == ha_status_topic()) {
        if (payload == "online")
            publish_all_discovery();
        return;
    }
    const std::string requests = config_.prefix + "/bridge/request/";
    const bool is_request = topic.rfind(requests, 0) == 0;
    // <prefix>/<ADDRESS>/set
    const std::string head = config_.prefix + "/";
    const std::string tail = "/set";
    const bool is_command = !is_request && topic.size() > head.size() + tail.size() &&
                            topic.rfind(head, 0) == 0 &&
                            topic.compare(topic.size() - tail.size(), tail.size(), tail) == 0;
    if (!is_request && !is_command)
        return;
    // A request or a command left retained on the broker would be carried
    // out again at every start and reconnection (adoption opened unasked,
    // a light switched on at each restart): only live ones count.
    if (retained) {
        if (retained_said_.size() < RETAINED_SAID_MAX && retained_said_.insert(topic).second)
            fprintf(stderr,
                    "ostrel_mqtt: a retained message on %s was ignored: requests and commands "
                    "count only as they are sent (an empty retained message clears it)\n",
                    shown(topic).c_str());
        return;
    }
    try {
        if (is_request)
            request(topic.substr(requests.size()), payload);
        else
            command(topic.substr(head.size(), topic.size() - head.size() - tail.size()), payload);
    } catch (const std::bad_alloc &) {
        throw; // the program ends, saying so
    } catch (const std::exception &e) {
        fprintf(stderr, "ostrel_mqtt: a message on %s was dropped: %s\n", shown(topic).c_str(),
                e.what());
    }
}

// A request's or a command's JSON, its transaction copied to the answer;
// false (and the answer sent, repeating nothing of the payload) when it is
// refused.
bool Bridge::parse_body(std::string_view payload, json &body, json &answer) {
    std::string why;
    if (!read_json(payload, body, why)) {
        answer["status"] = "error";
        answer["error"] = why;
        respond(answer);
        return false;
    }
    if (body.is_object() && body.contains("transaction")) {
        const json &t = body["transaction"];
        if (!t.is_number() &&
            !(t.is_string() && t.get_ref<const std::string &>().size() <= TRANSACTION_MAX_CHARS)) {
            answer["status"] = "error";
            answer["error"] = "transaction must be a number or a text of at most " +
                              std::to_string(TRANSACTION_MAX_CHARS) + " bytes";
            respond(answer);
            return false;
        }
        answer["transaction"] = t;
    }
    return true;
}

void Bridge::request(const std::string &name, std::string_view payload) {
    json answer = {{"request", shown(name)}};
    json body;
    if (!parse_body(payload, body, answer))
        return;
    auto refuse = [&](const std::string &why) {
        answer["status"] = "error";
        answer["error"] = why;
        respond(answer);
    };
    if (name == "remove" || name == "rename") {
        const json *address =
            body.is_object() && body.contains("address") ? &body["address"] : nullptr;
        if (address == nullptr || !address->is_string() || !is_address(address->get<std::string>()))
            return refuse("address must be 12 hexadecimal digits");
        bool done = false;
        if (name == "remove") {
            done = remove(upper(address->get<std::string>()), answer);
        } else {
            const json *text = body.contains("name") ? &body["name"] : nullptr;
            if (text == nullptr || !text->is_string())
                return refuse("name must be a text");
            std::string why;
            if (!is_name(text->get<std::string>(), why))
                return refuse(why);
            done = rename(upper(address->get<std::string>()), text->get<std::string>(), answer);
        }
        // Answered once the registry holds it: at the end of the pass.
        if (done)
            answer_later(answer, "", true);
        else
            respond(answer);
        return;
    }
    if (name != "permit_join")
        return refuse("no such request (known: permit_join, remove, rename)");
    // {"time": seconds}, or the bare number of seconds.
    const json *time = body.is_object() && body.contains("time") ? &body["time"] : &body;
    if (!time->is_number_integer() || time->get<int64_t>() < 0 ||
        time->get<int64_t>() > PERMIT_JOIN_MAX_S)
        return refuse("time must be a whole number of seconds from 0 to " +
                      std::to_string(PERMIT_JOIN_MAX_S));
    permit_join(static_cast<int>(time->get<int64_t>()));
    answer["status"] = "ok";
    answer["time"] = time->get<int64_t>();
    respond(answer);
}

void Bridge::adopt(const std::string &address, const std::string &kind) {
    Adopted &a = reg_.sensors[address];
    a.kinds.emplace(kind, 0);
    heard_.erase(address);
    heard_changed_ = true;
    printf("ostrel_mqtt: adopted %s %s\n", kind.c_str(), address.c_str());
    changed();
}

// Writes the registry: false when it failed, the reason kept for the
// answers and said once, not at every attempt.
bool Bridge::save() {
    std::string error;
    if (store_.save(reg_, error)) {
        if (!save_error_.empty())
            fprintf(stderr, "ostrel_mqtt: the state file is written again\n");
        save_error_.clear();
        dirty_ = false;
        configs_dirty_ = false;
        return true;
    }
    stats_.save_failures++;
    if (error != save_error_)
        fprintf(stderr,
                "ostrel_mqtt: the state file was not written: %s; trying again every %d s\n",
                error.c_str(), SAVE_RETRY_S);
    save_error_ = error;
    retry_save_ = now_() + SAVE_RETRY_S;
    dirty_ = true; // what is not on disk yet is kept, and written later
    return false;
}

// The end of a pass's messages: the registry written once, each actor's
// latest wanted state sent once, then the answers.
void Bridge::settle(bool messages_waiting) {
    if (messages_waiting && !to_send_.empty() && held_passes_ < HOLD_PASSES_MAX &&
        waiting_.size() < HOLD_ANSWERS_MAX) {
        held_passes_++;
        return;
    }
    held_passes_ = 0;
    const int64_t now = now_();
    if (dirty_ && (!waiting_.empty() || save_error_.empty() || now >= retry_save_)) {
        save();
    } else if (!dirty_ && configs_dirty_ && now >= next_save_) {
        save();
        next_save_ = now + CONFIGS_SAVE_EVERY_S;
    }
    const std::map<std::string, int> sent = send_commands();
    for (Waiting &w : waiting_) {
        json &answer = w.answer;
        std::string error;
        if (!w.sent_to.empty()) {
            const auto result = sent.find(w.sent_to);
            if (result == sent.end()) {
                error = "the actor was removed before the command went out";
            } else if (result->second != 0) {
                const char *why = osl_result_text(OSL_OP_SEND, result->second);
                error = std::string("the command did not go out (") +
                        (why != nullptr ? why : "code " + std::to_string(result->second)) +
                        "); it goes again at the actor's next report";
            }
        }
        if (error.empty() && dirty_)
            error =
                "the state file was not written (" + save_error_ +
                "): the change holds until the bridge stops, and is written as soon as it can be";
        if (!error.empty()) {
            answer["status"] = "error";
            answer["error"] = error;
            respond(answer);
        } else if (w.always) {
            answer["status"] = "ok";
            respond(answer);
        }
    }
    waiting_.clear();
}

// The list of configs is written later, with others (pass()): a save syncs
// the disk, and a new device publishes a dozen configs at once.
void Bridge::publish_config(const std::string &topic, const std::string &payload) {
    if (out_.publish(topic, payload, true) && reg_.discovery.insert(topic).second)
        configs_dirty_ = true;
}

// A device no longer adopted (taken out of the configuration) has its
// entities taken back: an empty retained config deletes each.
void Bridge::withdraw_removed() {
    bool withdrawn = false;
    for (auto it = reg_.discovery.begin(); it != reg_.discovery.end();) {
        const size_t at = it->find("/ostrel_");
        const std::string address = at == std::string::npos ? "" : it->substr(at + 8, 12);
        if (reg_.sensors.count(address) != 0 || reg_.actors.count(address) != 0 ||
            address.size() != 12) {
            ++it;
            continue;
        }
        if (!out_.publish(*it, "", true))
            return; // the broker left: at the next connection
        it = reg_.discovery.erase(it);
        withdrawn = true;
    }
    if (withdrawn)
        changed();
}

std::string Bridge::device_topic(const std::string &address, const std::string &kind) const {
    return config_.prefix + "/" + address + "/" + lower(kind);
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
    const std::string address = address_text(rec);
    // The library queues the frames of registered actors only: the
    // bridge's own.
    if (actor_kind_name(type) != nullptr) {
        actor_record(address, rec);
        return;
    }
    osl_field fields[OSL_FIELDS_MAX];
    const int n = osl_record_fields(&rec, fields, OSL_FIELDS_MAX);
    if (n < 0)
        return;
    if (Adopted *device = adopted_sensor(address, kind_name, rec.rssi))
        sensor_record(address, kind_name, rec, fields, std::min(n, OSL_FIELDS_MAX), *device);
}

// The adopted sensor at the address, adopted now while adoption is open;
// null when it is only heard, or is a paired actor's address (the registry
// holds each address once).
Adopted *Bridge::adopted_sensor(const std::string &address, const std::string &kind, int rssi) {
    const auto found = reg_.sensors.find(address);
    if (found != reg_.sensors.end())
        return &found->second;
    if (reg_.actors.count(address) != 0)
        return nullptr;
    if (!adoption_open()) {
        hear(address, kind, false, rssi);
        return nullptr;
    }
    adopt(address, kind);
    return &reg_.sensors.at(address);
}

// An adopted sensor's record: its state, its discovery when its family or
// interval is new, and a button's press as an event.
void Bridge::sensor_record(const std::string &address, const std::string &kind,
                           const osl_record &rec, const osl_field *fields, int n, Adopted &device) {
    const std::string topic = device_topic(address, kind);
    bool changed = device.kinds.count(kind) == 0;
    int &interval = device.kinds[kind];
    json state = {{"kind", kind}, {"board", config_.board}, {"time", iso_time(now_())}};
    for (int i = 0; i < n; i++) {
        state[fields[i].name] = json_number(fields[i].value);
        if (std::strcmp(fields[i].name, "interval") == 0 &&
            static_cast<int>(fields[i].value) != interval) {
            interval = static_cast<int>(fields[i].value);
            changed = true;
        }
    }
    if (changed || discovered_.count(topic) == 0)
        publish_discovery(address, kind, &rec);
    // A press is an event: published once, on its own topic.
    if (osl_record_type(&rec) == OSL_DEV_BUTTON) {
        const int code = state.value("button", 0);
        for (const ButtonPress &p : PRESSES)
            if (p.code == code && out_.connected())
                out_.publish(topic + "/action", p.action, false);
    }
    send_state(topic + "/state", state.dump());
}

void Bridge::hear(const std::string &address, const std::string &kind, bool announced, int rssi) {
    Heard &h = heard_[address];
    h.kind = kind;
    h.announced = h.announced || announced;
    h.rssi = rssi;
    h.last_seen = now_();
    heard_changed_ = true;
    if (heard_.size() > HEARD_MAX) { // forget the longest unheard
        auto oldest = heard_.begin();
        for (auto it = heard_.begin(); it != heard_.end(); ++it)
            if (it->second.last_seen < oldest->second.last_seen)
                oldest = it;
        heard_.erase(oldest);
    }
}

void Bridge::publish_discovery(const std::string &address, const std::string &kind,
                               const osl_record *rec) {
    if (!out_.connected())
        return; // sent on connection
    const Adopted &device = reg_.sensors.at(address);
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
        if (name != "button")
            continue;
        for (const ButtonPress &p : PRESSES) {
            json trigger = {{"automation_type", "trigger"}, {"type", p.type},
                            {"subtype", "button_1"},        {"topic", topic + "/action"},
                            {"payload", p.action},          {"device", dev}};
            publish_config(config_.discovery_prefix + "/device_automation/" + device_id + "_" +
                               p.action + "/config",
                           trigger.dump());
        }
    }
    publish_field_entities(device_id, state_topic, fields, dev, expire, false);
    discovered_.insert(topic);
}

// One entity for each field Home Assistant has a kind for, on the device's
// state topic; an actor's readings are all diagnostics (its chip's
// temperature is no room's). Without expire_after when `expire` is 0.
void Bridge::publish_field_entities(const std::string &device_id, const std::string &state_topic,
                                    const std::vector<std::pair<std::string, std::string>> &fields,
                                    const json &dev, int expire, bool all_diagnostic) {
    for (const auto &[name, unit] : fields) {
        const EntityKind *e = entity_of(name);
        if (e == nullptr)
            continue;
        const std::string unique = device_id + "_" + name;
        json c = {{"unique_id", unique},
                  {"default_entity_id", default_entity_id(e->component, unique)},
                  {"name", name},
                  {"state_topic", state_topic},
                  {"availability", {{{"topic", availability_topic()}}}},
                  {"device", dev}};
        if (expire > 0)
            c["expire_after"] = expire;
        c["value_template"] =
            e->value_template != nullptr ? e->value_template : "{{ value_json." + name + " }}";
        if (e->device_class != nullptr)
            c["device_class"] = e->device_class;
        if (e->state_class != nullptr)
            c["state_class"] = e->state_class;
        if (!unit.empty() && std::string(e->component) == "sensor")
            c["unit_of_measurement"] = unit;
        if (e->diagnostic || all_diagnostic)
            c["entity_category"] = "diagnostic";
        publish_config(config_.discovery_prefix + "/" + e->component + "/" + unique + "/config",
                       c.dump());
    }
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
                  {"default_entity_id", default_entity_id("sensor", unique)},
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
    for (const auto &[address, h] : heard_) {
        json one = {{"address", address},
                    {"kind", h.kind},
                    {"rssi", h.rssi},
                    {"last_seen", iso_time(h.last_seen)}};
        if (h.announced)
            one["announced"] = true; // an actor offering its key: open adoption to pair it
        list.push_back(one);
    }
    if (out_.publish(config_.prefix + "/bridge/heard", list.dump(), true))
        heard_changed_ = false;
}

void Bridge::publish_stats() {
    osl_link_status link;
    osl_link_get_status(&link);
    const json s = {{"records", stats_.records},
                    {"actors", reg_.actors.size()},
                    {"states", stats_.states},
                    {"published", stats_.published},
                    {"heard", heard_.size()},
                    {"dropped", stats_.dropped},
                    {"save_failures", stats_.save_failures},
                    {"recoveries", link.recoveries},
                    {"load", osl_lib_get_load(nullptr, nullptr)},
                    {"link", link.state == OSL_LINK_UP ? "up" : "down"},
                    {"adoption_open", adoption_open()}};
    out_.publish(config_.prefix + "/bridge/" + config_.board + "/stats", s.dump(), false);
}

void Bridge::pass(bool messages_waiting) {
    settle(messages_waiting);
    const int64_t now = now_();
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
