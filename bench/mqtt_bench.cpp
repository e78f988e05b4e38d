// The MQTT bridge under load, against a private Mosquitto on loopback:
// records per second through the bridge to a subscriber, the latency from a
// frame delivered to the simulated adapter to its message at the subscriber
// (p50, p99), processor time per record and resident memory; and, in the
// same run, what a user would otherwise write: osl_scanner's lines read by
// a shell loop that calls mosquitto_pub for each.
//
// The bridge is ostrel_mqtt's own logic (Bridge, Client) on the library with
// the real 10 ms tick; the frames are sealed weather reports of 100 adopted
// sensors, delivered to the simulated controller at a fixed rate. Each
// frame's count of seconds carries the moment it was delivered (ms), which
// the subscriber, a process of its own, reads back from the JSON.
//
// Not a timed test: a report. Goals: >= 300 records/s with none lost,
// p99 <= 20 ms, processor time per record 20 times below the shell loop's,
// resident memory <= 8 MB.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge.h"
#include "client.h"
#include "config.h"
#include "core/platform.h"
#include "osl.h"
#include "report_builder.h"
#include "sim/hci_sim.h"
#include "sim/loopback.h"

namespace {

constexpr int SENSORS = 100;
constexpr int RATE_PER_S = 400;
constexpr int SECONDS = 10;
constexpr int PASS_MS = 10;

int64_t now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

double cpu_s(int who) {
    struct rusage u;
    getrusage(who, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long resident_kb() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

pid_t start_broker(const std::string &conf) {
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/usr/sbin/mosquitto", "mosquitto", "-c", conf.c_str(), nullptr);
        _exit(127);
    }
    return pid;
}

// The moment a frame is delivered, in the frame: wall-clock milliseconds
// (the subscriber's receipt stamp is wall-clock too), in 31 bits.
int64_t stamp_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000) & 0x7FFFFFFF;
}

// The subscriber: Debian's mosquitto_sub, a process of its own, printing
// each state message with the moment it arrived, until it has `want`.
pid_t start_subscriber(int port, int want, const std::string &out) {
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (freopen(out.c_str(), "w", stdout) == nullptr)
        _exit(127);
    const std::string p = std::to_string(port), n = std::to_string(want),
                      w = std::to_string(SECONDS + 30);
    execl("/usr/bin/mosquitto_sub", "mosquitto_sub", "-h", "127.0.0.1", "-p", p.c_str(), "-t",
          "ostrel/+/meteo/state", "-C", n.c_str(), "-W", w.c_str(), "-F", "%U %p", nullptr);
    _exit(127);
}

// Each line: the receipt "SECONDS.NANOSECONDS", then the JSON whose uptime
// is the delivery stamp. The latencies in ms.
std::vector<int64_t> latencies_of(const std::string &file) {
    std::vector<int64_t> out;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        const size_t space = line.find(' ');
        if (space == std::string::npos)
            continue;
        const double at_s = std::atof(line.substr(0, space).c_str());
        const auto at_ms = static_cast<int64_t>(at_s * 1000.0) & 0x7FFFFFFF;
        try {
            const auto j = nlohmann::json::parse(line.substr(space + 1));
            out.push_back(at_ms - j.at("uptime").get<int64_t>());
        } catch (const nlohmann::json::exception &) {
        }
    }
    return out;
}

struct ShellLoop {
    double cpu_s = 0;
    int lines = 0;
};

// osl_scanner's own code against the virtual kit, its lines piped into a
// shell loop that publishes each with mosquitto_pub.
ShellLoop shell_loop(const std::string &demo, int port) {
    const double before = cpu_s(RUSAGE_CHILDREN);
    const std::string command =
        "'" + demo + "' --seconds " + std::to_string(SECONDS) +
        " | { n=0; while IFS= read -r line; do mosquitto_pub -h 127.0.0.1 -p " +
        std::to_string(port) + " -t ostrel/shell -m \"$line\"; n=$((n+1)); done; echo $n; }";
    ShellLoop r;
    FILE *p = popen(command.c_str(), "r");
    if (p == nullptr)
        return r;
    char text[64] = {};
    while (fgets(text, sizeof text, p) != nullptr)
        r.lines = std::atoi(text);
    pclose(p);
    r.cpu_s = cpu_s(RUSAGE_CHILDREN) - before;
    return r;
}

} // namespace

