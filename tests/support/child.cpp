#include "child.h"
#include "lib_fixture.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace osl::test {

namespace {

void redirect(const std::string &path, int target) {
    if (path.empty())
        return;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        _exit(126);
    dup2(fd, target);
    close(fd);
}

} // namespace

Child::Child(const std::string &out, const std::string &err, const std::function<int()> &body) {
    // Whatever the test process has buffered must not be written twice.
    fflush(stdout);
    fflush(stderr);
    pid_ = fork();
    if (pid_ != 0)
        return;
    redirect(out, STDOUT_FILENO);
    redirect(err, STDERR_FILENO);
    int code = body();
    fflush(stdout);
    fflush(stderr);
    // Not exit(): the test framework's handlers belong to the parent.
    _exit(code);
}

Child::~Child() {
    if (pid_ > 0 && !ended()) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
    }
}

bool Child::ended() {
    if (ended_ || pid_ <= 0)
        return ended_;
    ended_ = waitpid(pid_, &status_, WNOHANG) == pid_;
    return ended_;
}

bool Child::wait(std::chrono::milliseconds deadline) {
    return wait_for([this] { return ended(); }, deadline);
}

bool Child::interrupt(std::chrono::milliseconds deadline) {
    return wait_for(
        [this] {
            kill(pid_, SIGINT);
            return wait(std::chrono::milliseconds(200));
        },
        deadline);
}

bool passes_in_child(const std::function<bool()> &body) {
    Child child("", "", [&body] { return body() ? 0 : 1; });
    if (child.pid() < 0 || !child.wait())
        return false;
    return WIFEXITED(child.status()) && WEXITSTATUS(child.status()) == 0;
}

} // namespace osl::test
