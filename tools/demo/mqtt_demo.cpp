// ostrel_mqtt's own code against the virtual kit: a private Mosquitto broker
// on a free loopback port, the bridge with the kit's sensors adopted, and a
// subscriber that prints every message of the bridge as it arrives, topic
// first, as a Home Assistant would receive them. A little script plays the
// home's part: it opens adoption, so that the kit's actors are paired from
// their own key announcements, then switches each of them by a message.
// All of it runs in a worker process under a supervisor that, however the
// worker ends, ends whatever it left running and removes the scratch folder.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "demo.h"
#include "mqtt.h"
#include "sim/loopback.h"

namespace {

constexpr const char *BROKER = "/usr/sbin/mosquitto";
constexpr const char *SUBSCRIBER = "/usr/bin/mosquitto_sub";
constexpr const char *PUBLISHER = "/usr/bin/mosquitto_pub";

// What the home does, and when (seconds after the start).
struct Step {
    unsigned at_s;
    const char *note;
    const char *topic;
    const char *payload;
};
constexpr Step SCRIPT[] = {
    {3, "opening adoption for 60 s: the actors announcing their keys are paired",
     "ostrel/bridge/request/permit_join", R"({"time": 60})"},
    {15, "relay channel 1 on", "ostrel/C0FFEE000020/set", R"({"channel": 1, "state": "ON"})"},
    {15, "dimmer to 60 %", "ostrel/C0FFEE000021/set", R"({"state": "ON", "brightness": 60})"},
    {15, "PWM controller to orange at 80 %", "ostrel/C0FFEE000022/set",
     R"({"state": "ON", "brightness": 80, "color": {"r": 255, "g": 128, "b": 0}})"},
};

std::string config_path;

// The demonstration's own wait for its broker; generous, for a loaded machine.
constexpr int BROKER_START_MS = 10000;

pid_t spawn(const char *program, char *const argv[]) {
    const pid_t pid = osl::demo::fork_helper();
    if (pid == 0) {
        execv(program, argv);
        _exit(127);
    }
    return pid;
}

void end(pid_t pid) {
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

bool write_file(const std::string &path, const std::string &text) {
    FILE *f = fopen(path.c_str(), "w");
    if (f == nullptr)
        return false;
    fputs(text.c_str(), f);
    return fclose(f) == 0;
}

// True once the broker accepts connections; false when it ended (`broker`
// then -1: nothing left to end) or never did.
bool broker_started(pid_t &broker, int port) {
    for (int waited = 0; waited < BROKER_START_MS; waited += 10) {
        if (osl::sim::loopback_accepts(port))
            return true;
        if (waitpid(broker, nullptr, WNOHANG) == broker) {
            broker = -1;
            return false;
        }
        usleep(10000);
    }
    return false;
}

// The script, in a process of its own: one mosquitto_pub per step.
void play_script(int port) {
    unsigned now = 0;
    std::string port_arg = std::to_string(port);
    for (const Step &step : SCRIPT) {
        if (step.at_s > now)
            sleep(step.at_s - now);
        now = step.at_s;
        fprintf(stderr, "demo: %s\n", step.note);
        std::string topic = step.topic, payload = step.payload;
        char p0[] = "mosquitto_pub", p1[] = "-h", p2[] = "127.0.0.1", p3[] = "-p", p5[] = "-t",
             p7[] = "-m";
        char *argv[] = {p0,     p1, p2, p3, port_arg.data(), p5, topic.data(), p7, payload.data(),
                        nullptr};
        const pid_t pub = spawn(PUBLISHER, argv);
        if (pub > 0)
            waitpid(pub, nullptr, 0);
    }
}

int bridge() {
    char arg0[] = "ostrel_mqtt", arg1[] = "--config";
    std::string path = config_path;
    char *argv[] = {arg0, arg1, path.data(), nullptr};
    return ostrel::mqtt::mqtt_main(3, argv);
}

// Everything but the supervision, in the scratch folder `dir`.
int demonstrate(int argc, char **argv, const char *dir) {
    const int port = osl::sim::free_loopback_port();
    const std::string conf = std::string(dir) + "/broker.conf";
    config_path = std::string(dir) + "/mqtt.toml";
    const std::string port_text = std::to_string(port);
    // Run as root, the broker would change to its own user, and a process
    // that changes user loses the signal that ends it with the worker.
    const std::string same_user = geteuid() == 0 ? "user root\n" : "";
    if (!write_file(conf, "listener " + port_text +
                              " 127.0.0.1\nallow_anonymous true\npersistence false\n"
                              "log_dest none\n" +
                              same_user) ||
        !write_file(config_path,
                    "board = \"demo\"\nstate_file = \"" + std::string(dir) +
                        "/state.json\"\n[broker]\nhost = \"127.0.0.1\"\nport = " + port_text +
                        "\n[[sensor]]\naddress = \"111111111111\"\nname = \"Garden weather\"\n"
                        "[[sensor]]\naddress = \"CBFD786BAA68\"\nname = \"Back door\"\n"
                        "[[sensor]]\naddress = \"A0A1A2A3A4A5\"\nname = \"Living room air\"\n")) {
        perror("demo: the broker's and the bridge's configuration");
        return 2;
    }

    char b0[] = "mosquitto", b1[] = "-c";
    std::string conf_arg = conf;
    char *broker_argv[] = {b0, b1, conf_arg.data(), nullptr};
    pid_t broker = spawn(BROKER, broker_argv);
    if (broker < 0 || !broker_started(broker, port)) {
        fprintf(stderr, "demo: the broker did not start on 127.0.0.1:%d\n", port);
        end(broker);
        return 2;
    }
    std::string port_arg = port_text;
    char s0[] = "mosquitto_sub", s1[] = "-h", s2[] = "127.0.0.1", s3[] = "-p", s5[] = "-v",
         s6[] = "-t", s7[] = "ostrel/#", s8[] = "-t", s9[] = "homeassistant/sensor/+/config";
    char *sub_argv[] = {s0, s1, s2, s3, port_arg.data(), s5, s6, s7, s8, s9, nullptr};
    printf("demo: broker on 127.0.0.1:%d; every message of the bridge follows, topic first\n",
           port);
    fflush(stdout);
    const pid_t subscriber = spawn(SUBSCRIBER, sub_argv);
    usleep(200000); // the subscriber's connection, before the first message
    const pid_t script = osl::demo::fork_helper();
    if (script == 0) {
        play_script(port);
        _exit(0);
    }

    osl::demo::Setup setup;
    setup.scratch = dir;
    const int status = osl::demo::run(argc, argv, bridge, setup);
    usleep(200000); // the last messages reach the subscriber
    end(script);
    end(subscriber);
    end(broker);
    return status;
}

} // namespace

int main(int argc, char **argv) {
    if (access(BROKER, X_OK) != 0 || access(SUBSCRIBER, X_OK) != 0 ||
        access(PUBLISHER, X_OK) != 0) {
        fprintf(stderr,
                "demo: the mosquitto broker and its clients are needed "
                "(Debian's mosquitto and mosquitto-clients; tools/deps.sh installs them)\n");
        return 2;
    }
    if (!osl::demo::arguments_ok(argc, argv))
        return 2;
    return osl::demo::supervise(
        [argc, argv](const char *dir) { return demonstrate(argc, argv, dir); });
}
