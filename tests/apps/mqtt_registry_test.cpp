// ostrel_mqtt's device registry on disk: what a save leaves behind when it
// is killed or fails, and the files the bridge refuses to stand behind.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bridge.h"
#include "fake_broker.h"
#include "registry.h"
#include "sim/virtkit/kit.h"
#include "support/lib_fixture.h"

namespace osl::test {
namespace {

using ostrel::mqtt::Bridge;
using ostrel::mqtt::Config;
using ostrel::mqtt::Registry;
using ostrel::mqtt::RegistryData;

// Bridge::start over the registry at `file`, as the program starts it.
bool bridge_starts(const std::string &file, std::string &error) {
    Config config;
    config.state_file = file;
    FakeBroker broker;
    Registry store(file);
    Bridge bridge(config, broker, store, [] { return int64_t{1700000000}; });
    return bridge.start(error);
}

// A scratch folder (emptied whole afterwards, whatever a case left there).
class RegistryFile : public LibFixture {
  protected:
    void SetUp() override {
        LibFixture::SetUp();
        dir = dir_;
    }
    static RegistryData with_relay(uint8_t wanted) {
        RegistryData d;
        ostrel::mqtt::ActorEntry a;
        a.type = OSL_DEV_RELAY;
        a.name = "Porch";
        a.key = virtkit::RELAY_KEY;
        a.wanted = {wanted, 0, 0};
        d.actors[virtkit::RELAY_ADDR] = a;
        d.sensors["111111111111"].kinds["METEO"] = 4;
        return d;
    }
    std::string dir;
};

// A save killed at each step of its write leaves the old registry (before
// the rename) or the new one (after it), never a torn file.
TEST_F(RegistryFile, ASaveKilledAtAnyStepLeavesTheOldOrTheNewRegistry) {
    using Step = Registry::Step;
    const Step steps[] = {Step::Opened, Step::HalfWritten, Step::Written,
                          Step::Synced, Step::Renamed,     Step::FolderSynced};
    const std::string file = dir + "/registry.json";
    for (Step at : steps) {
        SCOPED_TRACE(static_cast<int>(at));
        std::string error;
        ASSERT_TRUE(Registry(file).save(with_relay(0x01), error)) << error;
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            Registry r(file);
            r.on_step = [at](Step s) {
                if (s == at)
                    raise(SIGKILL);
            };
            std::string e;
            r.save(with_relay(0x0F), e);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
        RegistryData read;
        ASSERT_TRUE(Registry(file).load(read, error)) << error;
        const uint8_t expected = at >= Step::Renamed ? 0x0F : 0x01;
        EXPECT_EQ(read.actors.at(virtkit::RELAY_ADDR).wanted[0], expected);
        EXPECT_EQ(read.actors.at(virtkit::RELAY_ADDR).key, virtkit::RELAY_KEY);
        EXPECT_EQ(read.sensors.at("111111111111").kinds.at("METEO"), 4);
        // What a killed save left behind does not stop the next one.
        ASSERT_TRUE(Registry(file).save(with_relay(0x03), error)) << error;
    }
}

struct BadRegistry {
    const char *what;
    std::string text;
    const char *error;
};

// A registry the bridge cannot stand behind stops it, and stays as it is:
// it is never replaced by an empty one.
TEST_F(RegistryFile, ARegistryThatCannotBeReadStopsTheBridgeAndIsLeftAlone) {
    const std::string actor = R"({"address": "C0FFEE000020", "kind": "RELAY", "name": "x", )";
    const BadRegistry cases[] = {
        {"not JSON", "{ not json", "not a state file of this bridge"},
        {"no devices", R"({"version": 2})", "devices"},
        {"actor without key", R"({"devices": [], "actors": [)" + actor + R"("wanted": [1]}]})",
         "key"},
        {"short key",
         R"({"devices": [], "actors": [)" + actor + R"("key": "ABCD", "wanted": [1]}]})",
         "32 hexadecimal digits"},
        {"unknown kind",
         R"({"devices": [], "actors": [{"address": "C0FFEE000020", "kind": "FAN", "wanted": [1]}]})",
         "no known kind"},
        {"relay bits beyond its channels",
         R"({"devices": [], "actors": [)" + actor + R"("key": ")" + std::string(32, 'A') +
             R"(", "wanted": [16]}]})",
         "out of range"},
        {"newer bridge", R"({"version": 9, "devices": []})", "newer"},
        {"version beyond a number", R"({"version": 1e300, "devices": []})",
         "version must be a whole number"},
        {"interval beyond a number",
         R"({"devices": [{"address": "111111111111", "kinds": [{"kind": "METEO", )"
         R"("interval_s": 99999999999}]}]})",
         "interval_s must be"},
        {"sensor address", R"({"devices": [{"address": "garden"}]})", "12 hexadecimal digits"},
    };
    const std::string file = dir + "/registry.json";
    for (const BadRegistry &c : cases) {
        SCOPED_TRACE(c.what);
        write_file(file, c.text);
        std::string error;
        EXPECT_FALSE(bridge_starts(file, error));
        EXPECT_NE(error.find(file + ": not a state file of this bridge"), std::string::npos)
            << error;
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_EQ(read_file(file), c.text);
    }
}

