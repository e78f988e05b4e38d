#include "registry.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <new>
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

// 0, or the errno of the write that failed. `fail_with` plays a disk that
// refuses every write.
int write_all(int fd, const char *data, size_t size, int fail_with) {
    if (fail_with != 0)
        return fail_with;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0) // a write that takes nothing and says nothing: no room
            return ENOSPC;
        done += static_cast<size_t>(n);
    }
    return 0;
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

// A device's name in the registry: empty (shown as its kind and address)
// or one Home Assistant can show. The error names the device, never the
// text, which may hold anything.
std::string name_of(const json &d, const std::string &address) {
    std::string name = d.value("name", "");
    std::string why;
    if (!name.empty() && !is_name(name, why))
        throw Refused{"the name of " + address + ": " + why};
    return name;
}

// A sensor's kind is one the library names for a sensor's records: it
// becomes a level of the device's topics.
bool is_sensor_kind(const std::string &kind) {
    for (int type = 1; type <= OSL_DEV_AIR; type++) {
        const char *name = osl_device_kind_name(type);
        if (name != nullptr && kind == name)
            return actor_kind_name(type) == nullptr;
    }
    return false;
}

// A discovery config's topic is published to again (emptied) when its
// device goes: it must be a topic a broker takes, not a filter.
bool is_topic_name(const std::string &topic) {
    return !topic.empty() && topic.find_first_of("#+") == std::string::npos &&
           !holds_control(topic);
}

std::string sensor_address(const json &d) {
    const std::string address = d.at("address").get<std::string>();
    if (!is_address(address))
        throw Refused{"a sensor's address is not 12 hexadecimal digits"};
    return upper(address);
}

void read_sensor(const json &d, RegistryData &into) {
    const std::string address = sensor_address(d);
    // The same address twice (in two letter cases, say) would keep one
    // entry and silently lose the other's name at the next save.
    if (into.sensors.count(address) != 0)
        throw Refused{"the sensor " + address + " is listed twice"};
    Adopted a;
    a.name = name_of(d, address);
    for (const json &k : d.value("kinds", json::array())) {
        const std::string kind = k.at("kind").get<std::string>();
        if (!is_sensor_kind(kind))
            throw Refused{"a kind of " + address + " is no sensor kind"};
        a.kinds[kind] = static_cast<int>(whole(k, "interval_s", 0, 0, INTERVAL_MAX_S));
    }
    into.sensors[address] = a;
}

