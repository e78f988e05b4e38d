// ostrel_mqtt's configuration: one TOML file (default /etc/ostrel/mqtt.toml).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace ostrel::mqtt {

inline constexpr const char *DEFAULT_CONFIG_PATH = "/etc/ostrel/mqtt.toml";
inline constexpr const char *DEFAULT_STATE_PATH = "/var/lib/ostrel/mqtt-state.json";

struct SensorEntry {
    std::string address; // 12 hexadecimal digits, upper case
    std::string name;    // shown in Home Assistant; empty: kind and address
};

// An actor listed in the file rather than paired from its announcement.
struct ActorConfig {
    int type = 0;        // OSL_DEV_RELAY, OSL_DEV_DIMMER, OSL_DEV_PWM
    std::string address; // 12 hexadecimal digits, upper case
    std::string key;     // 32 hexadecimal digits, upper case
    std::string name;    // shown in Home Assistant; empty: kind and address
};

struct Config {
    std::string board; // this board's name in topics and in Home Assistant

    std::string host = "localhost";
    int port = 1883;
    std::string user;
    std::string password; // read from password_file
    std::string ca_file;  // TLS when set
    std::string cert_file;
    std::string key_file;

    std::string prefix = "ostrel";
    std::string discovery_prefix = "homeassistant";

    // Lamp GPIO lines: receive, transmit, power; 0 leaves a lamp out.
    int lamp_rx = 0;
    int lamp_tx = 0;
    int lamp_pwr = 0;
    int verbosity = 0x01; // the library's OSL_LOG_ bits

    std::vector<SensorEntry> sensors;
    std::vector<ActorConfig> actors;
    std::string state_file = DEFAULT_STATE_PATH;
};

// The configuration in the file, or nothing with `error` set to one line
// that names the file, the line and the key ("FILE:LINE: KEY: what is
// wrong"). A missing file is an error too.
std::optional<Config> load_config(const std::string &path, std::string &error);

// The host name, as the board's default name (ids use [a-zA-Z0-9_-]).
std::string default_board_name();
// A name made fit for topics and ids: other characters become '_'.
std::string id_safe(const std::string &text);

} // namespace ostrel::mqtt
