#include "demo.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <ftw.h>
#include <pthread.h>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "sim/virtkit/in_process.h"

namespace osl::demo {

namespace {

using std::chrono::steady_clock;

constexpr const char *WORKER_SIGNALLED = "demo: the demonstration was ended by signal %d (%s)\n";
// How long what the worker left behind has to end on SIGTERM before it is
// killed, and how long after that before this process gives up on it.
constexpr auto LEFTOVER_GRACE = std::chrono::seconds(5);
constexpr auto LEFTOVER_GIVE_UP = std::chrono::seconds(15);

virtkit::Kit the_kit;

bool write_text(const std::string &path, const char *text) {
    FILE *f = fopen(path.c_str(), "w");
    if (f == nullptr)
        return false;
    fputs(text, f);
    return fclose(f) == 0;
}

// The sysfs GPIO tree as the lamps see it: export and unexport, and each
// line's folder with its direction and value.
bool make_gpio_tree(const std::string &root, const Setup &setup) {
    if (mkdir(root.c_str(), 0755) != 0 || !write_text(root + "/export", "") ||
        !write_text(root + "/unexport", ""))
        return false;
    for (int pin : setup.lamp_pins) {
        if (pin == 0)
            continue;
        const std::string line = root + "/gpio" + std::to_string(pin);
        if (mkdir(line.c_str(), 0755) != 0 || !write_text(line + "/direction", "in") ||
            !write_text(line + "/value", "0"))
            return false;
    }
    return true;
}

int remove_entry(const char *p, const struct stat *, int, struct FTW *) {
    return remove(p);
}

void remove_tree(const char *dir) {
    nftw(dir, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    if (access(dir, F_OK) == 0)
        fprintf(stderr, "demo: the scratch folder %s could not be removed\n", dir);
}

// Ends the run after the given seconds with SIGINT, as Ctrl-C would. It
// runs with every signal blocked, so neither the tick nor SIGINT is ever
// handled on it: both stay with the program's own thread.
void *stopper(void *arg) {
    const unsigned seconds = *static_cast<unsigned *>(arg);
    struct timespec left = {static_cast<time_t>(seconds), 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    kill(getpid(), SIGINT);
    return nullptr;
}

bool parse(int argc, char **argv, unsigned *seconds) {
    for (int i = 1; i < argc; i++) {
        char *end = nullptr;
        if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            unsigned long n = strtoul(argv[++i], &end, 10);
            if (*end != '\0' || end == argv[i] || n > 86400)
                return false;
            *seconds = static_cast<unsigned>(n);
        } else {
            return false;
        }
    }
    return true;
}

// The parent of a process, from /proc; -1 when it is gone.
pid_t parent_of(long pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    FILE *f = fopen(path, "re");
    if (f == nullptr)
        return -1;
    char line[512];
    const size_t n = fread(line, 1, sizeof line - 1, f);
    fclose(f);
    line[n] = '\0';
    // The command name in parentheses may hold spaces and parentheses of
    // its own: the state and the parent follow its last ')'.
    const char *after_name = strrchr(line, ')');
    char state = 0;
    long parent = -1;
    if (after_name == nullptr || sscanf(after_name + 1, " %c %ld", &state, &parent) != 2)
        return -1;
    return static_cast<pid_t>(parent);
}

// This process's children. Once the worker has ended they are what it left
// behind: its helpers and their own children come here, this process being
// their subreaper.
std::vector<pid_t> children() {
    std::vector<pid_t> found;
    DIR *proc = opendir("/proc");
    if (proc == nullptr)
        return found;
    const pid_t self = getpid();
    while (const dirent *entry = readdir(proc)) {
        char *end = nullptr;
        const long pid = strtol(entry->d_name, &end, 10);
        if (*end == '\0' && pid > 0 && parent_of(pid) == self)
            found.push_back(static_cast<pid_t>(pid));
    }
    closedir(proc);
    return found;
}

bool waits_for_signal(const sigset_t &set, long ms, siginfo_t *info = nullptr) {
    const struct timespec span = {ms / 1000, (ms % 1000) * 1000000L};
    return sigtimedwait(&set, info, &span) > 0;
}

// Waits for the worker, reaping whatever else ends meanwhile, and passes a
// stop sent to this process on to it. The terminal sends its keys to the
// whole foreground group, the worker included: those need no passing on.
int wait_for_worker(pid_t worker, const sigset_t &watched) {
    for (;;) {
        int status = 0;
        pid_t ended;
        while ((ended = waitpid(-1, &status, WNOHANG)) > 0)
            if (ended == worker)
                return status;
        if (ended < 0) // cannot be while the worker is unreaped
            return W_EXITCODE(EXIT_FAILURE, 0);
        siginfo_t info = {};
        if (!waits_for_signal(watched, 1000, &info) || info.si_signo == SIGCHLD ||
            info.si_code == SI_KERNEL)
            continue;
        kill(worker, info.si_signo == SIGQUIT ? SIGQUIT : SIGINT);
    }
}

// Ends every process the worker left behind: SIGTERM first (most have
// already had it from the system, the worker's end being their parent's),
// SIGKILL for what still lives after the grace.
void end_leftovers() {
    sigset_t child_ended;
    sigemptyset(&child_ended);
    sigaddset(&child_ended, SIGCHLD);
    const auto start = steady_clock::now();
    std::vector<pid_t> told;
    for (;;) {
        pid_t ended;
        while ((ended = waitpid(-1, nullptr, WNOHANG)) > 0) {
        }
        if (ended < 0)
            return; // no child left
        const auto waited = steady_clock::now() - start;
        const std::vector<pid_t> left = children();
        if (waited >= LEFTOVER_GIVE_UP) {
            for (pid_t pid : left)
                fprintf(stderr, "demo: process %d does not end\n", static_cast<int>(pid));
            return;
        }
        for (pid_t pid : left) {
            if (waited >= LEFTOVER_GRACE) {
                kill(pid, SIGKILL);
            } else if (std::find(told.begin(), told.end(), pid) == told.end()) {
                kill(pid, SIGTERM);
                told.push_back(pid);
            }
        }
        waits_for_signal(child_ended, 100);
    }
}

} // namespace

virtkit::Kit &kit() {
    return the_kit;
}

bool arguments_ok(int argc, char **argv) {
    unsigned seconds = 0;
    if (parse(argc, argv, &seconds))
        return true;
    fprintf(stderr, "usage: %s [--seconds N]\n", argv[0]);
    return false;
}

pid_t fork_helper() {
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The parent may have ended before the line above took effect.
    if (getppid() != parent)
        _exit(EXIT_FAILURE);
    return 0;
}

int supervise(const std::function<int(const char *scratch)> &work) {
    char dir[] = "/tmp/osl-demo-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        perror("demo: scratch folder");
        return 2;
    }

