// Runs part of a test in a forked child process, with its standard output
// and error going to files, and waits for it with a deadline. For code that
// must own the whole process: the real tick timer, signals, exit statuses.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>

namespace osl::test {

class Child {
  public:
    // Forks; the child sends fd 1 to `out` and fd 2 to `err` (an empty path
    // leaves that stream where the test's goes), runs `body`, flushes stdio
    // and ends with the body's result as its exit status.
    Child(const std::string &out, const std::string &err, const std::function<int()> &body);
    // A child still running when the test ends is killed, never left behind.
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    pid_t pid() const { return pid_; }
    // True once the child has ended (it is then reaped and status() is valid).
    bool ended();
    // Waits until the child ends or the deadline passes; true when it ended.
    bool wait(std::chrono::milliseconds deadline = std::chrono::seconds(30));
    int status() const { return status_; } // as waitpid reports it
    // Sends SIGINT until the child ends or the deadline passes: a program
    // forgets an interrupt that comes before its open's last step, so one
    // may not be enough. True when it ended.
    bool interrupt(std::chrono::milliseconds deadline = std::chrono::seconds(30));

  private:
    pid_t pid_ = -1;
    int status_ = 0;
    bool ended_ = false;
};

// Runs body in a child process of its own and waits for it: true when the
// body returned true and the child ended normally. For cases that leave the
// process changed for good (a failed open keeps the lock). The child's output
// goes where the test's goes, so it can explain a failure on stderr.
bool passes_in_child(const std::function<bool()> &body);

} // namespace osl::test