int main(int argc, char **argv) {
    if (access("/usr/sbin/mosquitto", X_OK) != 0) {
        fprintf(stderr, "mqtt_bench: needs Debian's mosquitto\n");
        return 1;
    }
    // The scanner's demonstration, for the shell loop: beside this program.
    const std::string self = argc > 0 ? argv[0] : "";
    const std::string demo = self.substr(0, self.rfind('/') + 1) + "../tools/demo/osl_demo_scanner";

    char dir[] = "/tmp/osl-mqtt-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return 1;
    const int port = osl::sim::free_loopback_port();
    const std::string conf = std::string(dir) + "/broker.conf";
    std::ofstream(conf) << "listener " << port
                        << " 127.0.0.1\nallow_anonymous true\npersistence false\nlog_dest none\n";
    const pid_t broker = start_broker(conf);
    while (!osl::sim::loopback_accepts(port))
        usleep(10000);

    ostrel::mqtt::Config config;
    config.board = "bench";
    config.host = "127.0.0.1";
    config.port = port;
    config.state_file = std::string(dir) + "/state.json";
    for (int s = 0; s < SENSORS; s++) {
        char a[13];
        snprintf(a, sizeof a, "A1B2C3D4E5%02X", s);
        config.sensors.push_back({a, ""});
    }
    const int records = RATE_PER_S * SECONDS;
    const std::string latencies = std::string(dir) + "/latency";
    const pid_t subscriber = start_subscriber(port, records, latencies);

    const std::string lock = std::string(dir) + "/osl";
    osl_lock_path = lock.c_str();
    auto &sim = osl::sim::Controller::get();
    sim.reset();
    sim.record_calls = false;
    sim.install();
    if (osl_bt_open(0, 0, 0, 0) != OSL_OPEN_OK)
        return 1;
    ostrel::mqtt::Registry store(config.state_file);
    ostrel::mqtt::Client client(config, "ostrel/bridge/bench/state");
    ostrel::mqtt::Bridge bridge(config, client, store, [] { return int64_t(time(nullptr)); });
    std::string error;
    if (!bridge.start(error) || !client.setup(error))
        return 1;
    client.on_connected([&] { bridge.connected(); });
    for (int i = 0; i < 200 && !client.connected(); i++) {
        client.service(now_ms());
        osl_sleep_ms(PASS_MS);
    }
    sleep(1); // the subscriber's subscription, before the first message

    const double cpu_before = cpu_s(RUSAGE_SELF);
    const int64_t start = now_ms();
    int delivered = 0;
    uint8_t event[OSL_RX_SLOT_SIZE];
    while (delivered < records) {
        // The frames due by now, each stamped with its moment.
        const int due = static_cast<int>((now_ms() - start) * RATE_PER_S / 1000);
        for (; delivered < due && delivered < records; delivered++) {
            // The sensor's address ends in its number (meteo_report's `last`),
            // its count of seconds is the moment.
            osl::bench::meteo_report(event, static_cast<uint8_t>(delivered % SENSORS),
                                     static_cast<uint32_t>(stamp_ms()));
            sim.deliver(event, osl::frame::REPORT_STD_SIZE);
        }
        osl_record rec;
        for (int n = osl_bt_queued(); n > 0; n--) {
            osl_bt_read(&rec);
            bridge.record(rec);
        }
        client.service(now_ms());
        bridge.pass();
        osl_sleep_ms(PASS_MS);
    }
    // The last ones out.
    for (int i = 0; i < 100; i++) {
        osl_record rec;
        for (int n = osl_bt_queued(); n > 0; n--) {
            osl_bt_read(&rec);
            bridge.record(rec);
        }
        client.service(now_ms());
        osl_sleep_ms(PASS_MS);
    }
    const double elapsed = static_cast<double>(now_ms() - start) / 1000.0;
    osl_link_status link;
    osl_link_get_status(&link);
    printf("library: %u events dropped for want of room; bridge: %llu records, %llu published, "
           "%llu dropped\n",
           link.events_dropped, static_cast<unsigned long long>(bridge.stats().records),
           static_cast<unsigned long long>(bridge.stats().published),
           static_cast<unsigned long long>(bridge.stats().dropped));
    const double cpu = cpu_s(RUSAGE_SELF) - cpu_before;
    const long rss = resident_kb();
    client.close("offline");
    waitpid(subscriber, nullptr, 0);
    osl_bt_close();

    std::vector<int64_t> lat = latencies_of(latencies);
    std::sort(lat.begin(), lat.end());
    auto pct = [&](double p) {
        if (lat.empty())
            return int64_t(-1);
        const auto at = static_cast<size_t>(p * static_cast<double>(lat.size()));
        return lat[std::min(lat.size() - 1, at)];
    };
    const ShellLoop shell = shell_loop(demo, port);
    kill(broker, SIGTERM);
    waitpid(broker, nullptr, 0);

    const double per_record_us = cpu / records * 1e6;
    const double shell_us = shell.lines > 0 ? shell.cpu_s / shell.lines * 1e6 : 0;
    printf("bridge: %d records delivered, %zu received (%d lost), %.0f records/s\n", records,
           lat.size(), records - static_cast<int>(lat.size()), records / elapsed);
    printf("latency, delivered to received: p50 %lld ms, p99 %lld ms\n",
           static_cast<long long>(pct(0.50)), static_cast<long long>(pct(0.99)));
    printf("processor time per record: bridge %.1f us (with the simulated adapter and the "
           "library), shell loop %.0f us (%d lines)\n",
           per_record_us, shell_us, shell.lines);
    printf("resident memory (peak, this process: library, bridge, simulated adapter): %ld kB\n",
           rss);
    const bool goal = records - static_cast<int>(lat.size()) == 0 && records / elapsed >= 300 &&
                      pct(0.99) <= 20 && shell_us >= 20 * per_record_us && rss <= 8 * 1024;
    printf("goals (>= 300/s none lost, p99 <= 20 ms, 20x below the shell loop, <= 8 MB): %s\n",
           goal ? "met" : "NOT met");
    return 0;
}
