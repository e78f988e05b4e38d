// ostrel_mqtt's device registry file on arbitrary bytes. The input is the
// file. A file refused leaves what the bridge held untouched and says why;
// a file taken holds actors the library can be given (an address, a kind,
// a key unless configured, states in range), and writing it back and
// reading that again gives the very same registry: nothing is lost or
// changed on its way through the disk. Every entry of the file is an entry
// taken (none swallowed by another of the same address), no address is both
// a sensor and an actor, and every name is one Home Assistant can show.
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "osl.h"
#include "registry.h"
#include "scratch.h"
#include "targets.h"

namespace osl::fuzz {

namespace {

using ostrel::mqtt::ActorEntry;
using ostrel::mqtt::Adopted;
using ostrel::mqtt::Registry;
using ostrel::mqtt::RegistryData;

void check(bool holds) {
    if (!holds)
        abort();
}

// What a refused load must leave as it was.
RegistryData held() {
    RegistryData d;
    d.sensors["ABCDEF012345"].name = "held";
    d.actors["C0FFEE000030"].type = OSL_DEV_DIMMER;
    d.discovery.insert("held/config");
    return d;
}

// The state bytes past an actor's channels, and a relay's levels to go
// back on to, mean nothing and are not kept.
bool same_actor(const ActorEntry &a, const ActorEntry &b) {
    if (a.type != b.type || a.name != b.name || a.key != b.key || a.from_config != b.from_config)
        return false;
    for (int c = 0; c < ostrel::mqtt::actor_channels(a.type); c++) {
        const auto i = static_cast<size_t>(c);
        if (a.wanted[i] != b.wanted[i] || (a.type != OSL_DEV_RELAY && a.lit[i] != b.lit[i]))
            return false;
    }
    return true;
}

bool same(const RegistryData &a, const RegistryData &b) {
    if (a.discovery != b.discovery || a.sensors.size() != b.sensors.size() ||
        a.actors.size() != b.actors.size())
        return false;
    for (const auto &[address, s] : a.sensors) {
        const auto other = b.sensors.find(address);
        if (other == b.sensors.end() || other->second.name != s.name ||
            other->second.kinds != s.kinds || other->second.from_config != s.from_config)
            return false;
    }
    for (const auto &[address, actor] : a.actors) {
        const auto other = b.actors.find(address);
        if (other == b.actors.end() || !same_actor(actor, other->second))
            return false;
    }
    return true;
}

// Empty stands for the kind and the address.
void check_name(const std::string &name) {
    std::string why;
    check(name.empty() || ostrel::mqtt::is_name(name, why));
}

void check_actor(const std::string &address, const ActorEntry &a) {
    check(ostrel::mqtt::is_address(address) && address == ostrel::mqtt::upper(address));
    check_name(a.name);
    check(ostrel::mqtt::actor_kind_name(a.type) != nullptr);
    check(a.from_config ? a.key.empty() : ostrel::mqtt::is_key(a.key));
    const int channels = ostrel::mqtt::actor_channels(a.type);
    for (int c = 0; c < 3; c++) {
        const auto i = static_cast<size_t>(c);
        check(c < channels || a.wanted[i] == 0);
        check(a.wanted[i] <= ostrel::mqtt::actor_state_max(a.type));
    }
}

} // namespace

void mqtt_registry_init() {}

void mqtt_registry_run(const uint8_t *data, size_t size) {
    const std::string path = scratch_write("registry.json", data, size);
    RegistryData loaded = held();
    std::string error;
    if (!Registry(path).load(loaded, error)) {
        check(!error.empty() && error.rfind(path + ":", 0) == 0);
        check(same(loaded, held()));
        return;
    }
    for (const auto &[address, a] : loaded.actors) {
        check_actor(address, a);
        check(loaded.sensors.count(address) == 0);
    }
    for (const auto &[address, s] : loaded.sensors) {
        check(ostrel::mqtt::is_address(address) && address == ostrel::mqtt::upper(address));
        check_name(s.name);
    }
    for (const std::string &topic : loaded.discovery)
        check(!topic.empty() && topic.find_first_of("#+") == std::string::npos);
    // The file taken is JSON; each of its entries is one of the registry.
    const nlohmann::json file = nlohmann::json::parse(data, data + size);
    check(file.at("devices").size() == loaded.sensors.size());
    check(file.value("actors", nlohmann::json::array()).size() == loaded.actors.size());

    const Registry copy(scratch_path("saved.json"));
    check(copy.save(loaded, error));
    RegistryData again;
    check(copy.load(again, error));
    check(same(loaded, again));
}

} // namespace osl::fuzz
