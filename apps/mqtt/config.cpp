#include "config.h"

#include <cctype>
#include <exception>
#include <set>
#include <sstream>
#include <unistd.h>

#include <toml++/toml.h>

#include "osl.h"
#include "registry.h"

namespace ostrel::mqtt {

namespace {

// An error in the file: where it is and which key.
struct Bad {
    int line;
    std::string key;
    std::string what;
};

int line_of(const toml::node &n) {
    return static_cast<int>(n.source().begin.line);
}

// The keys a table may have; any other is a typo the user wants to hear of.
void only_keys(const toml::table &t, const std::string &where, const std::set<std::string> &keys) {
    for (const auto &[k, v] : t) {
        const std::string key(k.str());
        if (keys.count(key) == 0)
            throw Bad{line_of(v), where.empty() ? key : where + "." + key, "unknown key"};
    }
}

std::string text(const toml::table &t, const std::string &where, const char *key,
                 const std::string &fallback) {
    const toml::node *n = t.get(key);
    if (n == nullptr)
        return fallback;
    if (!n->is_string())
        throw Bad{line_of(*n), where + key, "must be a string"};
    return n->as_string()->get();
}

int number(const toml::table &t, const std::string &where, const char *key, int fallback, int low,
           int high) {
    const toml::node *n = t.get(key);
    if (n == nullptr)
        return fallback;
    if (!n->is_integer())
        throw Bad{line_of(*n), where + key, "must be a whole number"};
    const int64_t v = n->as_integer()->get();
    if (v < low || v > high)
        throw Bad{line_of(*n), where + key,
                  "must be from " + std::to_string(low) + " to " + std::to_string(high)};
    return static_cast<int>(v);
}

// A name for Home Assistant, or empty for the device's kind and address.
std::string name(const toml::table &t, const std::string &where) {
    std::string value = text(t, where + ".", "name", "");
    std::string why;
    if (!value.empty() && !is_name(value, why))
        throw Bad{line_of(*t.get("name")), where + ".name", why};
    return value;
}

// A topic prefix: the bridge subscribes beneath it, so it can be no filter.
std::string prefix(const toml::table &t, const char *key, const std::string &fallback) {
    const std::string value = text(t, "topics.", key, fallback);
    const toml::node *n = t.get(key);
    if (n == nullptr)
        return value;
    if (value.empty() || value.find_first_of("#+") != std::string::npos || value.front() == '/' ||
        value.back() == '/')
        throw Bad{line_of(*n), std::string("topics.") + key,
                  "must be a topic level without '#', '+' or a '/' at either end"};
    if (holds_control(value))
        throw Bad{line_of(*n), std::string("topics.") + key, "must not hold control characters"};
    return value;
}

// A file the bridge reads later (a TLS certificate or key): one that cannot
// be read is named now, not as a vague failure to connect.
void readable(const toml::table &t, const char *key, const std::string &path) {
    std::string content;
    if (!path.empty() && read_whole_file(path, content) != 0)
        throw Bad{line_of(*t.get(key)), std::string("broker.") + key, "cannot read " + path};
}

const toml::table *section(const toml::table &root, const char *key) {
    const toml::node *n = root.get(key);
    if (n == nullptr)
        return nullptr;
    if (!n->is_table())
        throw Bad{line_of(*n), key, "must be a table ([" + std::string(key) + "])"};
    return n->as_table();
}

void read_broker(const toml::table &t, Config &c, const std::string &file) {
    only_keys(t, "broker",
              {"host", "port", "user", "password_file", "ca_file", "cert_file", "key_file"});
    c.host = text(t, "broker.", "host", c.host);
    c.port = number(t, "broker.", "port", c.port, 1, 65535);
    c.user = text(t, "broker.", "user", "");
    c.ca_file = text(t, "broker.", "ca_file", "");
    c.cert_file = text(t, "broker.", "cert_file", "");
    c.key_file = text(t, "broker.", "key_file", "");
    if (c.cert_file.empty() != c.key_file.empty()) {
        const toml::node *n = t.get(c.cert_file.empty() ? "key_file" : "cert_file");
        throw Bad{line_of(*n), c.cert_file.empty() ? "broker.key_file" : "broker.cert_file",
                  "a client certificate needs both cert_file and key_file"};
    }
    if ((!c.cert_file.empty()) && c.ca_file.empty()) {
        throw Bad{line_of(*t.get("cert_file")), "broker.cert_file",
                  "a client certificate needs ca_file (TLS)"};
    }
    readable(t, "ca_file", c.ca_file);
    readable(t, "cert_file", c.cert_file);
    readable(t, "key_file", c.key_file);
    const std::string password_file = text(t, "broker.", "password_file", "");
    if (password_file.empty())
        return;
    std::string content;
    if (read_whole_file(password_file, content) != 0) {
        throw Bad{line_of(*t.get("password_file")), "broker.password_file",
                  "cannot read " + password_file};
    }
    c.password = content.substr(0, content.find('\n')); // the first line, without its line end
    (void)file;
}

int verbosity_bits(const toml::node &n, const std::string &key) {
    if (!n.is_array())
        throw Bad{line_of(n), key, "must be a list of \"lib\", \"sensors\", \"actors\", \"air\""};
    int bits = 0;
    for (const toml::node &e : *n.as_array()) {
        const std::string *word = e.is_string() ? &e.as_string()->get() : nullptr;
        if (word != nullptr && *word == "lib")
            bits |= OSL_LOG_LIB;
        else if (word != nullptr && *word == "sensors")
            bits |= OSL_LOG_SENSORS;
        else if (word != nullptr && *word == "actors")
            bits |= OSL_LOG_ACTORS;
        else if (word != nullptr && *word == "air")
            bits |= OSL_LOG_AIR;
        else
            throw Bad{line_of(e), key, "knows \"lib\", \"sensors\", \"actors\" and \"air\""};
    }
    return bits;
}

void read_library(const toml::table &t, Config &c) {
    only_keys(t, "library", {"lamps", "verbosity"});
    if (const toml::node *n = t.get("lamps")) {
        const toml::array *a = n->as_array();
        if (a == nullptr || a->size() != 3)
            throw Bad{line_of(*n), "library.lamps",
                      "must be three GPIO lines: receive, transmit, power (0 leaves one out)"};
        int lines[3];
        for (size_t i = 0; i < 3; i++) {
            const toml::node &e = (*a)[i];
            const int64_t line = e.is_integer() ? e.as_integer()->get() : -1;
            if (line != 0 && (line < 2 || line > 27))
                throw Bad{line_of(e), "library.lamps", "a GPIO line is 2 to 27, or 0 for none"};
            lines[i] = static_cast<int>(e.as_integer()->get());
        }
        c.lamp_rx = lines[0];
        c.lamp_tx = lines[1];
        c.lamp_pwr = lines[2];
    }
    if (const toml::node *n = t.get("verbosity"))
        c.verbosity = verbosity_bits(*n, "library.verbosity");
}

// [[sensor]] or [[actor]]: a list of tables.
const toml::array &tables(const toml::node &n, const std::string &what) {
    const toml::array *a = n.as_array();
    if (a == nullptr || !a->is_array_of_tables())
        throw Bad{line_of(n), what, "must be tables: [[" + what + "]]"};
    return *a;
}

// A device's address, upper case; an address is one device of the file, a
// sensor or an actor, once.
std::string device_address(const toml::table &t, const toml::node &e, const std::string &what,
                           std::set<std::string> &seen) {
    const std::string key = what + ".address";
    const toml::node *addr = t.get("address");
    if (addr == nullptr)
        throw Bad{line_of(e), key, "missing"};
    if (!addr->is_string() || !is_address(addr->as_string()->get()))
        throw Bad{line_of(*addr), key, "must be 12 hexadecimal digits"};
    std::string address = upper(addr->as_string()->get());
    if (!seen.insert(address).second)
        throw Bad{line_of(*addr), key, address + " is listed twice"};
    return address;
}

void read_sensors(const toml::node &n, Config &c, std::set<std::string> &seen) {
    for (const toml::node &e : tables(n, "sensor")) {
        const toml::table &t = *e.as_table();
        only_keys(t, "sensor", {"address", "name"});
        SensorEntry s;
        s.address = device_address(t, e, "sensor", seen);
        s.name = name(t, "sensor");
        c.sensors.push_back(s);
    }
}

void read_actors(const toml::node &n, Config &c, std::set<std::string> &seen) {
    for (const toml::node &e : tables(n, "actor")) {
        const toml::table &t = *e.as_table();
        only_keys(t, "actor", {"kind", "address", "key", "name"});
        ActorConfig actor;
        const toml::node *kind = t.get("kind");
        if (kind == nullptr)
            throw Bad{line_of(e), "actor.kind", "missing"};
        actor.type = kind->is_string() ? actor_type_of(upper(kind->as_string()->get())) : 0;
        if (actor.type == 0)
            throw Bad{line_of(*kind), "actor.kind", "must be \"relay\", \"dimmer\" or \"pwm\""};
        actor.address = device_address(t, e, "actor", seen);
        const toml::node *key = t.get("key");
        if (key == nullptr)
            throw Bad{line_of(e), "actor.key", "missing"};
        // The key itself is never repeated in a message.
        if (!key->is_string() || !is_key(key->as_string()->get()))
            throw Bad{line_of(*key), "actor.key", "must be 32 hexadecimal digits"};
        actor.key = upper(key->as_string()->get());
        actor.name = name(t, "actor");
        c.actors.push_back(actor);
    }
}

// The file's own text, quoted in an error (a key, the character a parse
// stopped at), may hold a line end or a terminal's escape: the error stays
// one line that shows as it is.
std::string printable(std::string text) {
    for (char &c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return text;
}

} // namespace

std::string id_safe(const std::string &text) {
    std::string out;
    for (char ch : text) {
        const bool ok = isalnum(static_cast<unsigned char>(ch)) || ch == '_' || ch == '-';
        out += ok ? ch : '_';
    }
    return out.empty() ? "board" : out;
}

std::string default_board_name() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0)
        return "board";
    return id_safe(host);
}