void read_actor(const json &d, RegistryData &into) {
    const std::string given = d.at("address").get<std::string>();
    if (!is_address(given))
        throw Refused{"an actor's address is not 12 hexadecimal digits"};
    const std::string address = upper(given);
    // Two entries for one actor would keep one key and lose the other's at
    // the next save; an address that is a sensor too would be both.
    if (into.actors.count(address) != 0)
        throw Refused{"the actor " + address + " is listed twice"};
    if (into.sensors.count(address) != 0)
        throw Refused{address + " is listed as a sensor and as an actor"};
    ActorEntry a;
    a.type = actor_type_of(d.at("kind").get<std::string>());
    if (a.type == 0)
        throw Refused{"an actor of no known kind"};
    a.from_config = d.value("config", false);
    if (!a.from_config) {
        a.key = d.at("key").get<std::string>();
        if (!is_key(a.key))
            throw Refused{"the key of " + address + " is not 32 hexadecimal digits"};
        a.name = name_of(d, address);
    }
    a.wanted = state_of(d.at("wanted"), a.type);
    if (a.type != OSL_DEV_RELAY && d.contains("lit"))
        a.lit = state_of(d.at("lit"), a.type);
    into.actors[address] = a;
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

namespace {

// The code point at `at` and its length in bytes; 0 bytes when the bytes
// there are no valid UTF-8 (overlong forms and surrogates included).
std::pair<uint32_t, size_t> utf8_at(const std::string &text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t size = 0;
    uint32_t cp = 0;
    uint32_t least = 0;
    if (lead < 0x80)
        return {lead, 1};
    if ((lead & 0xE0) == 0xC0) {
        size = 2, cp = lead & 0x1Fu, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        size = 3, cp = lead & 0x0Fu, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        size = 4, cp = lead & 0x07u, least = 0x10000;
    } else {
        return {0, 0};
    }
    if (at + size > text.size())
        return {0, 0};
    for (size_t i = 1; i < size; i++) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return {0, 0};
        cp = cp << 6 | (byte(at + i) & 0x3Fu);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return {0, 0};
    return {cp, size};
}

bool is_control(uint32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || (cp >= 0x202A && cp <= 0x202E) ||
           (cp >= 0x2066 && cp <= 0x2069);
}

} // namespace

bool is_name(const std::string &text, std::string &why) {
    if (text.empty()) {
        why = "name must not be empty";
        return false;
    }
    size_t chars = 0;
    for (size_t at = 0; at < text.size(); chars++) {
        const auto [cp, size] = utf8_at(text, at);
        if (size == 0) {
            why = "name must be UTF-8 text";
            return false;
        }
        if (is_control(cp)) {
            why = "name must not hold control characters";
            return false;
        }
        at += size;
    }
    if (chars > NAME_MAX_CHARS) {
        why = "name must be at most " + std::to_string(NAME_MAX_CHARS) + " characters";
        return false;
    }
    return true;
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

bool holds_control(const std::string &text) {
    for (size_t i = 0; i < text.size(); i++) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool c1 = c == 0xC2 && i + 1 < text.size() &&
                        static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (c < 0x20 || c == 0x7F || c1)
            return true;
    }
    return false;
}

int read_whole_file(const std::string &path, std::string &text) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    std::string read;
    char chunk[4096];
    int failed = 0;
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            failed = errno;
        if (n <= 0)
            break;
        read.append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    if (failed == 0)
        text = std::move(read);
    return failed;
}

bool Registry::load(RegistryData &into, std::string &error) const {
    // Whatever the file is (a folder, a card failing under it, JSON nested
    // beyond reason) it ends here as one line that stops the bridge, never
    // as an abort.
    const std::string refused = path_ + ": not a state file of this bridge: ";
    try {
        std::string text;
        if (const int failed = read_whole_file(path_, text)) {
            if (failed == ENOENT)
                return true; // nothing adopted yet
            error = path_ + ": cannot be read: " + strerror(failed);
            return false;
        }
        RegistryData read;
        const json j = json::parse(text);
        const int64_t version = whole(j, "version", 1, 1, INT32_MAX);
        if (version > REGISTRY_VERSION)
            throw Refused{"written by a newer bridge (version " + std::to_string(version) + ")"};
        for (const json &d : j.at("devices"))
            read_sensor(d, read);
        for (const json &d : j.value("actors", json::array()))
            read_actor(d, read);
        for (const json &t : j.value("discovery", json::array())) {
            if (!is_topic_name(t.get<std::string>()))
                throw Refused{"a discovery topic is not a topic name"};
            read.discovery.insert(t.get<std::string>());
        }
        into = std::move(read);
        return true;
    } catch (const json::exception &e) {
        // The parser repeats the text it stopped at, which may be an
        // actor's key: keys never reach the log.
        std::string why = e.what();
        why.resize(std::min(why.size(), why.find("; last read:")));
        error = refused + why;
    } catch (const Refused &r) {
        error = refused + r.what;
    } catch (const std::bad_alloc &) {
        error = path_ + ": cannot be read: " + strerror(ENOMEM);
    } catch (const std::exception &e) {
        error = path_ + ": cannot be read: " + e.what();
    }
    return false;
}