// The same address twice, an address that is both, a name Home Assistant
// could not show, a kind that is no sensor's, a file that is no file: each
// refused with a line that says why and names the device (never its key or
// the bad text), and what the caller held and the file both stay as they
// were.
struct Refusal {
    const char *what;
    std::string text;  // empty: the registry's path is a folder
    const char *error; // after "PATH: "
};

TEST_F(RegistryFile, EachRegistryThatMakesNoSenseIsRefusedWithItsReasonAndKept) {
    const std::string key = virtkit::RELAY_KEY;
    const std::string relay = R"("kind": "RELAY", "key": ")" + key + R"(", "wanted": [1])";
    const std::string sensor =
        R"({"devices": [{"address": "111111111111", "kinds": [{"kind": "METEO"}], )";
    const std::string valid = R"({"version": 2, "devices": [], "actors": [)"
                              R"({"address": "C0FFEE000020", "name": "Porch", )" +
                              relay + "}]}";
    const std::string stop = "not a state file of this bridge: ";
    const std::string hidden = "Hallway";
    const Refusal cases[] = {
        {"a folder", "", "cannot be read: Is a directory"},
        {"a sensor twice in two letter cases",
         R"({"devices": [{"address": "C0FFEE000020", "name": "a"}, )"
         R"({"address": "c0ffee000020", "name": "b"}]})",
         "the sensor C0FFEE000020 is listed twice"},
        {"an actor twice in two letter cases",
         R"({"devices": [], "actors": [{"address": "c0ffee000020", )" + relay +
             R"(}, {"address": "C0FFEE000020", )" + relay + "}]}",
         "the actor C0FFEE000020 is listed twice"},
        {"an actor twice in one letter case",
         R"({"devices": [], "actors": [{"address": "C0FFEE000020", )" + relay +
             R"(}, {"address": "C0FFEE000020", )" + relay + "}]}",
         "the actor C0FFEE000020 is listed twice"},
        {"a sensor that is an actor",
         R"({"devices": [{"address": "C0FFEE000020"}], "actors": [{"address": "c0ffee000020", )" +
             relay + "}]}",
         "C0FFEE000020 is listed as a sensor and as an actor"},
        {"a sensor's name with a control character",
         sensor + R"("name": ")" + hidden + R"(\u0007"}]})",
         "the name of 111111111111: name must not hold control characters"},
        {"an actor's name that reads backwards",
         R"({"devices": [], "actors": [{"address": "C0FFEE000020", "name": "\u202e)" + hidden +
             R"(", )" + relay + "}]}",
         "the name of C0FFEE000020: name must not hold control characters"},
        {"an actor's name too long",
         R"({"devices": [], "actors": [{"address": "C0FFEE000020", "name": ")" +
             std::string(65, 'x') + R"(", )" + relay + "}]}",
         "the name of C0FFEE000020: name must be at most 64 characters"},
        {"a sensor kind no sensor has",
         R"({"devices": [{"address": "111111111111", "kinds": [{"kind": "#"}]}]})",
         "a kind of 111111111111 is no sensor kind"},
        {"an actor's kind as a sensor's",
         R"({"devices": [{"address": "111111111111", "kinds": [{"kind": "RELAY"}]}]})",
         "a kind of 111111111111 is no sensor kind"},
        {"a discovery topic that is a filter", R"({"devices": [], "discovery": ["ha/#"]})",
         "a discovery topic is not a topic name"},
        // Cut inside an actor's key: the parser's complaint would repeat it.
        {"a truncated file", valid.substr(0, valid.find(key) + 10),
         "[json.exception.parse_error.101] parse error at line 1, column "},
    };
    const std::string file = dir + "/registry.json";
    for (const Refusal &c : cases) {
        SCOPED_TRACE(c.what);
        rmdir(file.c_str());
        if (c.text.empty()) {
            ASSERT_EQ(mkdir(file.c_str(), 0700), 0);
        } else {
            write_file(file, c.text);
        }
        const std::string expected =
            file + ": " + (c.text.empty() ? std::string() : stop) + c.error;

        RegistryData held;
        held.sensors["ABCDEF012345"].name = "held";
        std::string error;
        EXPECT_FALSE(Registry(file).load(held, error));
        EXPECT_EQ(error.substr(0, expected.size()), expected) << error;
        EXPECT_EQ(error.find(key.substr(0, 8)), std::string::npos) << error;
        EXPECT_EQ(error.find(hidden), std::string::npos) << error;
        EXPECT_EQ(held.sensors.size(), 1u);
        EXPECT_TRUE(held.actors.empty());

        // The bridge stops with that line.
        std::string stopped;
        EXPECT_FALSE(bridge_starts(file, stopped));
        EXPECT_EQ(stopped, error);

        struct stat st {};
        ASSERT_EQ(stat(file.c_str(), &st), 0);
        if (c.text.empty())
            EXPECT_TRUE(S_ISDIR(st.st_mode));
        else
            EXPECT_EQ(read_file(file), c.text);
        unlink(file.c_str());
    }
}

