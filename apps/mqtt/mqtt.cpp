#include "mqtt.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include <systemd/sd-daemon.h>

#include "bridge.h"
#include "client.h"
#include "config.h"
#include "osl.h"

namespace ostrel::mqtt {

namespace {

// One pass per tick: records wait at most 10 ms before they go out.
constexpr int PASS_MS = 10;
constexpr int MIN_LIB_VERSION = 0x200;

int64_t wall_s() {
    return static_cast<int64_t>(time(nullptr));
}

int64_t monotonic_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// SIGTERM (systemd's stop) ends the loop as SIGINT does: through the
// library's own stop flag.
void on_term(int) {
    raise(SIGINT);
}

struct Options {
    std::string config = DEFAULT_CONFIG_PATH;
    int permit_join_s = 0;
    bool help = false;
    bool version = false;
};

bool parse(int argc, char **argv, Options &o, std::string &error) {
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        auto value = [&](const char *name) -> const char * {
            if (i + 1 >= argc) {
                error = std::string(name) + " needs a value";
                return nullptr;
            }
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--version") {
            o.version = true;
        } else if (a == "--config") {
            const char *v = value("--config");
            if (v == nullptr)
                return false;
            o.config = v;
        } else if (a == "--permit-join") {
            const char *v = value("--permit-join");
            if (v == nullptr)
                return false;
            char *end = nullptr;
            const long s = strtol(v, &end, 10);
            if (*v == '\0' || *end != '\0' || s < 0 || s > 3600) {
                error = "--permit-join takes a number of seconds from 0 to 3600";
                return false;
            }
            o.permit_join_s = static_cast<int>(s);
        } else {
            error = "unknown option " + a;
            return false;
        }
    }
    return true;
}

// Tells systemd the loop runs, and keeps its watchdog fed while it does.
class Service {
  public:
    Service() {
        uint64_t usec = 0;
        if (sd_watchdog_enabled(0, &usec) > 0)
            every_ms_ = static_cast<int64_t>(usec / 2000);
    }
    void ready() { sd_notify(0, "READY=1"); }
    void alive(int64_t now_ms) {
        if (every_ms_ > 0 && now_ms >= next_ms_) {
            sd_notify(0, "WATCHDOG=1");
            next_ms_ = now_ms + every_ms_;
        }
    }
    void stopping() { sd_notify(0, "STOPPING=1"); }

  private:
    int64_t every_ms_ = 0;
    int64_t next_ms_ = 0;
};

// What the bridge subscribes to, and where the connection's news goes.
void wire(Client &client, Bridge &bridge) {
    client.subscribe_on_connect(bridge.request_topic());
    client.subscribe_on_connect(bridge.command_topic());
    client.subscribe_on_connect(bridge.ha_status_topic());
    client.claim_name_on(bridge.claim_topic());
    client.on_connected([&] { bridge.connected(); });
    client.on_message([&](const std::string &t, std::string_view p, bool retained) {
        bridge.message(t, p, retained);
    });
}

// The library opened, or the exit status of why not.
int open_library(const Config &config) {
    if (osl_bt_lib_version() < MIN_LIB_VERSION) {
        fprintf(stderr, "ostrel_mqtt: the library is older than 2.0\n");
        return EXIT_LIB_TOO_OLD;
    }
    // The bridge holds actors' keys: none goes to its log, whatever the verbosity.
    const int opened = osl_bt_open(config.lamp_rx, config.lamp_tx, config.lamp_pwr,
                                   config.verbosity | OSL_LOG_HIDE_KEYS);
    if (opened != OSL_OPEN_OK) {
        fflush(stdout);
        const char *why = osl_result_text(OSL_OP_OPEN, opened);
        fprintf(stderr, "ostrel_mqtt: the library did not open (code %d): %s\n", opened,
                why != nullptr ? why : "a code this program does not know");
        return EXIT_BAD_SETUP;
    }
    return EXIT_STOPPED;
}

// The radio loop, until SIGINT or SIGTERM: its exit status.
int radio_loop(Bridge &bridge, Client &client) {
    Service service;
    service.ready();
    int status = EXIT_STOPPED;
    try {
        while (osl_bt_running()) {
            bridge.drain();
            const int64_t now = monotonic_ms();
            client.service(now);
            if (client.taken_over()) {
                status = EXIT_NAME_TAKEN;
                break;
            }
            bridge.pass(client.more_waiting());
            service.alive(now);
            osl_sleep_ms(PASS_MS);
        }
    } catch (const std::bad_alloc &) {
        // Not an abort: the library is closed (lamps dark, scan stopped) and
        // the service manager starts the bridge afresh.
        fprintf(stderr, "ostrel_mqtt: out of memory: stopping\n");
        status = EXIT_NO_MEMORY;
    }
    service.stopping();
    return status;
}

int run(const Config &config, const Options &options) {
    Registry store(config.state_file);
    Client client(config, config.prefix + "/bridge/" + config.board + "/state");
    Bridge bridge(config, client, store, wall_s);
    std::string error;
    if (!bridge.start(error)) {
        fprintf(stderr, "ostrel_mqtt: %s (left as it is)\n", error.c_str());
        return EXIT_BAD_SETUP;
    }
    if (!client.setup(error)) {
        fprintf(stderr, "ostrel_mqtt: %s\n", error.c_str());
        return EXIT_BAD_SETUP;
    }
    wire(client, bridge);
    if (const int status = open_library(config); status != EXIT_STOPPED)
        return status;
    signal(SIGTERM, on_term);
    if (options.permit_join_s > 0)
        bridge.permit_join(options.permit_join_s);
    bridge.restore();
    const int status = radio_loop(bridge, client);
    client.close("offline");
    osl_bt_close();
    return status;
}

} // namespace

std::string usage() {
    return "usage: ostrel_mqtt [--config FILE] [--permit-join SECONDS]\n"
           "       ostrel_mqtt --help | --version\n"
           "\n"
           "Bridges the Ostrel kit's sensors and actors to an MQTT broker and Home Assistant.\n"
           "\n"
           "  --config FILE           the configuration (default /etc/ostrel/mqtt.toml)\n"
           "  --permit-join SECONDS   adopt the sensors heard and pair the actors announcing\n"
           "                          their keys in the first SECONDS\n"
           "  --help                  this text\n"
           "  --version               the program's and the library's versions\n";
}

int mqtt_main(int argc, char **argv) {
    // Line by line, so that lines reach the journal as they happen.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Options options;
    std::string error;
    if (!parse(argc, argv, options, error)) {
        fprintf(stderr, "ostrel_mqtt: %s\n%s", error.c_str(), usage().c_str());
        return EXIT_BAD_SETUP;
    }
    if (options.help) {
        fputs(usage().c_str(), stdout);
        return EXIT_STOPPED;
    }
    if (options.version) {
        printf("ostrel_mqtt %s (library %X.%X)\n", VERSION, osl_bt_lib_version() >> 8,
               osl_bt_lib_version() & 0xFF);
        return EXIT_STOPPED;
    }
    const std::optional<Config> config = load_config(options.config, error);
    if (!config) {
        fprintf(stderr, "ostrel_mqtt: %s\n", error.c_str());
        return EXIT_BAD_SETUP;
    }
    return run(*config, options);
}

} // namespace ostrel::mqtt