std::optional<Config> load_config(const std::string &path, std::string &error) {
    Config c;
    c.board = default_board_name();
    try {
        // Read whole first: a folder or a failing card is "cannot be read",
        // never an empty configuration.
        std::string content;
        if (read_whole_file(path, content) != 0) {
            error = path + ": cannot be read";
            return std::nullopt;
        }
        toml::table root = toml::parse(content, path);
        only_keys(root, "",
                  {"board", "state_file", "broker", "topics", "library", "sensor", "actor"});
        if (const toml::node *n = root.get("board")) {
            if (!n->is_string() || n->as_string()->get().empty())
                throw Bad{line_of(*n), "board", "must be a name"};
            if (id_safe(n->as_string()->get()) != n->as_string()->get())
                throw Bad{line_of(*n), "board", "may hold only letters, digits, '_' and '-'"};
            c.board = n->as_string()->get();
        }
        c.state_file = text(root, "", "state_file", c.state_file);
        if (c.state_file.empty())
            throw Bad{line_of(*root.get("state_file")), "state_file", "must be a file's path"};
        if (const toml::table *t = section(root, "broker"))
            read_broker(*t, c, path);
        if (const toml::table *t = section(root, "topics")) {
            only_keys(*t, "topics", {"prefix", "discovery_prefix"});
            c.prefix = prefix(*t, "prefix", c.prefix);
            c.discovery_prefix = prefix(*t, "discovery_prefix", c.discovery_prefix);
        }
        if (const toml::table *t = section(root, "library"))
            read_library(*t, c);
        std::set<std::string> seen;
        if (const toml::node *n = root.get("sensor"))
            read_sensors(*n, c, seen);
        if (const toml::node *n = root.get("actor"))
            read_actors(*n, c, seen);
    } catch (const toml::parse_error &e) {
        std::ostringstream out;
        out << e.source().begin.line << ": " << e.description();
        error = path + ":" + printable(out.str());
        return std::nullopt;
    } catch (const Bad &b) {
        error = path + ":" + printable(std::to_string(b.line) + ": " + b.key + ": " + b.what);
        return std::nullopt;
    } catch (const std::exception &) {
        // Out of memory on a file far larger than any configuration.
        error = path + ": cannot be read";
        return std::nullopt;
    }
    return c;
}

} // namespace ostrel::mqtt
