// The bridge's actors: pairing from their key announcements, their
// commands from Home Assistant, the state they report, and keeping them in
// the state the home asked for.
//
// An actor is registered with the library under its address text, which
// is unique, so the library's operations by name reach exactly it; the
// name a person gave it lives in the registry and in Home Assistant only.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "bridge.h"

namespace ostrel::mqtt {

using nlohmann::json;

namespace {

constexpr int RELAY_CHANNELS = 4;
constexpr int LEVEL_MAX = 100;
constexpr int COLOR_MAX = 255;

// The fields of a report that carry an actor's state, by channel.
constexpr const char *RELAY_FIELD = "channels";
constexpr const char *DIMMER_FIELD = "level";
constexpr const char *PWM_FIELDS[3] = {"level0", "level1", "level2"};

int library_add(int type, const std::string &address, const std::string &key) {
    const char *name = address.c_str();
    switch (type) {
    case OSL_DEV_RELAY:
        return osl_relay_add(name, name, key.c_str());
    case OSL_DEV_DIMMER:
        return osl_dimmer_add(name, name, key.c_str());
    default:
        return osl_pwm_add(name, name, key.c_str());
    }
}

// Sets a light's wanted levels in the library, which sends them.
int library_send_levels(int type, const std::string &address, const ActorState &to) {
    const char *name = address.c_str();
    if (type == OSL_DEV_DIMMER)
        return osl_dimmer_set(name, to[0]);
    return osl_pwm_set(name, to[0], to[1], to[2]);
}

int library_comply(int type, const osl_record &rec) {
    switch (type) {
    case OSL_DEV_RELAY:
        return osl_relay_comply(&rec);
    case OSL_DEV_DIMMER:
        return osl_dimmer_comply(&rec);
    default:
        return osl_pwm_comply(&rec);
    }
}

bool all_zero(const ActorState &s) {
    return s[0] == 0 && s[1] == 0 && s[2] == 0;
}

// "Relay C0FFEE000020": what Home Assistant shows until someone renames it.
std::string default_name(int type, const std::string &address) {
    std::string kind = lower(actor_kind_name(type));
    kind[0] = static_cast<char>(toupper(static_cast<unsigned char>(kind[0])));
    return kind + " " + address;
}

double field_value(const std::vector<osl_field> &fields, const char *name) {
    for (const osl_field &f : fields)
        if (std::string(f.name) == name)
            return f.value;
    return 0;
}

// A command refused: why, for the response.
struct Refusal {
    std::string why;
};

int whole(const json &body, const char *key, int low, int high) {
    std::string why;
    if (const std::optional<int64_t> v = whole_in(body.at(key), key, low, high, why))
        return static_cast<int>(*v);
    throw Refusal{why};
}

// "ON", "OFF" (any case); -1 when the command has no state.
int on_off(const json &body) {
    if (!body.contains("state"))
        return -1;
    const json &v = body["state"];
    const std::string s = v.is_string() ? upper(v.get<std::string>()) : "";
    if (s != "ON" && s != "OFF")
        throw Refusal{"state must be \"ON\" or \"OFF\""};
    return s == "ON" ? 1 : 0;
}

// The levels a PWM controller shows a colour at a brightness with: the
// colour's hue, its strongest channel at the brightness.
ActorState levels_of(const int color[3], int brightness) {
    const int strongest = std::max({color[0], color[1], color[2]});
    ActorState out{};
    if (strongest == 0)
        return out;
    for (size_t c = 0; c < 3; c++)
        out[c] = static_cast<uint8_t>((color[c] * brightness + strongest / 2) / strongest);
    return out;
}

// What a command asks of the actor, from the state it is wanted in now.
ActorState relay_wanted(const ActorEntry &a, const json &body, int state) {
    if (!body.contains("channel"))
        throw Refusal{"a relay's command names its channel, 0 to 3"};
    const int channel = whole(body, "channel", 0, RELAY_CHANNELS - 1);
    if (state < 0)
        throw Refusal{"state must be \"ON\" or \"OFF\""};
    ActorState next = a.wanted;
    const auto bit = static_cast<uint8_t>(1u << channel);
    next[0] = static_cast<uint8_t>(state == 1 ? next[0] | bit : next[0] & ~bit);
    return next;
}

ActorState dimmer_wanted(const ActorEntry &a, const json &body, int state) {
    const bool level = body.contains("brightness");
    if (state < 0 && !level)
        throw Refusal{"a dimmer's command has a state or a brightness"};
    ActorState next = a.wanted;
    if (state == 0)
        next[0] = 0;
    else if (level)
        next[0] = static_cast<uint8_t>(whole(body, "brightness", 0, LEVEL_MAX));
    else
        next[0] = a.lit[0];
    return next;
}

// {"levels": [L0, L1, L2]}: the three levels as they are.
ActorState pwm_levels(const json &l) {
    const char *why_not = "levels must be three whole numbers from 0 to 100";
    if (!l.is_array() || l.size() != 3)
        throw Refusal{why_not};
    ActorState next{};
    std::string why;
    for (size_t c = 0; c < 3; c++) {
        const std::optional<int64_t> v = whole_in(l[c], "levels", 0, LEVEL_MAX, why);
        if (!v)
            throw Refusal{why_not};
        next[c] = static_cast<uint8_t>(*v);
    }
    return next;
}

// {"color": {"r": R, "g": G, "b": B}} into `color`.
void read_color(const json &c, int color[3]) {
    const char *names[3] = {"r", "g", "b"};
    for (size_t i = 0; i < 3; i++) {
        if (!c.is_object() || !c.contains(names[i]))
            throw Refusal{"color must be {\"r\": R, \"g\": G, \"b\": B}, each 0 to 255"};
        color[i] = whole(c, names[i], 0, COLOR_MAX);
    }
    // Black has no hue to show at a brightness: switching off is what
    // "state": "OFF" says, not a colour.
    if (color[0] == 0 && color[1] == 0 && color[2] == 0)
        throw Refusal{"color {0, 0, 0} is no colour: switch off with \"state\": \"OFF\""};
}

ActorState pwm_wanted(const ActorEntry &a, const json &body, int state) {
    if (body.contains("levels"))
        return pwm_levels(body["levels"]);
    const bool level = body.contains("brightness");
    const bool colored = body.contains("color");
    if (state < 0 && !level && !colored)
        throw Refusal{"a PWM controller's command has a state, a brightness, a color or levels"};
    if (state == 0)
        return ActorState{};
    // The hue: the one given, else the one it shows or last showed.
    const ActorState &shown = all_zero(a.wanted) ? a.lit : a.wanted;
    int color[3] = {shown[0], shown[1], shown[2]};
    if (colored)
        read_color(body["color"], color);
    const int brightness =
        level ? whole(body, "brightness", 0, LEVEL_MAX) : std::max({shown[0], shown[1], shown[2]});
    return levels_of(color, brightness);
}

ActorState wanted_by(const ActorEntry &a, const json &body) {
    const int state = on_off(body);
    switch (a.type) {
    case OSL_DEV_RELAY:
        return relay_wanted(a, body, state);
    case OSL_DEV_DIMMER:
        return dimmer_wanted(a, body, state);
    default:
        return pwm_wanted(a, body, state);
    }
}

} // namespace

bool Bridge::register_actor(const std::string &address, ActorEntry &a, std::string &error) {
    const int r = library_add(a.type, address, a.key);
    a.in_library = r == 0;
    a.in_library_wanted = ActorState{}; // the library begins with all off
    if (r != 0) {
        const char *why = osl_result_text(OSL_OP_ADD, r);
        error = std::string(actor_kind_name(a.type)) + " " + address +
                " was not registered: " + (why != nullptr ? why : "code " + std::to_string(r));
    }
    return a.in_library;
}

// Gives the library the actor's wanted state, which sends it: a light's
// levels at once; a relay's channels through its commands that switch
// channels on and off, for those that changed since the library was last
// given them (a relay has no command that sets all four but the comply).
int Bridge::send_wanted(const std::string &address, ActorEntry &a) {
    if (a.type != OSL_DEV_RELAY) {
        a.in_library_wanted = a.wanted;
        return library_send_levels(a.type, address, a.wanted);
    }
    const char *name = address.c_str();
    const uint8_t now = a.wanted[0];
    const uint8_t before = a.in_library_wanted[0];
    const auto on = static_cast<uint8_t>(now & ~before);
    const auto off = static_cast<uint8_t>(before & ~now);
    a.in_library_wanted = a.wanted;
    int result = 0;
    if (on != 0)
        result = osl_relay_on(name, on);
    if (off != 0) {
        const int r = osl_relay_off(name, off);
        result = result != 0 ? result : r;
    }
    // Asked again for what it was asked before: said again, as a person
    // pressing a switch twice expects.
    if (on == 0 && off == 0)
        result = now != 0 ? osl_relay_on(name, now)
                          : osl_relay_off(name, static_cast<uint8_t>(actor_state_max(a.type)));
    return result;
}

// Each actor commanded since the last pass, sent its latest wanted state
// once, and its state published with it; the sends' results by address.
std::map<std::string, int> Bridge::send_commands() {
    std::map<std::string, int> results;
    for (const std::string &address : to_send_) {
        const auto found = reg_.actors.find(address);
        if (found == reg_.actors.end() || !found->second.in_library)
            continue;
        results[address] = send_wanted(address, found->second);
        publish_actor_state(address, found->second);
    }
    to_send_.clear();
    return results;
}

// The library wants all off of an actor it has just registered: one whose
// wanted state is another is given it, which sends it.
void Bridge::restore_one(const std::string &address, ActorEntry &a) {
    if (!a.in_library || all_zero(a.wanted))
        return;
    const int r = send_wanted(address, a);
    printf("ostrel_mqtt: %s %s brought back to what was last asked%s\n", actor_kind_name(a.type),
           address.c_str(), r == 0 ? "" : " (not sent now: at its next report)");
}

void Bridge::restore() {
    for (auto &[address, a] : reg_.actors)
        restore_one(address, a);
}

void Bridge::drain() {
    osl_record rec;
    // Every record waiting, never one per pass.
    for (int n = osl_bt_queued(); n > 0; n--) {
        if (osl_bt_read(&rec) == OSL_READ_STOPPED)
            break;
        record(rec);
    }
    osl_key_announcement a;
    while (osl_key_announcement_read(&a) == 1)
        announcement(a);
}

void Bridge::announcement(const osl_key_announcement &heard) {
    const std::string address = address_text(heard.addr);
    const std::string key = hex_text(heard.key, sizeof heard.key);
    const char *kind = actor_kind_name(heard.type);
    const auto known = reg_.actors.find(address);
    if (known != reg_.actors.end() && known->second.key == key)
        return; // paired already
    if (reg_.sensors.count(address) != 0)
        return; // an adopted sensor's address: no actor of ours
    // Until its own frames showed its kind, an actor cannot be registered.
    if (!adoption_open() || kind == nullptr) {
        hear(address, kind != nullptr ? kind : "actor", true, heard.rssi);
        return;
    }
    adopt_actor(address, heard.type, key);
}

// Said once per opening of adoption, not at each repeat of the actor's
// announcement.
void Bridge::refuse_pairing(const std::string &address, json answer, const std::string &why,
                            const std::string &line) {
    if (!refused_.insert(address).second)
        return;
    fprintf(stderr, "ostrel_mqtt: %s\n", line.c_str());
    answer["status"] = "error";
    answer["error"] = why;
    respond(answer);
}

// A paired actor announcing another key was reset: it leaves the library
// and the registry, and `next` keeps its name and, while its kind is the
// same, the state the home wants of it. False for a configured actor,
// whose key is the file's.
bool Bridge::unpair_reset(const std::string &address, int type, ActorEntry &next) {
    const auto known = reg_.actors.find(address);
    if (known == reg_.actors.end())
        return true;
    if (known->second.from_config)
        return false;
    next = known->second;
    if (next.in_library)
        osl_actor_remove(address.c_str());
    reg_.actors.erase(known);
    if (next.type != type) {
        ActorEntry fresh;
        fresh.name = next.name;
        next = fresh;
    }
    return true;
}

void Bridge::adopt_actor(const std::string &address, int type, const std::string &key) {
    const json answer = {
        {"request", "permit_join"}, {"address", address}, {"kind", actor_kind_name(type)}};
    ActorEntry next;
    if (!unpair_reset(address, type, next))
        return refuse_pairing(address, answer, "configured with another key: change it in the file",
                              address +
                                  " announces a key other than the configuration's: not taken");
    next.type = type;
    next.key = key;
    next.in_library = false;
    if (next.name.empty())
        next.name = default_name(type, address);
    std::string error;
    if (!register_actor(address, next, error))
        return refuse_pairing(address, answer, error, error);
    ActorEntry &paired = reg_.actors[address] = next;
    restore_one(address, paired);
    heard_.erase(address);
    heard_changed_ = true;
    printf("ostrel_mqtt: paired %s %s as '%s'\n", actor_kind_name(type), address.c_str(),
           paired.name.c_str());
    publish_actor_discovery(address);
    // Reported as paired only once its key is on disk: a key lost at the
    // next restart is an actor the home can no longer reach.
    changed();
    json paired_answer = answer;
    paired_answer["name"] = paired.name;
    answer_later(paired_answer, "", true);
}

void Bridge::actor_record(const std::string &address, const osl_record &rec) {
    const auto found = reg_.actors.find(address);
    if (found == reg_.actors.end())
        return;
    ActorEntry &a = found->second;
    // Every report is checked against the wanted state: a command lost on
    // the air, or a switch turned by hand, is put right at once.
    library_comply(a.type, rec);
    osl_field fields[OSL_FIELDS_MAX];
    const int n = osl_record_fields(&rec, fields, OSL_FIELDS_MAX);
    if (n < 0)
        return;
    a.fields.assign(fields, fields + std::min(n, OSL_FIELDS_MAX));
    a.heard = true;
    if (a.type == OSL_DEV_PWM) {
        for (size_t c = 0; c < 3; c++)
            a.reported[c] = static_cast<uint8_t>(field_value(a.fields, PWM_FIELDS[c]));
    } else {
        a.reported[0] = static_cast<uint8_t>(
            field_value(a.fields, a.type == OSL_DEV_RELAY ? RELAY_FIELD : DIMMER_FIELD));
    }
    // Its readings' entities, once their names are known.
    if (discovered_.count(config_.prefix + "/" + address + "/state") == 0)
        publish_actor_discovery(address);
    publish_actor_state(address, a);
}

// What the actor reported, never what was asked of it: "pending" tells
// whether the two still differ.
void Bridge::publish_actor_state(const std::string &address, const ActorEntry &a) {
    if (!a.heard)
        return;
    json state = {
        {"kind", actor_kind_name(a.type)}, {"board", config_.board}, {"time", iso_time(now_())}};
    for (const osl_field &f : a.fields)
        state[f.name] = json_number(f.value);
    const int channels = actor_channels(a.type);
    bool pending = false;
    json wanted = json::array();
    for (int c = 0; c < channels; c++) {
        pending = pending || a.wanted[static_cast<size_t>(c)] != a.reported[static_cast<size_t>(c)];
        wanted.push_back(a.wanted[static_cast<size_t>(c)]);
    }
    state["pending"] = pending;
    state["wanted"] = wanted;
    if (a.type == OSL_DEV_RELAY) {
        for (int c = 0; c < RELAY_CHANNELS; c++)
            state["channel" + std::to_string(c)] = (a.reported[0] >> c & 1) != 0 ? "ON" : "OFF";
    } else {
        // Levels above 100 (a device's fault) show as full.
        int levels[3] = {};
        for (int c = 0; c < channels; c++)
            levels[c] = std::min<int>(a.reported[static_cast<size_t>(c)], LEVEL_MAX);
        const int strongest = std::max({levels[0], levels[1], levels[2]});
        state["state"] = strongest > 0 ? "ON" : "OFF";
        if (strongest > 0)
            state["brightness"] = strongest;
        // Home Assistant reads a JSON light's mode from its state.
        state["color_mode"] = a.type == OSL_DEV_PWM ? "rgb" : "brightness";
        if (a.type == OSL_DEV_PWM) {
            if (strongest > 0) {
                json color;
                const char *names[3] = {"r", "g", "b"};
                for (size_t c = 0; c < 3; c++)
                    color[names[c]] = (levels[c] * COLOR_MAX + strongest / 2) / strongest;
                state["color"] = color;
            }
        }
    }
    send_state(config_.prefix + "/" + address + "/state", state.dump());
}

void Bridge::publish_actor_discovery(const std::string &address) {
    if (!out_.connected())
        return; // sent on connection
    const ActorEntry &a = reg_.actors.at(address);
    const std::string kind = actor_kind_name(a.type);
    const std::string device_id = "ostrel_" + address + "_" + lower(kind);
    const std::string state_topic = config_.prefix + "/" + address + "/state";
    const std::string command_topic = config_.prefix + "/" + address + "/set";
    const json dev = {{"identifiers", {device_id}},
                      {"name", a.name.empty() ? default_name(a.type, address) : a.name},
                      {"manufacturer", "Ostrel"},
                      {"model", kind},
                      {"via_device", "ostrel_bridge_" + config_.board}};
    json common = {{"command_topic", command_topic},
                   {"state_topic", state_topic},
                   {"json_attributes_topic", state_topic},
                   {"json_attributes_template",
                    "{{ {'pending': value_json.pending, 'wanted': value_json.wanted} | tojson }}"},
                   {"availability", {{{"topic", availability_topic()}}}},
                   {"device", dev}};
    if (a.type == OSL_DEV_RELAY) {
        for (int c = 0; c < RELAY_CHANNELS; c++) {
            const std::string unique = device_id + "_ch" + std::to_string(c);
            json s = common;
            s["unique_id"] = unique;
            s["default_entity_id"] = default_entity_id("switch", unique);
            s["name"] = "channel " + std::to_string(c);
            s["payload_on"] = json{{"channel", c}, {"state", "ON"}}.dump();
            s["payload_off"] = json{{"channel", c}, {"state", "OFF"}}.dump();
            s["state_on"] = "ON";
            s["state_off"] = "OFF";
            s["value_template"] = "{{ value_json.channel" + std::to_string(c) + " }}";
            publish_config(config_.discovery_prefix + "/switch/" + unique + "/config", s.dump());
        }
    } else {
        const std::string unique = device_id + "_light";
        json l = common;
        l["unique_id"] = unique;
        l["default_entity_id"] = default_entity_id("light", unique);
        l["name"] = nullptr; // the device's own name
        l["schema"] = "json";
        l["brightness"] = true;
        l["brightness_scale"] = LEVEL_MAX; // the actors' own levels, 0 to 100
        l["supported_color_modes"] = {a.type == OSL_DEV_PWM ? "rgb" : "brightness"};
        publish_config(config_.discovery_prefix + "/light/" + unique + "/config", l.dump());
    }
    if (!a.fields.empty()) {
        std::vector<std::pair<std::string, std::string>> fields;
        for (const osl_field &f : a.fields)
            fields.emplace_back(f.name, f.unit != nullptr ? f.unit : "");
        publish_field_entities(device_id, state_topic, fields, dev, 0, true);
        discovered_.insert(state_topic);
    }
}

void Bridge::command(const std::string &address_in_topic, std::string_view payload) {
    const std::string address = upper(address_in_topic);
    json answer = {{"request", "set"}, {"address", is_address(address) ? address : "(not shown)"}};
    json body;
    if (!parse_body(payload, body, answer))
        return;
    try {
        const auto found = reg_.actors.find(address);
        if (!is_address(address) || found == reg_.actors.end())
            throw Refusal{"no actor of this bridge has that address"};
        ActorEntry &a = found->second;
        if (!a.in_library)
            throw Refusal{"the library holds 10 of each kind and did not take this one"};
        if (!body.is_object())
            throw Refusal{"a command is a JSON object"};
        const ActorState next = wanted_by(a, body);
        a.wanted = next;
        if (!all_zero(next))
            a.lit = next;
        changed();
        // Sent at the end of the pass, once for all the commands it got:
        // answered then ("ok" only when asked with a transaction).
        to_send_.insert(address);
        answer_later(answer, address, answer.contains("transaction"));
    } catch (const Refusal &r) {
        answer["status"] = "error";
        answer["error"] = r.why;
        respond(answer);
    }
}

bool Bridge::remove(const std::string &address, json &answer) {
    answer["address"] = address;
    auto refuse = [&](const std::string &why) {
        answer["status"] = "error";
        answer["error"] = why;
        return false;
    };
    const auto actor = reg_.actors.find(address);
    const auto sensor = reg_.sensors.find(address);
    if (actor == reg_.actors.end() && sensor == reg_.sensors.end())
        return refuse("no device of this bridge has that address");
    const bool configured =
        actor != reg_.actors.end() ? actor->second.from_config : sensor->second.from_config;
    if (configured)
        return refuse("it is listed in the configuration file: take it out there");
    if (actor != reg_.actors.end()) {
        if (actor->second.in_library)
            osl_actor_remove(address.c_str());
        reg_.actors.erase(actor);
    } else {
        reg_.sensors.erase(sensor);
    }
    const std::string topic_head = config_.prefix + "/" + address + "/";
    std::erase_if(discovered_, [&](const std::string &t) { return t.rfind(topic_head, 0) == 0; });
    std::erase_if(fields_, [&](const auto &f) { return f.first.rfind(topic_head, 0) == 0; });
    std::erase_if(kept_, [&](const auto &k) { return k.first.rfind(topic_head, 0) == 0; });
    to_send_.erase(address);
    printf("ostrel_mqtt: removed %s\n", address.c_str());
    changed();
    withdraw_removed();
    return true;
}

bool Bridge::rename(const std::string &address, const std::string &name, json &answer) {
    answer["address"] = address;
    const auto actor = reg_.actors.find(address);
    const auto sensor = reg_.sensors.find(address);
    std::string *stored = nullptr;
    bool configured = false;
    if (actor != reg_.actors.end()) {
        stored = &actor->second.name;
        configured = actor->second.from_config;
    } else if (sensor != reg_.sensors.end()) {
        stored = &sensor->second.name;
        configured = sensor->second.from_config;
    }
    if (stored == nullptr || configured) {
        answer["status"] = "error";
        answer["error"] = stored == nullptr
                              ? "no device of this bridge has that address"
                              : "it is listed in the configuration file: rename it there";
        return false;
    }
    *stored = name;
    changed();
    if (actor != reg_.actors.end()) {
        publish_actor_discovery(address);
    } else {
        for (const auto &[kind, interval] : sensor->second.kinds)
            publish_discovery(address, kind, nullptr);
    }
    answer["name"] = name;
    return true;
}

} // namespace ostrel::mqtt