// What the bridge itself writes, and what a careful hand writes, is taken:
// an address in lower case, an empty name (shown as kind and address), a
// name of 64 characters of any script.
TEST_F(RegistryFile, NamesAndAddressesAsTheyMayBeWrittenAreTaken) {
    std::string long_name;
    for (size_t i = 0; i < ostrel::mqtt::NAME_MAX_CHARS; i++)
        long_name += "\u00fc";
    const std::string file = dir + "/registry.json";
    write_file(file, R"({"version": 2, "devices": [{"address": "cbfd786baa68", "name": "", )"
                     R"("kinds": [{"kind": "MAGNETO", "interval_s": 8}]}], "actors": [)"
                     R"({"address": "c0ffee000020", "kind": "RELAY", "name": ")" +
                         long_name + R"(", "key": ")" + virtkit::RELAY_KEY +
                         R"(", "wanted": [1]}], "discovery": ["homeassistant/device/x/config"]})");
    RegistryData read;
    std::string error;
    ASSERT_TRUE(Registry(file).load(read, error)) << error;
    EXPECT_EQ(read.sensors.at("CBFD786BAA68").name, "");
    EXPECT_EQ(read.sensors.at("CBFD786BAA68").kinds.at("MAGNETO"), 8);
    std::string umlauts;
    for (size_t i = 0; i < ostrel::mqtt::NAME_MAX_CHARS; i++)
        umlauts += "\xC3\xBC";
    EXPECT_EQ(read.actors.at("C0FFEE000020").name, umlauts);
    EXPECT_EQ(read.discovery.size(), 1u);
}

struct SaveFailure {
    const char *what;
    int fail_writes_with; // 0: the disk takes every write
    const char *path;     // beneath the case's folder
    const char *error;    // after "PATH: "
};

// A save that cannot be made says which step failed and why, reports no
// success, leaves the old registry as it was and no temporary file behind.
TEST_F(RegistryFile, ASaveThatFailsSaysWhyAndLeavesTheOldRegistry) {
    const SaveFailure cases[] = {
        {"a full disk", ENOSPC, "registry.json",
         "cannot write the temporary file: No space left on device"},
        {"a failing card", EIO, "registry.json",
         "cannot write the temporary file: Input/output error"},
        {"a folder that is not there", 0, "gone/registry.json",
         "cannot create the temporary file: No such file or directory"},
        {"a folder replaced by a file", 0, "file/registry.json",
         "cannot create the temporary file: Not a directory"},
        {"a folder in the registry's place", 0, "folder",
         "cannot rename the temporary file over it: Is a directory"},
    };
    write_file(dir + "/file", "a file\n");
    ASSERT_EQ(mkdir((dir + "/folder").c_str(), 0700), 0);
    for (const SaveFailure &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string file = dir + "/" + c.path;
        std::string error;
        if (c.fail_writes_with != 0) {
            ASSERT_TRUE(Registry(file).save(with_relay(0x01), error)) << error;
        }
        const std::string before = read_file(file);

        Registry store(file);
        store.fail_writes_with = c.fail_writes_with;
        EXPECT_FALSE(store.save(with_relay(0x0F), error));
        EXPECT_EQ(error, file + ": " + c.error);
        EXPECT_EQ(read_file(file), before);
        EXPECT_NE(access((file + ".tmp").c_str(), F_OK), 0);
        if (c.fail_writes_with != 0) {
            RegistryData read;
            ASSERT_TRUE(Registry(file).load(read, error)) << error;
            EXPECT_EQ(read.actors.at(virtkit::RELAY_ADDR).wanted[0], 0x01);
        }
    }
}

// A name that is not UTF-8 could be written but never read back: nothing is
// written, and the save says so rather than throwing.
TEST_F(RegistryFile, ANameThatIsNotTextIsNeverWritten) {
    const std::string file = dir + "/registry.json";
    std::string error;
    ASSERT_TRUE(Registry(file).save(with_relay(0x01), error)) << error;
    const std::string before = read_file(file);
    RegistryData bad = with_relay(0x0F);
    bad.actors.at(virtkit::RELAY_ADDR).name = "Porch\xFF";
    EXPECT_FALSE(Registry(file).save(bad, error));
    EXPECT_EQ(error.rfind(file + ": cannot be written: ", 0), 0u) << error;
    EXPECT_EQ(read_file(file), before);
}

} // namespace
} // namespace osl::test
