// ostrel_mqtt under a flood of commands, through a private Mosquitto on
// loopback: the whole program (options, configuration, library, broker
// client) in a child process with the in-process virtual kit, one relay
// configured, and a burst of 10,000 relay commands sent as fast as a client
// can, each with a transaction of its own ("f0" ... "f9999"), then one more
// ("last") that wants channel 0 on.
//
// Reported: how many of the burst were answered on the bridge's response
// topic (ok, error) and when the last of them came; how long "last" waited
// from leaving this process to its answer (the goal: within 2 s; a
// command's answer comes once it went on the air); the relay's last
// reported state; the bridge's resident memory peak; its stats message;
// and whether the broker dropped messages on their way to a slow client.
//
// Not a timed test: a report, which ends with status 0 whatever it found,
// and 1 only when it could not set up. The run is bounded: answers are
// waited for at most --bound=SECONDS (300) from the first command; then the
// bridge is stopped with SIGTERM (SIGKILL if it does not end).
//   mqtt_flood_bench [--qos=0|1] [--bound=SECONDS]
// Home Assistant publishes commands at QoS 0, the default here. Other
// arguments (tools/bench.sh passes its own to every benchmark) are ignored.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include "mqtt.h"
#include "sim/loopback.h"
#include "sim/virtkit/in_process.h"
#include "support/quiet_thread.h"

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr const char *MOSQUITTO = "/usr/sbin/mosquitto";
constexpr const char *BOARD = "flood";
constexpr int BURST = 10000;
constexpr const char *LAST = "last";
constexpr int RELAY_CHANNELS = 4;
constexpr int LAST_GOAL_MS = 2000;
constexpr auto SETUP_DEADLINE = std::chrono::seconds(60);
// The bridge sends its stats every 30 s: a wait of 40 s sees the next.
constexpr auto STATS_DEADLINE = std::chrono::seconds(40);
constexpr auto STOP_DEADLINE = std::chrono::seconds(30);
constexpr auto POLL = std::chrono::milliseconds(10);
constexpr int BRIDGE_TAIL_LINES = 5;

const std::string RESPONSE_TOPIC = "ostrel/bridge/response";
const std::string STATE_TOPIC = std::string("ostrel/bridge/") + BOARD + "/state";
const std::string STATS_TOPIC = std::string("ostrel/bridge/") + BOARD + "/stats";
const std::string SET_TOPIC = std::string("ostrel/") + osl::virtkit::RELAY_ADDR + "/set";
const std::string RELAY_STATE_TOPIC = std::string("ostrel/") + osl::virtkit::RELAY_ADDR + "/state";
// The broker's count of messages it dropped for clients too slow to take
// them (its queue limits), published every second (sys_interval below).
const std::string DROPPED_TOPIC = "$SYS/broker/publish/messages/dropped";

double seconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

template <class F> bool wait_until(F cond, Clock::duration deadline) {
    const Clock::time_point end = Clock::now() + deadline;
    while (!cond()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(POLL);
    }
    return true;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// "f<n>", appended in place: GCC 12 at -O3 misreads a concatenation with
// the temporary as overlapping copies (-Wrestrict).
std::string burst_transaction(int n) {
    std::string t = "f";
    t += std::to_string(n);
    return t;
}

// A child process running `body`, its standard output and error to `out`.
// Forked before this process starts a thread: the child may then do more
// than what is async-signal-safe.
template <class F> pid_t start_child(const std::string &out, F body) {
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        _exit(127);
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    close(fd);
    const int status = body();
    fflush(nullptr);
    _exit(status);
}

// Ends a child with `sig`, and with SIGKILL when it outlives the deadline;
// its wait status, or -1 when it had to be killed.
int stop_child(pid_t pid, int sig) {
    kill(pid, sig);
    int status = 0;
    const bool ended =
        wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, STOP_DEADLINE);
    if (ended)
        return status;
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

// VmHWM and VmRSS of a process, in kB (-1 when unreadable).
struct Memory {
    long peak_kb = -1;
    long now_kb = -1;
};

Memory memory_of(pid_t pid) {
    Memory m;
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            m.peak_kb = std::atol(line.c_str() + 6);
        else if (line.rfind("VmRSS:", 0) == 0)
            m.now_kb = std::atol(line.c_str() + 6);
    }
    return m;
}