namespace {

json sensors_json(const RegistryData &data) {
    json devices = json::array();
    for (const auto &[address, a] : data.sensors) {
        if (a.from_config)
            continue; // the configuration file holds those
        json kinds = json::array();
        for (const auto &[kind, interval] : a.kinds)
            kinds.push_back({{"kind", kind}, {"interval_s", interval}});
        devices.push_back({{"address", address}, {"name", a.name}, {"kinds", kinds}});
    }
    return devices;
}

json actors_json(const RegistryData &data) {
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
    return actors;
}

// The registry's text; false when it cannot be written: a text that is
// not UTF-8 (a name from elsewhere) could never be read back.
bool registry_text(const RegistryData &data, std::string &text, std::string &why) {
    try {
        text = json{{"version", REGISTRY_VERSION},
                    {"devices", sensors_json(data)},
                    {"actors", actors_json(data)},
                    {"discovery", data.discovery}}
                   .dump(2) +
               "\n";
    } catch (const json::exception &e) {
        why = e.what();
        return false;
    }
    return true;
}

} // namespace

bool Registry::save(const RegistryData &data, std::string &error) const {
    std::string text, why;
    if (!registry_text(data, text, why)) {
        error = path_ + ": cannot be written: " + why;
        return false;
    }
    return replace_with(text, error);
}

// Writes, syncs and closes the temporary file: 0, or the errno of the step
// that failed, named in `what`.
int Registry::write_temporary(const std::string &tmp, const std::string &text,
                              const char *&what) const {
    // A temporary file left by an earlier crash may have any mode: begin anew.
    unlink(tmp.c_str());
    what = "cannot create the temporary file";
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    step(Step::Opened);
    const size_t half = text.size() / 2;
    what = "cannot write the temporary file";
    int failed = write_all(fd, text.data(), half, fail_writes_with);
    step(Step::HalfWritten);
    if (failed == 0)
        failed = write_all(fd, text.data() + half, text.size() - half, fail_writes_with);
    step(Step::Written);
    if (failed == 0 && fchmod(fd, 0600) != 0)
        failed = errno, what = "cannot set the temporary file's mode";
    if (failed == 0 && fsync(fd) != 0)
        failed = errno, what = "cannot sync the temporary file";
    // Linux releases the descriptor even when close is interrupted, and
    // the data was synced: only a real error counts.
    if (close(fd) != 0 && errno != EINTR && failed == 0)
        failed = errno, what = "cannot close the temporary file";
    return failed;
}

// Until the folder is synced a power cut may bring the old registry back:
// a save is done only then. A file system that cannot sync a folder
// (EINVAL) has nothing more to do.
bool Registry::sync_folder(std::string &error) const {
    const std::string folder = path_.find('/') == std::string::npos
                                   ? std::string(".")
                                   : path_.substr(0, path_.rfind('/') + 1);
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        error = path_ + ": cannot open its folder to sync it: " + strerror(errno);
        return false;
    }
    const int synced = fsync(dir) == 0 || errno == EINVAL ? 0 : errno;
    close(dir);
    if (synced != 0) {
        error = path_ + ": cannot sync its folder: " + strerror(synced);
        return false;
    }
    return true;
}

// Every failure names the step and its reason, and leaves the old registry
// as it was: the temporary file goes.
bool Registry::replace_with(const std::string &text, std::string &error) const {
    const std::string tmp = path_ + ".tmp";
    const char *what = "";
    if (const int failed = write_temporary(tmp, text, what)) {
        error = path_ + ": " + what + ": " + strerror(failed);
        unlink(tmp.c_str());
        return false;
    }
    step(Step::Synced);
    if (rename(tmp.c_str(), path_.c_str()) != 0) {
        error = path_ + ": cannot rename the temporary file over it: " + strerror(errno);
        unlink(tmp.c_str());
        return false;
    }
    step(Step::Renamed);
    if (!sync_folder(error))
        return false;
    step(Step::FolderSynced);
    return true;
}

} // namespace ostrel::mqtt