    // Whatever the worker leaves running, however deep, comes to this
    // process when its parent ends, to be ended here.
    int was_subreaper = 0;
    prctl(PR_GET_CHILD_SUBREAPER, &was_subreaper);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    // Blocked from before the fork, so no stop and no child's end is missed
    // and Ctrl-C never ends this process before the worker is done.
    struct sigaction reaped = {}, old_reaped = {};
    reaped.sa_handler = SIG_DFL;
    sigaction(SIGCHLD, &reaped, &old_reaped);
    sigset_t watched, old_mask;
    sigemptyset(&watched);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD})
        sigaddset(&watched, sig);
    pthread_sigmask(SIG_BLOCK, &watched, &old_mask);

    fflush(stdout);
    fflush(stderr);
    const pid_t supervisor = getpid();
    const pid_t worker = fork();
    if (worker == 0) {
        sigaction(SIGCHLD, &old_reaped, nullptr);
        pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
        prctl(PR_SET_CHILD_SUBREAPER, 0);
        // Should the supervisor be killed too, the work stops as on Ctrl-C
        // and removes the folder itself.
        prctl(PR_SET_PDEATHSIG, SIGINT);
        int status = EXIT_FAILURE;
        if (getppid() == supervisor)
            status = work(dir);
        if (getppid() != supervisor)
            remove_tree(dir);
        // exit(), not _exit(): the worker is the program, and ends as one.
        exit(status);
    }

    int status = W_EXITCODE(2, 0);
    if (worker < 0)
        perror("demo: worker process");
    else
        status = wait_for_worker(worker, watched);
    end_leftovers();
    remove_tree(dir);

    // A stop that came after the worker's end has nothing left to stop.
    while (waits_for_signal(watched, 0)) {
    }
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    sigaction(SIGCHLD, &old_reaped, nullptr);
    prctl(PR_SET_CHILD_SUBREAPER, was_subreaper);

    if (WIFSIGNALED(status)) {
        fflush(stdout);
        fprintf(stderr, WORKER_SIGNALLED, WTERMSIG(status), strsignal(WTERMSIG(status)));
        return 128 + WTERMSIG(status);
    }
    return WEXITSTATUS(status);
}

int run(int argc, char **argv, int (*program)(), const Setup &setup) {
    static unsigned seconds = 0;
    if (!arguments_ok(argc, argv))
        return 2;
    parse(argc, argv, &seconds);
    if (setup.scratch == nullptr)
        return supervise([&](const char *scratch) {
            Setup inside = setup;
            inside.scratch = scratch;
            return run(argc, argv, program, inside);
        });

    const std::string lock = std::string(setup.scratch) + "/osl";
    const std::string gpio = std::string(setup.scratch) + "/gpio";
    if (!make_gpio_tree(gpio, setup)) {
        perror("demo: scratch GPIO tree");
        return 2;
    }
    virtkit::install_simulated_machine(lock.c_str(), gpio.c_str());
    virtkit::InProcessKit on_air(the_kit);
    on_air.start();
    if (setup.hand != nullptr && setup.hand_at_ms > 0)
        on_air.schedule(setup.hand_at_ms, setup.hand, setup.hand_note);

    fprintf(stderr, "demo: the virtual kit plays in this process (lamps under %s); %s\n",
            gpio.c_str(), seconds > 0 ? "it stops by itself" : "Ctrl-C stops it");

    pthread_t timer_thread;
    bool timed = false;
    if (seconds > 0) {
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old); // the new thread inherits the mask
        timed = pthread_create(&timer_thread, nullptr, stopper, &seconds) == 0;
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        if (!timed)
            fprintf(stderr, "demo: no timer thread; stop it with Ctrl-C\n");
    }

    const int status = program();

    if (timed) {
        pthread_cancel(timer_thread); // it may still sleep when the program ends first
        pthread_join(timer_thread, nullptr);
    }
    on_air.stop();
    virtkit::restore_real_machine();
    fflush(stdout);
    fprintf(stderr, "demo: %u frames sent, %u commands obeyed, %u not for the kit's actors\n",
            on_air.frames_sent(), on_air.commands_obeyed(), on_air.commands_refused());
    return status;
}

} // namespace osl::demo
