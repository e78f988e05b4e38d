// The bridge's device registry: the sensors and actors it adopted, each
// actor's key and the state the home last asked of it, and the discovery
// configs it published. One JSON file (mode 0600, the service's own),
// replaced whole and atomically, so that a power cut at any moment leaves
// the old registry or the new one.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "osl.h"

namespace ostrel::mqtt {

// An adopted sensor address: configured, or heard while adoption was open.
// One address may carry several of the kit's devices (the weather board
// sends METEO, MOTION and BUTTON frames): each kind heard from it is a
// device of its own in Home Assistant, with a state topic of its own, so
// that no entity ever shows another family's reading of the same name.
struct Adopted {
    std::string name;
    bool from_config = false;
    std::map<std::string, int> kinds; // kind heard ("METEO") -> its reporting interval, s
};

// Up to three state bytes: a relay's channel bits, a dimmer's level, a PWM
// controller's three levels (0 to 100).
using ActorState = std::array<uint8_t, 3>;

// An adopted actor: paired from its key announcement, or configured.
struct ActorEntry {
    int type = 0;     // OSL_DEV_RELAY, OSL_DEV_DIMMER, OSL_DEV_PWM
    std::string name; // shown in Home Assistant
    // 32 hexadecimal digits. Kept here and given to the library only: never
    // published, never written to a log.
    std::string key;
    bool from_config = false; // its name and key live in the configuration file
    ActorState wanted{};      // what the home last asked for
    // The levels a light goes back to when switched on without a level:
    // its last levels that were not all 0 (a relay has none).
    ActorState lit{100, 100, 100};

    // Not kept: what its frames said since the bridge started.
    bool heard = false;
    ActorState in_library_wanted{}; // what the library was last given as wanted
    ActorState reported{};
    std::vector<osl_field> fields; // of its last report (names and units are the library's)
    bool in_library = false;       // registered with the library
};

struct RegistryData {
    std::map<std::string, Adopted> sensors;   // by address
    std::map<std::string, ActorEntry> actors; // by address
    std::set<std::string> discovery;          // config topics out for devices
};

class Registry {
  public:
    explicit Registry(std::string path) : path_(std::move(path)) {}

    // A missing file is an empty registry. false with `error` set when the
    // file exists but cannot be read or is not a registry of this bridge:
    // the bridge then stops and leaves the file as it is.
    bool load(RegistryData &into, std::string &error) const;

    // Writes a temporary file (mode 0600), syncs it, renames it over the old
    // one and syncs the folder. Configured devices are kept with their wanted
    // state only: their name and key are the configuration file's.
    bool save(const RegistryData &data, std::string &error) const;

    // The steps of a save, for tests that stop it at each.
    enum class Step { Opened, HalfWritten, Written, Synced, Renamed, FolderSynced };
    std::function<void(Step)> on_step;
    // For tests: when not 0, every write of a save fails with this errno
    // (ENOSPC plays a full disk, EIO a failing card).
    int fail_writes_with = 0;

    const std::string &path() const { return path_; }

  private:
    bool replace_with(const std::string &text, std::string &error) const;
    int write_temporary(const std::string &tmp, const std::string &text, const char *&what) const;
    bool sync_folder(std::string &error) const;
    void step(Step s) const {
        if (on_step)
            on_step(s);
    }
    std::string path_;
};

// The kit's actor kinds in the registry and in messages.
const char *actor_kind_name(int type);           // "RELAY", "DIMMER", "PWM"; null for others
int actor_type_of(const std::string &kind_name); // 0 for none
// Channels of state: 3 for a PWM controller, else 1.
int actor_channels(int type);
// The highest value a state byte may take: a relay's four channel bits, a level.
int actor_state_max(int type);

bool is_address(const std::string &text); // 12 hexadecimal digits
// A device's name as Home Assistant shows it: 1 to NAME_MAX_CHARS characters
// of valid UTF-8, none of them a control character (C0, DEL, C1) or a
// bidirectional override that could make a name read as another. Otherwise
// false, and `why` says what is wrong (never quoting the name itself).
inline constexpr size_t NAME_MAX_CHARS = 64;
bool is_name(const std::string &text, std::string &why);
bool is_key(const std::string &text); // 32 hexadecimal digits
std::string upper(std::string text);
std::string lower(std::string text);
// Bytes as hexadecimal digits, upper case: an address's 12, a key's 32.
std::string hex_text(const uint8_t *bytes, size_t size);

// A control character (C0, DEL, C1) in a topic: a NUL cuts it short where
// it meets the MQTT library, the others make topics no subscriber expects.
bool holds_control(const std::string &text);

// The whole file at `path` into `text`: 0, or the errno of what failed (a
// missing file, a folder, a failing card). Never throws but std::bad_alloc.
int read_whole_file(const std::string &path, std::string &text);

// A JSON value that is a whole number from `low` to `high`; otherwise
// nothing, and `why` says "NAME must be a whole number from LOW to HIGH".
// Numbers are never narrowed: 1e300 or 2^64 is refused.
std::optional<int64_t> whole_in(const nlohmann::json &value, const char *name, int64_t low,
                                int64_t high, std::string &why);

} // namespace ostrel::mqtt
