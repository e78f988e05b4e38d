// ostrel_mqtt's configuration file on arbitrary bytes. The input is the
// file. A file refused gets one line naming the file; a file taken gives a
// configuration the bridge can use as it is: addresses and keys in their
// one form, each address once, numbers in their ranges, topic prefixes the
// bridge can subscribe under (no control character among them), names Home
// Assistant can show, a state file to write, TLS files that can be read.
#include <cstdlib>
#include <set>
#include <string>

#include "config.h"
#include "osl.h"
#include "registry.h"
#include "scratch.h"
#include "targets.h"

namespace osl::fuzz {

namespace {

using ostrel::mqtt::Config;

void check(bool holds) {
    if (!holds)
        abort();
}

bool upper_case(const std::string &text) {
    return text == ostrel::mqtt::upper(text);
}

bool topic_level(const std::string &prefix) {
    for (char c : prefix)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return false;
    return !prefix.empty() && prefix.find_first_of("#+") == std::string::npos &&
           prefix.front() != '/' && prefix.back() != '/';
}

// Empty stands for the kind and the address.
bool name_or_none(const std::string &name) {
    std::string why;
    return name.empty() || ostrel::mqtt::is_name(name, why);
}

bool readable_or_none(const std::string &path) {
    std::string text;
    return path.empty() || ostrel::mqtt::read_whole_file(path, text) == 0;
}

bool lamp_line(int line) {
    return line >= 0 && line <= 27;
}

void check_config(const Config &c) {
    check(!c.board.empty() && ostrel::mqtt::id_safe(c.board) == c.board);
    check(c.port >= 1 && c.port <= 65535);
    check(c.cert_file.empty() == c.key_file.empty());
    check(c.cert_file.empty() || !c.ca_file.empty());
    check(readable_or_none(c.ca_file) && readable_or_none(c.cert_file) &&
          readable_or_none(c.key_file));
    check(!c.state_file.empty());
    check(topic_level(c.prefix) && topic_level(c.discovery_prefix));
    check(lamp_line(c.lamp_rx) && lamp_line(c.lamp_tx) && lamp_line(c.lamp_pwr));
    check((c.verbosity & ~(OSL_LOG_LIB | OSL_LOG_SENSORS | OSL_LOG_ACTORS | OSL_LOG_AIR)) == 0);
    std::set<std::string> addresses;
    for (const auto &s : c.sensors) {
        check(ostrel::mqtt::is_address(s.address) && upper_case(s.address));
        check(addresses.insert(s.address).second);
        check(name_or_none(s.name));
    }
    for (const auto &a : c.actors) {
        check(ostrel::mqtt::actor_kind_name(a.type) != nullptr);
        check(ostrel::mqtt::is_address(a.address) && upper_case(a.address));
        check(ostrel::mqtt::is_key(a.key) && upper_case(a.key));
        check(addresses.insert(a.address).second);
        check(name_or_none(a.name));
    }
}

} // namespace

void mqtt_config_init() {}

void mqtt_config_run(const uint8_t *data, size_t size) {
    const std::string path = scratch_write("mqtt.toml", data, size);
    std::string error;
    const std::optional<Config> config = ostrel::mqtt::load_config(path, error);
    if (config) {
        check(error.empty());
        check_config(*config);
        return;
    }
    // "FILE:LINE: ...", one line.
    check(error.rfind(path + ":", 0) == 0 && error.size() > path.size() + 1);
    check(error.find('\n') == std::string::npos);
}

} // namespace osl::fuzz
