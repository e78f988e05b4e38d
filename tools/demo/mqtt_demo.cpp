// ostrel_mqtt's own code against the virtual kit: a private Mosquitto broker
// on a free loopback port, the bridge with the kit's sensors adopted, and a
// subscriber that prints every message of the bridge as it arrives, topic
// first, as a Home Assistant would receive them.
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

std::string config_path;

pid_t spawn(const char *program, char *const argv[]) {
    const pid_t pid = fork();
    if (pid == 0) {
        // A process group of its own: the terminal's Ctrl-C goes to the
        // demonstration alone, which ends these itself once the bridge has
        // said "offline" (the broker would otherwise quit first).
        setpgid(0, 0);
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

int bridge() {
    char arg0[] = "ostrel_mqtt", arg1[] = "--config";
    std::string path = config_path;
    char *argv[] = {arg0, arg1, path.data(), nullptr};
    return ostrel::mqtt::mqtt_main(3, argv);
}

} // namespace

int main(int argc, char **argv) {
    if (access(BROKER, X_OK) != 0 || access(SUBSCRIBER, X_OK) != 0) {
        fprintf(stderr,
                "demo: the mosquitto broker and its clients are needed "
                "(Debian's mosquitto and mosquitto-clients; tools/deps.sh installs them)\n");
        return 2;
    }
    char dir[] = "/tmp/osl-mqtt-demo-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return 2;
    const int port = osl::sim::free_loopback_port();
    const std::string conf = std::string(dir) + "/broker.conf";
    FILE *f = fopen(conf.c_str(), "w");
    fprintf(f, "listener %d 127.0.0.1\nallow_anonymous true\npersistence false\nlog_dest none\n",
            port);
    fclose(f);
    config_path = std::string(dir) + "/mqtt.toml";
    f = fopen(config_path.c_str(), "w");
    fprintf(f,
            "board = \"demo\"\nstate_file = \"%s/state.json\"\n[broker]\nhost = \"127.0.0.1\"\n"
            "port = %d\n[[sensor]]\naddress = \"111111111111\"\nname = \"Garden weather\"\n"
            "[[sensor]]\naddress = \"CBFD786BAA68\"\nname = \"Back door\"\n"
            "[[sensor]]\naddress = \"A0A1A2A3A4A5\"\nname = \"Living room air\"\n",
            dir, port);
    fclose(f);

    char b0[] = "mosquitto", b1[] = "-c";
    std::string conf_arg = conf;
    char *broker_argv[] = {b0, b1, conf_arg.data(), nullptr};
    const pid_t broker = spawn(BROKER, broker_argv);
    for (int i = 0; i < 200 && !osl::sim::loopback_accepts(port); i++)
        usleep(10000);
    std::string port_arg = std::to_string(port);
    char s0[] = "mosquitto_sub", s1[] = "-h", s2[] = "127.0.0.1", s3[] = "-p", s5[] = "-v",
         s6[] = "-t", s7[] = "ostrel/#", s8[] = "-t", s9[] = "homeassistant/sensor/+/config";
    char *sub_argv[] = {s0, s1, s2, s3, port_arg.data(), s5, s6, s7, s8, s9, nullptr};
    printf("demo: broker on 127.0.0.1:%d; every message of the bridge follows, topic first\n",
           port);
    fflush(stdout);
    const pid_t subscriber = spawn(SUBSCRIBER, sub_argv);
    usleep(200000); // the subscriber's connection, before the first message

    const int status = osl::demo::run(argc, argv, bridge);
    usleep(200000); // the last messages reach the subscriber
    end(subscriber);
    end(broker);
    return status;
}
