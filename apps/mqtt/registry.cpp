#include "registry.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "osl.h"

namespace ostrel::mqtt {

using nlohmann::json;

namespace {

constexpr int REGISTRY_VERSION = 2;
// A sensor's reporting interval is one byte of seconds, doubled: far below this.
constexpr int64_t INTERVAL_MAX_S = 86400;

bool all_hex(const std::string &text, size_t digits) {
    if (text.size() != digits)
        return false;
    for (char c : text)
        if (!isxdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

bool write_all(int fd, const char *data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// A registry that says something this bridge cannot stand behind (an actor
// without a key, a level of 300) is refused whole rather than half-used.
struct Refused {
    std::string what;
};

// A whole number the registry may leave out; anything else, or one out of
// range, is refused.
int64_t whole(const json &j, const char *key, int64_t fallback, int64_t low, int64_t high) {
    if (!j.is_object() || !j.contains(key))
        return fallback;
    std::string why;
    if (const std::optional<int64_t> v = whole_in(j[key], key, low, high, why))
        return *v;
    throw Refused{why};
}

ActorState state_of(const json &j, int type) {
    ActorState s{};
    const int channels = actor_channels(type);
    if (!j.is_array() || static_cast<int>(j.size()) != channels)
        throw Refused{"a state is a list of " + std::to_string(channels) + " numbers"};
    std::string why;
    for (int c = 0; c < channels; c++) {
        const std::optional<int64_t> v =
            whole_in(j[static_cast<size_t>(c)], "a state", 0, actor_state_max(type), why);
        if (!v)
            throw Refused{"a state number out of range"};
        s[static_cast<size_t>(c)] = static_cast<uint8_t>(*v);
    }
    return s;
}

json json_of(const ActorState &s, int type) {
    json out = json::array();
    for (int c = 0; c < actor_channels(type); c++)
        out.push_back(s[static_cast<size_t>(c)]);
    return out;
}

void read_actor(const json &d, RegistryData &into) {
    const std::string address = d.at("address").get<std::string>();
    if (!is_address(address))
        throw Refused{"an actor's address is not 12 hexadecimal digits"};
    ActorEntry a;
    a.type = actor_type_of(d.at("kind").get<std::string>());
    if (a.type == 0)
        throw Refused{"an actor of no known kind"};
    a.from_config = d.value("config", false);
    if (!a.from_config) {
        a.key = d.at("key").get<std::string>();
        if (!is_key(a.key))
            throw Refused{"the key of " + address + " is not 32 hexadecimal digits"};
        a.name = d.value("name", "");
    }
    a.wanted = state_of(d.at("wanted"), a.type);
    if (a.type != OSL_DEV_RELAY && d.contains("lit"))
        a.lit = state_of(d.at("lit"), a.type);
    into.actors[upper(address)] = a;
}

} // namespace

const char *actor_kind_name(int type) {
    switch (type) {
    case OSL_DEV_RELAY:
    case OSL_DEV_DIMMER:
    case OSL_DEV_PWM:
        return osl_device_kind_name(type);
    default:
        return nullptr;
    }
}

int actor_type_of(const std::string &kind_name) {
    for (int type : {OSL_DEV_RELAY, OSL_DEV_DIMMER, OSL_DEV_PWM})
        if (kind_name == actor_kind_name(type))
            return type;
    return 0;
}

int actor_channels(int type) {
    return type == OSL_DEV_PWM ? 3 : 1;
}

int actor_state_max(int type) {
    return type == OSL_DEV_RELAY ? 0x0F : 100;
}

bool is_address(const std::string &text) {
    return all_hex(text, 12);
}

bool is_key(const std::string &text) {
    return all_hex(text, 32);
}

std::string upper(std::string text) {
    for (char &c : text)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string lower(std::string text) {
    for (char &c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string hex_text(const uint8_t *bytes, size_t size) {
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < size; i++) {
        text += DIGITS[bytes[i] >> 4];
        text += DIGITS[bytes[i] & 0x0F];
    }
    return text;
}

std::optional<int64_t> whole_in(const json &value, const char *name, int64_t low, int64_t high,
                                std::string &why) {
    // An unsigned number beyond int64 is no whole number of any range here.
    if (value.is_number_integer() &&
        !(value.is_number_unsigned() && value.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX))) {
        const int64_t n = value.get<int64_t>();
        if (n >= low && n <= high)
            return n;
    }
    why = std::string(name) + " must be a whole number from " + std::to_string(low) + " to " +
          std::to_string(high);
    return std::nullopt;
}

bool Registry::load(RegistryData &into, std::string &error) const {
    std::ifstream in(path_);
    if (!in) {
        if (errno == ENOENT)
            return true; // nothing adopted yet
        error = path_ + ": cannot be read: " + strerror(errno);
        return false;
    }
    RegistryData read;
    try {
        const json j = json::parse(in);
        const int64_t version = whole(j, "version", 1, 1, INT32_MAX);
        if (version > REGISTRY_VERSION)
            throw Refused{"written by a newer bridge (version " + std::to_string(version) + ")"};
        for (const json &d : j.at("devices")) {
            Adopted a;
            a.name = d.value("name", "");
            for (const json &k : d.value("kinds", json::array()))
                a.kinds[k.at("kind").get<std::string>()] =
                    static_cast<int>(whole(k, "interval_s", 0, 0, INTERVAL_MAX_S));
            const std::string address = d.at("address").get<std::string>();
            if (!is_address(address))
                throw Refused{"a sensor's address is not 12 hexadecimal digits"};
            read.sensors[upper(address)] = a;
        }
        for (const json &d : j.value("actors", json::array()))
            read_actor(d, read);
        for (const json &t : j.value("discovery", json::array()))
            read.discovery.insert(t.get<std::string>());
    } catch (const json::exception &e) {
        error = path_ + ": not a state file of this bridge: " + e.what();
        return false;
    } catch (const Refused &r) {
        error = path_ + ": not a state file of this bridge: " + r.what;
        return false;
    }
    into = std::move(read);
    return true;
}

bool Registry::save(const RegistryData &data, std::string &error) const {
    json devices = json::array();
    for (const auto &[address, a] : data.sensors) {
        if (a.from_config)
            continue; // the configuration file holds those
        json kinds = json::array();
        for (const auto &[kind, interval] : a.kinds)
            kinds.push_back({{"kind", kind}, {"interval_s", interval}});
        devices.push_back({{"address", address}, {"name", a.name}, {"kinds", kinds}});
    }
    json actors = json::array();
    for (const auto &[address, a] : data.actors) {
        json d = {{"address", address},
                  {"kind", actor_kind_name(a.type)},
                  {"wanted", json_of(a.wanted, a.type)}};
        if (a.type != OSL_DEV_RELAY) // a light's levels to go back on to
            d["lit"] = json_of(a.lit, a.type);
        if (a.from_config) {
            d["config"] = true;
        } else {
            d["name"] = a.name;
            d["key"] = a.key;
        }
        actors.push_back(d);
    }
    const std::string text = json{{"version", REGISTRY_VERSION},
                                  {"devices", devices},
                                  {"actors", actors},
                                  {"discovery", data.discovery}}
                                 .dump(2) +
                             "\n";
    const std::string tmp = path_ + ".tmp";
    // A temporary file left by an earlier crash may have any mode: begin anew.
    unlink(tmp.c_str());
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = tmp + ": " + strerror(errno);
        return false;
    }
    step(Step::Opened);
    const size_t half = text.size() / 2;
    bool written = write_all(fd, text.data(), half);
    step(Step::HalfWritten);
    written = written && write_all(fd, text.data() + half, text.size() - half);
    step(Step::Written);
    written = written && fchmod(fd, 0600) == 0 && fsync(fd) == 0;
    const int saved = errno;
    close(fd);
    step(Step::Synced);
    if (!written || rename(tmp.c_str(), path_.c_str()) != 0) {
        error = path_ + ": " + strerror(written ? errno : saved);
        unlink(tmp.c_str());
        return false;
    }
    step(Step::Renamed);
    const std::string folder = path_.find('/') == std::string::npos
                                   ? std::string(".")
                                   : path_.substr(0, path_.rfind('/') + 1);
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    step(Step::FolderSynced);
    return true;
}

} // namespace ostrel::mqtt