// What the bridge says, as Home Assistant would see it: its state, its
// stats, the relay's state and every answer, counted by transaction.
class Listener {
  public:
    struct Answer {
        bool ok = false;
        Clock::time_point at;
    };

    explicit Listener(int port) {
        mosq_ = mosquitto_new("flood_listener", true, this);
        mosquitto_message_callback_set(mosq_, on_message);
        mosquitto_connect_callback_set(mosq_, [](mosquitto *m, void *, int rc) {
            if (rc != 0)
                return;
            for (const std::string &t :
                 {RESPONSE_TOPIC, STATE_TOPIC, STATS_TOPIC, RELAY_STATE_TOPIC, DROPPED_TOPIC})
                mosquitto_subscribe(m, nullptr, t.c_str(), 0);
        });
        mosquitto_connect(mosq_, "127.0.0.1", port, 60);
        // Its network thread inherits this mask: no signal goes to it.
        osl::test::SignalsHeld hold;
        mosquitto_loop_start(mosq_);
    }
    ~Listener() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, true);
        mosquitto_destroy(mosq_);
    }
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    std::string state() {
        std::lock_guard<std::mutex> hold(lock_);
        return state_;
    }
    int burst_answered() {
        std::lock_guard<std::mutex> hold(lock_);
        return answered_;
    }
    bool last_answered() {
        std::lock_guard<std::mutex> hold(lock_);
        return last_.has_value();
    }
    Clock::time_point stats_at() {
        std::lock_guard<std::mutex> hold(lock_);
        return stats_at_;
    }
    // A copy of what was counted, for the report.
    struct Counts {
        int answered = 0, ok = 0, error = 0, repeated = 0, others = 0;
        Clock::time_point last_burst_answer;
        std::optional<Answer> last;
        std::string first_error;
        std::string stats;
        Clock::time_point stats_at;
        std::string relay_state;
        std::string dropped;
    };
    Counts counts() {
        std::lock_guard<std::mutex> hold(lock_);
        Counts c;
        c.answered = answered_;
        c.repeated = repeated_;
        c.others = others_;
        for (const std::optional<Answer> &a : burst_) {
            if (!a)
                continue;
            (a->ok ? c.ok : c.error)++;
            c.last_burst_answer = std::max(c.last_burst_answer, a->at);
        }
        c.last = last_;
        c.first_error = first_error_;
        c.stats = stats_;
        c.stats_at = stats_at_;
        c.relay_state = relay_state_;
        c.dropped = dropped_;
        return c;
    }

  private:
    static void on_message(mosquitto *, void *self, const mosquitto_message *m) {
        const Clock::time_point at = Clock::now();
        auto *l = static_cast<Listener *>(self);
        const std::string topic = m->topic;
        const std::string payload(static_cast<const char *>(m->payload),
                                  static_cast<size_t>(std::max(m->payloadlen, 0)));
        std::lock_guard<std::mutex> hold(l->lock_);
        if (topic == STATE_TOPIC) {
            l->state_ = payload;
        } else if (topic == STATS_TOPIC) {
            l->stats_ = payload;
            l->stats_at_ = at;
        } else if (topic == RELAY_STATE_TOPIC) {
            l->relay_state_ = payload;
        } else if (topic == DROPPED_TOPIC) {
            l->dropped_ = payload;
        } else if (topic == RESPONSE_TOPIC) {
            l->answer(payload, at);
        }
    }

    void answer(const std::string &payload, Clock::time_point at) {
        const json a = json::parse(payload, nullptr, false);
        const json *t = a.is_object() && a.contains("transaction") ? &a["transaction"] : nullptr;
        if (t == nullptr || !t->is_string()) {
            others_++;
            return;
        }
        const std::string id = t->get<std::string>();
        const Answer got{a.value("status", "") == "ok", at};
        if (!got.ok && first_error_.empty())
            first_error_ = payload;
        if (id == LAST) {
            if (last_)
                repeated_++;
            else
                last_ = got;
            return;
        }
        char *end = nullptr;
        const long n = id.size() > 1 && id[0] == 'f' ? strtol(id.c_str() + 1, &end, 10) : -1;
        if (end == nullptr || *end != '\0' || n < 0 || n >= BURST) {
            others_++;
            return;
        }
        std::optional<Answer> &slot = burst_[static_cast<size_t>(n)];
        if (slot) {
            repeated_++;
            return;
        }
        slot = got;
        answered_++;
    }

    mosquitto *mosq_;
    std::mutex lock_;
    std::string state_;
    std::string stats_;
    Clock::time_point stats_at_;
    std::string relay_state_;
    std::string dropped_;
    std::vector<std::optional<Answer>> burst_ = std::vector<std::optional<Answer>>(BURST);
    int answered_ = 0;
    int repeated_ = 0;
    int others_ = 0;
    std::optional<Answer> last_;
    std::string first_error_;
};

