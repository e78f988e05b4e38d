// ostrel_mqtt's configuration file: every error names the file, the line and
// the key, and a full file is read whole.
#include <gtest/gtest.h>

#include <string>

#include "config.h"
#include "osl.h"
#include "registry.h"
#include "support/lib_fixture.h"

namespace osl::test {
namespace {

// A scratch folder for the files of each case.
using MqttConfig = LibFixture;

struct ConfigCase {
    const char *what;
    std::string text;
    std::string message; // after "FILE:"
};

TEST_F(MqttConfig, EachConfigurationErrorNamesTheFileTheLineAndTheKey) {
    const std::string ca = path("ca.pem");
    write_file(ca, "a certificate\n");
    const ConfigCase cases[] = {
        {"syntax", "board = \"a\"\nbroker = [\n", "2: "},
        {"unknown key", "board = \"a\"\ncolour = 1\n", "2: colour: unknown key"},
        {"ill-typed port", "[broker]\nport = \"1883\"\n", "2: broker.port: must be a whole number"},
        {"port out of range", "[broker]\nport = 70000\n",
         "2: broker.port: must be from 1 to 65535"},
        {"bad address", "[[sensor]]\naddress = \"12345\"\n",
         "2: sensor.address: must be 12 hexadecimal digits"},
        {"address twice",
         "[[sensor]]\naddress = \"111111111111\"\n[[sensor]]\naddress = "
         "\"111111111111\"\n",
         "4: sensor.address: 111111111111 is listed twice"},
        {"missing address", "[[sensor]]\nname = \"x\"\n", "1: sensor.address: missing"},
        {"unreadable password file", "[broker]\npassword_file = \"/nonexistent/pw\"\n",
         "2: broker.password_file: cannot read /nonexistent/pw"},
        {"bad lamps", "[library]\nlamps = [26, 19]\n",
         "2: library.lamps: must be three GPIO lines: receive, transmit, power (0 leaves one "
         "out)"},
        {"bad verbosity", "[library]\nverbosity = [\"loud\"]\n",
         "2: library.verbosity: knows \"lib\", \"sensors\", \"actors\" and \"air\""},
        {"bad board", "board = \"my board\"\n",
         "1: board: may hold only letters, digits, '_' and '-'"},
        {"bad prefix", "[topics]\nprefix = \"a/#\"\n",
         "2: topics.prefix: must be a topic level without '#', '+' or a '/' at either end"},
        {"actor of no kind",
         "[[actor]]\nkind = \"fan\"\naddress = \"C0FFEE000020\"\nkey = \"" + std::string(32, 'A') +
             "\"\n",
         "2: actor.kind: must be \"relay\", \"dimmer\" or \"pwm\""},
        // A message stays one line, whatever the file holds.
        {"a key holding a line end", "\"a\\nb\" = 1\n", "1: a?b: unknown key"},
        {"lamp line 1", "[library]\nlamps = [1, 0, 0]\n",
         "2: library.lamps: a GPIO line is 2 to 27, or 0 for none"},
        {"actor without key", "[[actor]]\nkind = \"relay\"\naddress = \"C0FFEE000020\"\n",
         "1: actor.key: missing"},
        // The message never repeats a key, even a malformed one.
        {"short key", "[[actor]]\nkind = \"relay\"\naddress = \"C0FFEE000020\"\nkey = \"ABCD\"\n",
         "4: actor.key: must be 32 hexadecimal digits"},
        {"actor at a sensor's address",
         "[[sensor]]\naddress = \"C0FFEE000020\"\n[[actor]]\nkind = \"dimmer\"\naddress = "
         "\"c0ffee000020\"\nkey = \"" +
             std::string(32, '0') + "\"\n",
         "5: actor.address: C0FFEE000020 is listed twice"},
        // Every save would fail.
        {"empty state file", "board = \"a\"\nstate_file = \"\"\n",
         "2: state_file: must be a file's path"},
        // A name says where it is and why, never what it holds.
        {"sensor name with a control character",
         "[[sensor]]\naddress = \"111111111111\"\nname = \"Hallway\\u0007\"\n",
         "3: sensor.name: name must not hold control characters"},
        {"sensor name too long",
         "[[sensor]]\naddress = \"111111111111\"\nname = \"" + std::string(65, 'x') + "\"\n",
         "3: sensor.name: name must be at most 64 characters"},
        {"sensor name not a string", "[[sensor]]\naddress = \"111111111111\"\nname = 1\n",
         "3: sensor.name: must be a string"},
        {"actor name that reads backwards",
         "[[actor]]\nkind = \"relay\"\naddress = \"C0FFEE000020\"\nkey = \"" +
             std::string(32, 'A') + "\"\nname = \"\\u202eHallway\"\n",
         "5: actor.name: name must not hold control characters"},
        // The key and the line of the prefix at fault, whichever of the two
        // it is and whatever else the table holds.
        {"prefix a wildcard", "[topics]\nprefix = \"+\"\n",
         "2: topics.prefix: must be a topic level without '#', '+' or a '/' at either end"},
        {"prefix beginning with /", "[topics]\nprefix = \"/kit\"\n",
         "2: topics.prefix: must be a topic level without '#', '+' or a '/' at either end"},
        {"prefix ending with /", "[topics]\nprefix = \"kit/\"\n",
         "2: topics.prefix: must be a topic level without '#', '+' or a '/' at either end"},
        {"prefix empty", "[topics]\nprefix = \"\"\n",
         "2: topics.prefix: must be a topic level without '#', '+' or a '/' at either end"},
        {"prefix with a NUL", "[topics]\nprefix = \"a\\u0000b\"\n",
         "2: topics.prefix: must not hold control characters"},
        {"prefix with a tab", "[topics]\nprefix = \"a\\tb\"\n",
         "2: topics.prefix: must not hold control characters"},
        {"prefix with a C1 control", "[topics]\nprefix = \"a\\u0085b\"\n",
         "2: topics.prefix: must not hold control characters"},
        {"discovery prefix alone", "[topics]\ndiscovery_prefix = \"#\"\n",
         "2: topics.discovery_prefix: must be a topic level without '#', '+' or a '/' at either "
         "end"},
        {"discovery prefix after a good prefix",
         "[topics]\nprefix = \"house/kit\"\n\ndiscovery_prefix = \"ha\\u0001\"\n",
         "4: topics.discovery_prefix: must not hold control characters"},
        {"prefix after a good discovery prefix",
         "[topics]\ndiscovery_prefix = \"ha\"\nprefix = \"a/#\"\n",
         "3: topics.prefix: must be a topic level without '#', '+' or a '/' at either end"},
        {"prefix in an inline table", "board = \"a\"\ntopics = { prefix = \"#\" }\n",
         "2: topics.prefix: must be a topic level without '#', '+' or a '/' at either end"},
        {"prefix not a string", "[topics]\nprefix = 5\n", "2: topics.prefix: must be a string"},
        // A TLS file that cannot be read is named now, not as a failure to
        // connect later.
        {"missing CA file", "[broker]\nca_file = \"/nonexistent/ca.pem\"\n",
         "2: broker.ca_file: cannot read /nonexistent/ca.pem"},
        {"CA file a folder", "[broker]\nca_file = \"/tmp\"\n",
         "2: broker.ca_file: cannot read /tmp"},
        {"missing client certificate",
         "[broker]\nca_file = \"" + ca + "\"\ncert_file = \"/nonexistent/c.pem\"\nkey_file = \"" +
             ca + "\"\n",
         "3: broker.cert_file: cannot read /nonexistent/c.pem"},
        {"missing client key",
         "[broker]\nca_file = \"" + ca + "\"\ncert_file = \"" + ca +
             "\"\nkey_file = \"/nonexistent/k.pem\"\n",
         "4: broker.key_file: cannot read /nonexistent/k.pem"},
        {"password file a folder", "[broker]\npassword_file = \"/tmp\"\n",
         "2: broker.password_file: cannot read /tmp"},
    };
    for (const ConfigCase &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string file = path("bad.toml");
        write_file(file, c.text);
        std::string error;
        EXPECT_FALSE(ostrel::mqtt::load_config(file, error).has_value());
        EXPECT_EQ(error.rfind(file + ":" + c.message, 0), 0u) << error;
        EXPECT_EQ(error.find("Hallway"), std::string::npos) << error;
    }
    std::string error;
    EXPECT_FALSE(ostrel::mqtt::load_config(path("none.toml"), error).has_value());
    EXPECT_EQ(error, path("none.toml") + ": cannot be read");
    // A folder given for the file is no empty configuration.
    EXPECT_FALSE(ostrel::mqtt::load_config(dir_, error).has_value());
    EXPECT_EQ(error, dir_ + ": cannot be read");
}

// A name may be left out (the device shows as its kind and address), and may
// be 64 characters of any script.
TEST_F(MqttConfig, NamesAsTheyMayBeWrittenAreTaken) {
    std::string umlauts;
    for (size_t i = 0; i < ostrel::mqtt::NAME_MAX_CHARS; i++)
        umlauts += "\xC3\xBC";
    const std::string file = path("names.toml");
    write_file(file, "[[sensor]]\naddress = \"111111111111\"\nname = \"\"\n"
                     "[[sensor]]\naddress = \"CBFD786BAA68\"\nname = \"" +
                         umlauts +
                         "\"\n[[actor]]\nkind = \"relay\"\naddress = \"C0FFEE000020\"\nkey = \"" +
                         std::string(32, 'A') + "\"\n");
    std::string error;
    const auto c = ostrel::mqtt::load_config(file, error);
    ASSERT_TRUE(c.has_value()) << error;
    ASSERT_EQ(c->sensors.size(), 2u);
    EXPECT_EQ(c->sensors[0].name, "");
    EXPECT_EQ(c->sensors[1].name, umlauts);
    ASSERT_EQ(c->actors.size(), 1u);
    EXPECT_EQ(c->actors[0].name, "");
}

TEST_F(MqttConfig, AFullConfigurationIsReadWhole) {
    write_file(path("pw"), "secret\n");
    write_file(path("ca.pem"), "a certificate\n");
    const std::string file = path("good.toml");
    write_file(file, "board = \"hall\"\nstate_file = \"/tmp/s.json\"\n"
                     "[broker]\nhost = \"10.0.0.2\"\nport = 8883\nuser = \"kit\"\n"
                     "password_file = \"" +
                         path("pw") + "\"\nca_file = \"" + path("ca.pem") +
                         "\"\n"
                         "[topics]\nprefix = \"house/kit\"\ndiscovery_prefix = \"ha\"\n"
                         "[library]\nlamps = [26, 0, 13]\nverbosity = [\"lib\", \"sensors\"]\n"
                         "[[sensor]]\naddress = \"cbfd786baa68\"\nname = \"Door\"\n"
                         "[[actor]]\nkind = \"PWM\"\naddress = \"c0ffee000022\"\n"
                         "key = \"f58c4c04d6e5f1ba779eabfb5f7bfbd6\"\nname = \"Shelf\"\n");
    std::string error;
    const auto c = ostrel::mqtt::load_config(file, error);
    ASSERT_TRUE(c.has_value()) << error;
    EXPECT_EQ(c->board, "hall");
    EXPECT_EQ(c->state_file, "/tmp/s.json");
    EXPECT_EQ(c->host, "10.0.0.2");
    EXPECT_EQ(c->port, 8883);
    EXPECT_EQ(c->user, "kit");
    EXPECT_EQ(c->password, "secret");
    EXPECT_EQ(c->ca_file, path("ca.pem"));
    EXPECT_EQ(c->prefix, "house/kit");
    EXPECT_EQ(c->discovery_prefix, "ha");
    EXPECT_EQ(c->lamp_rx, 26);
    EXPECT_EQ(c->lamp_tx, 0);
    EXPECT_EQ(c->lamp_pwr, 13);
    EXPECT_EQ(c->verbosity, OSL_LOG_LIB | OSL_LOG_SENSORS);
    ASSERT_EQ(c->sensors.size(), 1u);
    EXPECT_EQ(c->sensors[0].address, "CBFD786BAA68");
    EXPECT_EQ(c->sensors[0].name, "Door");
    ASSERT_EQ(c->actors.size(), 1u);
    EXPECT_EQ(c->actors[0].type, OSL_DEV_PWM);
    EXPECT_EQ(c->actors[0].address, "C0FFEE000022");
    EXPECT_EQ(c->actors[0].key, "F58C4C04D6E5F1BA779EABFB5F7BFBD6");
    EXPECT_EQ(c->actors[0].name, "Shelf");
}

} // namespace
} // namespace osl::test
