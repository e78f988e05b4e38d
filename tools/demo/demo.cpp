#include "demo.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ftw.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "sim/virtkit/in_process.h"

namespace osl::demo {

namespace {

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

} // namespace

virtkit::Kit &kit() {
    return the_kit;
}

int run(int argc, char **argv, int (*program)(), const Setup &setup) {
    static unsigned seconds = 0;
    if (!parse(argc, argv, &seconds)) {
        fprintf(stderr, "usage: %s [--seconds N]\n", argv[0]);
        return 2;
    }
    char dir[] = "/tmp/osl-demo-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        perror("demo: scratch directory");
        return 2;
    }
    const std::string lock = std::string(dir) + "/osl";
    const std::string gpio = std::string(dir) + "/gpio";
    if (!make_gpio_tree(gpio, setup)) {
        perror("demo: scratch GPIO tree");
        nftw(dir, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
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
    nftw(dir, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    return status;
}

} // namespace osl::demo