// Sends the commands, as Home Assistant's MQTT client would; knows when
// each has left this process (QoS 0: written to the socket) or was
// acknowledged by the broker (QoS 1).
class Publisher {
  public:
    Publisher(int port, int qos) : qos_(qos) {
        mosq_ = mosquitto_new("flood_publisher", true, this);
        mosquitto_connect_callback_set(mosq_, [](mosquitto *, void *self, int rc) {
            static_cast<Publisher *>(self)->connected_ = rc == 0;
        });
        mosquitto_publish_callback_set(mosq_, [](mosquitto *, void *self, int mid) {
            auto *p = static_cast<Publisher *>(self);
            const Clock::time_point at = Clock::now();
            std::lock_guard<std::mutex> hold(p->lock_);
            p->sent_at_[static_cast<uint16_t>(mid)] = at;
            p->latest_ = at;
            p->sent_++;
        });
        mosquitto_connect(mosq_, "127.0.0.1", port, 60);
        // Its network thread inherits this mask: no signal goes to it.
        osl::test::SignalsHeld hold;
        mosquitto_loop_start(mosq_);
    }
    ~Publisher() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, true);
        mosquitto_destroy(mosq_);
    }
    Publisher(const Publisher &) = delete;
    Publisher &operator=(const Publisher &) = delete;

    bool connected() const { return connected_.load(); }
    // The message's id (fewer than the ids' 65,535 are sent), or -1 when
    // the client refused it and it never goes out.
    int send(const json &command) {
        const std::string payload = command.dump();
        int mid = 0;
        const int rc =
            mosquitto_publish(mosq_, &mid, SET_TOPIC.c_str(), static_cast<int>(payload.size()),
                              payload.data(), qos_, false);
        return rc == MOSQ_ERR_SUCCESS ? mid : -1;
    }
    int sent() {
        std::lock_guard<std::mutex> hold(lock_);
        return sent_;
    }
    // When the message of that id left (or was acknowledged), if it has.
    std::optional<Clock::time_point> sent_at(int mid) {
        std::lock_guard<std::mutex> hold(lock_);
        const Clock::time_point at = sent_at_[static_cast<uint16_t>(mid)];
        return at == Clock::time_point{} ? std::nullopt : std::optional(at);
    }
    Clock::time_point latest() {
        std::lock_guard<std::mutex> hold(lock_);
        return latest_;
    }

  private:
    mosquitto *mosq_;
    const int qos_;
    std::atomic<bool> connected_{false};
    std::mutex lock_;
    std::vector<Clock::time_point> sent_at_ = std::vector<Clock::time_point>(UINT16_MAX + 1);
    Clock::time_point latest_;
    int sent_ = 0;
};

int remove_entry(const char *p, const struct stat *, int, struct FTW *) {
    return remove(p);
}

struct Options {
    int qos = 0;
    int bound_s = 300;
};

Options options_of(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        if (a == "--qos=0" || a == "--qos=1")
            o.qos = a.back() - '0';
        else if (a.rfind("--bound=", 0) == 0 && std::atoi(a.c_str() + 8) > 0)
            o.bound_s = std::atoi(a.c_str() + 8);
    }
    return o;
}

} // namespace

