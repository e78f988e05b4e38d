// The demonstration plumbing that tools/demo.sh runs: a program gets the
// virtual kit, a scratch lock file and a scratch GPIO tree its lamps can
// use, and --seconds stops it as Ctrl-C would. However the program's process
// ends, nothing of the demonstration stays: no process, no scratch folder.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "demo.h"
#include "osl.h"
#include "sim/loopback.h"
#include "support/capture.h"
#include "support/child.h"
#include "support/lib_fixture.h"

namespace osl::test {
namespace {

using namespace std::chrono_literals;

const std::string LAMPS_UNDER = "(lamps under ";

// What the supervisor says of a worker a signal ended.
std::string signal_line(int sig) {
    return "demo: the demonstration was ended by signal " + std::to_string(sig) + " (" +
           strsignal(sig) + ")\n";
}

// The scratch folder, from the line that names its lamp tree ("" before it).
std::string scratch_folder(const std::string &err) {
    const size_t from = err.find(LAMPS_UNDER);
    if (from == std::string::npos)
        return "";
    const size_t start = from + LAMPS_UNDER.size();
    const size_t gpio = err.find("/gpio)", start);
    return gpio == std::string::npos ? "" : err.substr(start, gpio - start);
}

bool exists(const std::string &path) {
    return !path.empty() && access(path.c_str(), F_OK) == 0;
}

// A process as /proc shows it. Its start time tells it from a later process
// that got the same number.
struct Process {
    pid_t pid = 0;
    pid_t parent = 0;
    char state = 0;
    unsigned long long started = 0;
};

bool read_process(pid_t pid, Process *p) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t name_end = stat.rfind(')');
    if (name_end == std::string::npos)
        return false;
    std::istringstream fields(stat.substr(name_end + 1));
    p->pid = pid;
    fields >> p->state >> p->parent;
    std::string skipped;
    for (int field = 5; field < 22; field++) // up to the start time, field 22
        fields >> skipped;
    fields >> p->started;
    return !fields.fail();
}

std::vector<Process> all_processes() {
    std::vector<Process> found;
    DIR *proc = opendir("/proc");
    if (proc == nullptr)
        return found;
    while (const dirent *entry = readdir(proc)) {
        char *end = nullptr;
        const long pid = strtol(entry->d_name, &end, 10);
        Process p;
        if (*end == '\0' && pid > 0 && read_process(static_cast<pid_t>(pid), &p))
            found.push_back(p);
    }
    closedir(proc);
    return found;
}

// Still running: there, the same process, and not a zombie waiting for a
// parent to reap it.
bool running(const Process &p) {
    Process now;
    return read_process(p.pid, &now) && now.started == p.started && now.state != 'Z';
}

std::string command_line(pid_t pid) {
    std::string text = read_file("/proc/" + std::to_string(pid) + "/cmdline");
    for (char &c : text)
        if (c == '\0')
            c = ' ';
    return text;
}

// The running processes whose command line holds `text`.
std::vector<std::string> mentioning(const std::string &text) {
    std::vector<std::string> found;
    for (const Process &p : all_processes())
        if (p.pid != getpid() && running(p) && command_line(p.pid).find(text) != std::string::npos)
            found.push_back(std::to_string(p.pid) + ": " + command_line(p.pid));
    return found;
}

// The process and all its descendants.
std::vector<Process> tree_of(pid_t root) {
    const std::vector<Process> all = all_processes();
    std::vector<Process> tree;
    for (const Process &p : all)
        if (p.pid == root)
            tree.push_back(p);
    for (size_t i = 0; i < tree.size(); i++)
        for (const Process &p : all)
            if (p.parent == tree[i].pid)
                tree.push_back(p);
    return tree;
}

// ---- run(): the program's process under a supervisor ----

int opened;
int records;

// A program that lights lamps on the three lines and reads until stopped.
int lamp_program() {
    opened = osl_bt_open(26, 19, 13, OSL_LOG_LIB);
    if (opened != 0)
        return 2;
    osl_record rec;
    int got;
    while ((got = osl_bt_read(&rec)) != -1) {
        if (got > 0)
            records++;
        osl_sleep_ms(100);
    }
    osl_bt_close();
    // The program runs in a process of its own: what it saw, for the test.
    printf("lamp program: opened %d, %d records\n", opened, records);
    return 7;
}

osl::demo::Setup lamps() {
    osl::demo::Setup setup;
    setup.lamp_pins[0] = 26;
    setup.lamp_pins[1] = 19;
    setup.lamp_pins[2] = 13;
    return setup;
}

TEST(DemoTest, LampsOpenOnTheScratchTreeAndSecondsStopTheProgram) {
    char name[] = "demo";
    char opt[] = "--seconds";
    char three[] = "3";
    char *argv[] = {name, opt, three, nullptr};

    StdoutCapture out;
    const auto start = std::chrono::steady_clock::now();
    const int status = osl::demo::run(3, argv, lamp_program, lamps());
    const auto took = std::chrono::steady_clock::now() - start;
    const std::string text = mask_times(out.stop());

    int seen_opened = -1, seen_records = -1;
    const size_t said = text.find("lamp program: ");
    ASSERT_NE(said, std::string::npos) << text;
    ASSERT_EQ(sscanf(text.c_str() + said, "lamp program: opened %d, %d records", &seen_opened,
                     &seen_records),
              2)
        << text;
    EXPECT_EQ(seen_opened, 0) << text;
    EXPECT_EQ(status, 7) << "the program's own exit status";
    EXPECT_GT(seen_records, 0) << "the kit's sensors were heard";
    EXPECT_GE(took, std::chrono::seconds(3));
    EXPECT_LT(took, std::chrono::seconds(60));
    EXPECT_NE(text.find("T [osl start] ok\n\r"), std::string::npos) << text;
    EXPECT_NE(text.find("T [osl closed]\n\r"), std::string::npos) << text;
}

TEST(DemoTest, BadArgumentsRunNothing) {
    char name[] = "demo";
    char opt[] = "--seconds";
    char bad[] = "soon";
    char *argv[] = {name, opt, bad, nullptr};
    char *alone[] = {name, opt, nullptr};
    StdoutCapture out;
    EXPECT_EQ(osl::demo::run(3, argv, lamp_program), 2);
    EXPECT_EQ(osl::demo::run(2, alone, lamp_program), 2);
    EXPECT_EQ(out.stop(), "") << "the program ran";
}

// However the program's process ends, the supervisor reports it, ends what
// the process left running and removes the scratch folder.
enum class Ending { Returns, Killed, Aborts, LeavesAProcess, LeavesAStubbornProcess };

Ending ending;

int ending_program() {
    if (osl_bt_open(26, 19, 13, 0) != 0)
        return 3;
    if (ending == Ending::LeavesAProcess || ending == Ending::LeavesAStubbornProcess) {
        // Ignored from before the fork: the supervisor's SIGTERM may come
        // as soon as this process has ended.
        if (ending == Ending::LeavesAStubbornProcess)
            signal(SIGTERM, SIG_IGN);
        const pid_t left = fork();
        if (left == 0) {
            setsid(); // out of reach of the process group, as a daemon goes
            for (;;)
                pause();
        }
        printf("left behind %d\n", static_cast<int>(left));
        fflush(stdout);
    }
    switch (ending) {
    case Ending::Killed:
        raise(SIGKILL);
        break;
    case Ending::Aborts:
        abort();
    default:
        break;
    }
    return 7;
}

struct EndingCase {
    const char *name;
    Ending ending;
    int status;
    int signal; // 0: none to report
};

void PrintTo(const EndingCase &c, std::ostream *os) {
    *os << c.name;
}

class DemoEnding : public LibFixture, public ::testing::WithParamInterface<EndingCase> {};

TEST_P(DemoEnding, NothingStaysAndTheStatusTellsHowItEnded) {
    const EndingCase &c = GetParam();
    ending = c.ending;
    Child demo(path("out"), path("err"), [] {
        const rlimit no_core = {0, 0}; // the aborting case dumps nothing
        setrlimit(RLIMIT_CORE, &no_core);
        char name[] = "demo";
        char *argv[] = {name, nullptr};
        return osl::demo::run(1, argv, ending_program, lamps());
    });
    ASSERT_TRUE(demo.wait(60s)) << "the demonstration did not end";
    const std::string out = read_file(path("out")), err = read_file(path("err"));

    ASSERT_TRUE(WIFEXITED(demo.status())) << demo.status();
    EXPECT_EQ(WEXITSTATUS(demo.status()), c.status) << err;
    if (c.signal != 0)
        EXPECT_NE(err.find(signal_line(c.signal)), std::string::npos) << err;
    else
        EXPECT_EQ(err.find("was ended by signal"), std::string::npos) << err;
    const std::string folder = scratch_folder(err);
    ASSERT_NE(folder, "") << err;
    EXPECT_FALSE(exists(folder)) << folder;
    const size_t said = out.find("left behind ");
    if (said != std::string::npos) {
        const pid_t left = atoi(out.c_str() + said + strlen("left behind "));
        Process p;
        EXPECT_TRUE(left > 0 && (!read_process(left, &p) || p.state == 'Z'))
            << "process " << left << " was left running";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Endings, DemoEnding,
    ::testing::Values(EndingCase{"Returns", Ending::Returns, 7, 0},
                      EndingCase{"Killed", Ending::Killed, 128 + SIGKILL, SIGKILL},
                      EndingCase{"Aborts", Ending::Aborts, 128 + SIGABRT, SIGABRT},
                      EndingCase{"LeavesAProcess", Ending::LeavesAProcess, 7, 0},
                      EndingCase{"LeavesAStubbornProcess", Ending::LeavesAStubbornProcess, 7, 0}),
    [](const ::testing::TestParamInfo<EndingCase> &row) { return row.param.name; });

// ---- The MQTT demonstration, the real program ----

constexpr const char *MOSQUITTO_PROGRAMS[] = {"/usr/sbin/mosquitto", "/usr/bin/mosquitto_sub",
                                              "/usr/bin/mosquitto_pub"};
const std::string BROKER_ON = "demo: broker on 127.0.0.1:";
const std::string ONLINE = "ostrel/bridge/demo/state online\n";
const std::string OFFLINE = "ostrel/bridge/demo/state offline\n";

class MqttDemo : public LibFixture {
  protected:
    void SetUp() override {
        LibFixture::SetUp();
        for (const char *program : MOSQUITTO_PROGRAMS)
            if (access(program, X_OK) != 0)
                GTEST_SKIP() << "no " << program << " on this machine";
    }
    void TearDown() override {
        // Left where a case kills the supervisor too.
        if (folder_.rfind("/tmp/osl-demo-", 0) == 0)
            std::filesystem::remove_all(folder_);
        LibFixture::TearDown();
    }

    // Starts the demonstration in a process group of its own, as a shell
    // starts a job: the group's SIGINT is the terminal's Ctrl-C.
    void start(const char *seconds) {
        demo_ = std::make_unique<Child>(path("out"), path("err"), [seconds] {
            setpgid(0, 0);
            const rlimit no_core = {0, 0}; // the crashes below dump nothing
            setrlimit(RLIMIT_CORE, &no_core);
            // A sanitized build leaves SIGSEGV to the system, as any other does.
            const char *asan = getenv("ASAN_OPTIONS");
            const std::string options = std::string(asan != nullptr ? asan : "") + ":handle_segv=0";
            setenv("ASAN_OPTIONS", options.c_str(), 1);
            execl(OSL_DEMO_MQTT_PATH, "osl_demo_mqtt", "--seconds", seconds,
                  static_cast<char *>(nullptr));
            return 127;
        });
    }

    std::string out() const { return read_file(path("out")); }
    std::string err() const { return read_file(path("err")); }

    // Waits until the bridge is online on the demonstration's broker; learns
    // the port and the scratch folder.
    void wait_until_online() {
        ASSERT_TRUE(wait_until(
            [&] {
                std::this_thread::sleep_for(20ms);
                return out().find(ONLINE) != std::string::npos && !scratch_folder(err()).empty();
            },
            60s))
            << out() << err();
        const std::string text = out();
        const size_t broker = text.find(BROKER_ON);
        ASSERT_NE(broker, std::string::npos) << text;
        port_ = atoi(text.c_str() + broker + BROKER_ON.size());
        folder_ = scratch_folder(err());
        ASSERT_TRUE(osl::sim::loopback_accepts(port_)) << port_;
    }

    // Every process of the demonstration while it runs: the supervisor, its
    // one child (the worker), and the worker's broker, subscriber and script.
    void note_processes() {
        processes_ = tree_of(demo_->pid());
        ASSERT_GE(processes_.size(), 5u);
        int children = 0;
        for (const Process &p : processes_)
            if (p.parent == demo_->pid()) {
                worker_ = p.pid;
                children++;
            }
        ASSERT_EQ(children, 1) << "the supervisor's only child is the worker";
        ASSERT_FALSE(mentioning(folder_).empty()) << "the broker runs on the folder";
    }

    std::vector<std::string> still_running() const {
        std::vector<std::string> left;
        for (const Process &p : processes_)
            if (running(p))
                left.push_back(std::to_string(p.pid) + ": " + command_line(p.pid));
        return left;
    }

    // The demonstration has ended: no process of it, none on its folder,
    // nothing on its port.
    void expect_no_process_left() {
        EXPECT_EQ(still_running(), std::vector<std::string>{});
        EXPECT_EQ(mentioning(folder_), std::vector<std::string>{});
        EXPECT_FALSE(osl::sim::loopback_accepts(port_)) << port_;
    }

    std::unique_ptr<Child> demo_;
    std::vector<Process> processes_;
    pid_t worker_ = 0;
    int port_ = 0;
    std::string folder_;
};

TEST_F(MqttDemo, TimedRunEndsCleanAndLeavesNothing) {
    start("5");
    wait_until_online();
    ASSERT_TRUE(demo_->wait(60s)) << "the demonstration did not end";
    ASSERT_TRUE(WIFEXITED(demo_->status())) << demo_->status();
    EXPECT_EQ(WEXITSTATUS(demo_->status()), 0) << err();
    EXPECT_NE(out().find(OFFLINE), std::string::npos) << out();
    expect_no_process_left();
    EXPECT_FALSE(exists(folder_)) << folder_;
}

// Ctrl-C reaches the supervisor as well as the worker: the supervisor lives
// on until the bridge has said "offline" and the helpers are ended.
TEST_F(MqttDemo, CtrlCEndsItCleanAndLeavesNothing) {
    start("60");
    wait_until_online();
    note_processes();
    kill(-demo_->pid(), SIGINT);
    ASSERT_TRUE(demo_->wait(60s)) << "the demonstration did not end";
    ASSERT_TRUE(WIFEXITED(demo_->status())) << demo_->status();
    EXPECT_EQ(WEXITSTATUS(demo_->status()), 0) << err();
    EXPECT_NE(out().find(OFFLINE), std::string::npos) << out();
    expect_no_process_left();
    EXPECT_FALSE(exists(folder_)) << folder_;
}

class MqttDemoWorkerKilled : public MqttDemo, public ::testing::WithParamInterface<int> {};

TEST_P(MqttDemoWorkerKilled, NothingStaysAndTheStatusSaysSo) {
    const int sig = GetParam();
    start("60");
    wait_until_online();
    note_processes();
    kill(worker_, sig);
    ASSERT_TRUE(demo_->wait(60s)) << "the demonstration did not end";
    ASSERT_TRUE(WIFEXITED(demo_->status())) << demo_->status();
    EXPECT_EQ(WEXITSTATUS(demo_->status()), 128 + sig);
    EXPECT_NE(err().find(signal_line(sig)), std::string::npos) << err();
    expect_no_process_left();
    EXPECT_FALSE(exists(folder_)) << folder_;
}

INSTANTIATE_TEST_SUITE_P(Signals, MqttDemoWorkerKilled,
                         ::testing::Values(SIGSEGV, SIGABRT, SIGKILL),
                         [](const ::testing::TestParamInfo<int> &row) {
                             return std::string(sigabbrev_np(row.param));
                         });

// Without its supervisor the worker stops as on Ctrl-C and cleans up itself.
TEST_F(MqttDemo, SupervisorKilledTheWorkStopsAndLeavesNothing) {
    start("60");
    wait_until_online();
    note_processes();
    kill(demo_->pid(), SIGKILL);
    EXPECT_TRUE(wait_until(
        [&] {
            std::this_thread::sleep_for(50ms);
            return still_running().empty() && !exists(folder_);
        },
        60s))
        << testing::PrintToString(still_running());
    EXPECT_NE(out().find(OFFLINE), std::string::npos) << out();
    expect_no_process_left();
    EXPECT_FALSE(exists(folder_)) << folder_;
}

// With both gone at once nobody is left to remove the folder, but the
// helpers still go with the worker.
TEST_F(MqttDemo, SupervisorAndWorkerKilledNoHelperStays) {
    start("60");
    wait_until_online();
    note_processes();
    kill(demo_->pid(), SIGKILL);
    kill(worker_, SIGKILL);
    EXPECT_TRUE(wait_until(
        [&] {
            std::this_thread::sleep_for(50ms);
            return still_running().empty();
        },
        60s))
        << testing::PrintToString(still_running());
    expect_no_process_left();
}

} // namespace
} // namespace osl::test