int main(int argc, char **argv) {
    if (access(MOSQUITTO, X_OK) != 0) {
        fprintf(stderr, "mqtt_flood_bench: needs Debian's mosquitto\n");
        return 1;
    }
    const Options options = options_of(argc, argv);
    setvbuf(stdout, nullptr, _IOLBF, 0);

    char dir_template[] = "/tmp/osl-mqtt-flood-XXXXXX";
    if (mkdtemp(dir_template) == nullptr)
        return 1;
    const std::string dir = dir_template;
    const int port = osl::sim::free_loopback_port();
    // A stock broker but for its port and its reports: its queue limits are
    // what a home's has.
    const std::string broker_log = dir + "/broker.log";
    std::ofstream(dir + "/broker.conf")
        << "listener " << port << " 127.0.0.1\nallow_anonymous true\npersistence false\n"
        << "sys_interval 1\nlog_dest file " << broker_log << "\n";
    const pid_t broker = start_child(dir + "/broker.out", [&] {
        execl(MOSQUITTO, "mosquitto", "-c", (dir + "/broker.conf").c_str(), nullptr);
        return 127;
    });
    if (!wait_until([&] { return osl::sim::loopback_accepts(port); }, SETUP_DEADLINE)) {
        fprintf(stderr, "mqtt_flood_bench: the broker did not start: %s\n",
                read_file(dir + "/broker.out").c_str());
        stop_child(broker, SIGKILL);
        return 1;
    }

    mkdir((dir + "/gpio").c_str(), 0700);
    const std::string config = dir + "/bridge.toml";
    std::ofstream(config) << "board = \"" << BOARD << "\"\nstate_file = \"" << dir
                          << "/state.json\"\n[broker]\nhost = \"127.0.0.1\"\nport = " << port
                          << "\n[[actor]]\nkind = \"relay\"\naddress = \""
                          << osl::virtkit::RELAY_ADDR << "\"\nkey = \"" << osl::virtkit::RELAY_KEY
                          << "\"\n";
    const std::string lock = dir + "/osl", gpio = dir + "/gpio";
    const std::string bridge_out = dir + "/bridge.out";
    const pid_t bridge = start_child(bridge_out, [&] {
        osl::virtkit::install_simulated_machine(lock.c_str(), gpio.c_str());
        osl::virtkit::Kit kit;
        osl::virtkit::InProcessKit on_air(kit);
        on_air.start();
        char arg0[] = "ostrel_mqtt", arg1[] = "--config";
        std::vector<char> arg2(config.begin(), config.end());
        arg2.push_back('\0');
        char *args[] = {arg0, arg1, arg2.data(), nullptr};
        return ostrel::mqtt::mqtt_main(3, args);
    });

    mosquitto_lib_init();
    int setup_failed = 0;
    {
        Listener listener(port);
        Publisher publisher(port, options.qos);
        if (!wait_until([&] { return listener.state() == "online" && publisher.connected(); },
                        SETUP_DEADLINE)) {
            fprintf(stderr, "mqtt_flood_bench: the bridge is not online (\"%s\"); it said:\n%s",
                    listener.state().c_str(), read_file(bridge_out).c_str());
            setup_failed = 1;
        } else {
            printf("burst: %d commands to %s, QoS %d, then \"%s\"; answers awaited for at most "
                   "%d s\n",
                   BURST, SET_TOPIC.c_str(), options.qos, LAST, options.bound_s);
            const Clock::time_point start = Clock::now();
            int refused = 0;
            for (int i = 0; i < BURST; i++) {
                // Each channel in turn, each going on and off.
                const json command = {{"channel", i % RELAY_CHANNELS},
                                      {"state", (i / RELAY_CHANNELS) % 2 == 0 ? "ON" : "OFF"},
                                      {"transaction", burst_transaction(i)}};
                refused += publisher.send(command) < 0 ? 1 : 0;
            }
            // The burst leaves every channel off: this is a change.
            const int last_mid =
                publisher.send({{"channel", 0}, {"state", "ON"}, {"transaction", LAST}});
            refused += last_mid < 0 ? 1 : 0;
            const Clock::time_point queued = Clock::now();
            const Clock::time_point bound = start + std::chrono::seconds(options.bound_s);
            while (Clock::now() < bound &&
                   (listener.burst_answered() < BURST || !listener.last_answered()))
                std::this_thread::sleep_for(POLL);
            const Clock::time_point waited = Clock::now();
            // A stats message from after the flood, when one comes in time.
            wait_until([&] { return listener.stats_at() > waited; }, STATS_DEADLINE);
            const Memory memory = memory_of(bridge);
            const Listener::Counts c = listener.counts();

            const int sent = publisher.sent();
            printf("published: %d queued in %.3f s (%d refused by the client); %d %s, the "
                   "last %.3f s after the first was queued\n",
                   BURST + 1 - refused, seconds_between(start, queued), refused, sent,
                   options.qos == 0 ? "written to the broker" : "acknowledged by the broker",
                   seconds_between(start, publisher.latest()));
            if (c.answered == BURST)
                printf("burst: all %d answered, %.3f s after the first command was queued "
                       "(%d ok, %d error)\n",
                       BURST, seconds_between(start, c.last_burst_answer), c.ok, c.error);
            else
                printf("burst: %d of %d answered (%d ok, %d error) when the wait ended, "
                       "%.0f s after the first; %d never answered\n",
                       c.answered, BURST, c.ok, c.error, seconds_between(start, waited),
                       BURST - c.answered);
            const std::optional<Clock::time_point> last_sent =
                last_mid < 0 ? std::nullopt : publisher.sent_at(last_mid);
            if (c.last && last_sent) {
                const double ms = 1000.0 * seconds_between(*last_sent, c.last->at);
                printf("\"%s\": answered %s %.0f ms after it left this process (goal: within "
                       "%d ms: %s)\n",
                       LAST, c.last->ok ? "ok" : "error", ms, LAST_GOAL_MS,
                       ms <= LAST_GOAL_MS ? "met" : "NOT met");
            } else {
                printf("\"%s\": unanswered %.0f s after it was queued (goal: within %d ms: NOT "
                       "met)\n",
                       LAST, seconds_between(queued, waited), LAST_GOAL_MS);
            }
            if (c.repeated > 0 || c.others > 0)
                printf("answers: %d repeated, %d of no command of this run\n", c.repeated,
                       c.others);
            if (!c.first_error.empty())
                printf("first error answer: %s\n", c.first_error.c_str());
            printf("relay's last reported state: %s\n",
                   c.relay_state.empty() ? "(none)" : c.relay_state.c_str());
            printf("bridge's resident memory: peak %ld kB, now %ld kB (bridge, library, "
                   "virtual kit)\n",
                   memory.peak_kb, memory.now_kb);
            printf("broker: %s messages dropped for slow clients\n",
                   c.dropped.empty() ? "(no count)" : c.dropped.c_str());
            printf("bridge's stats%s: %s\n", c.stats_at > waited ? "" : " (before the flood)",
                   c.stats.empty() ? "(none)" : c.stats.c_str());
        }
    }

    const int bridge_status = stop_child(bridge, SIGTERM);
    if (bridge_status == -1)
        printf("bridge: did not end on SIGTERM within %lld s: killed\n",
               static_cast<long long>(STOP_DEADLINE.count()));
    else if (!WIFEXITED(bridge_status) || WEXITSTATUS(bridge_status) != 0)
        printf("bridge: ended with wait status %d\n", bridge_status);
    // Its last words (the file goes with the scratch directory).
    const std::string said = read_file(bridge_out);
    size_t from = said.size();
    for (int lines = 0; from > 0 && lines <= BRIDGE_TAIL_LINES; from--)
        lines += said[from - 1] == '\n' ? 1 : 0;
    printf("bridge's last lines:\n%s", said.c_str() + (from == 0 ? 0 : from + 1));
    stop_child(broker, SIGTERM);

    // Which client the broker dropped messages for, once for each time it
    // began to: the bridge's means commands that never reached it.
    std::ifstream log(broker_log);
    for (std::string line; std::getline(log, line);)
        if (line.find("being dropped") != std::string::npos)
            printf("broker: %s\n", line.c_str());
    mosquitto_lib_cleanup();
    nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    return setup_failed;
}
