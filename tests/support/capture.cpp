#include "capture.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace osl::test {

StdoutCapture::StdoutCapture() {
    fflush(stdout);
    char name[] = "/tmp/osl-capture-XXXXXX";
    file_fd_ = mkstemp(name);
    unlink(name);
    saved_fd_ = dup(STDOUT_FILENO);
    dup2(file_fd_, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture() {
    if (saved_fd_ >= 0)
        stop();
}

std::string StdoutCapture::take() {
    fflush(stdout);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = pread(file_fd_, buf, sizeof buf, consumed_)) > 0) {
        out.append(buf, static_cast<size_t>(n));
        consumed_ += n;
    }
    return out;
}

std::string StdoutCapture::stop() {
    std::string out = take();
    dup2(saved_fd_, STDOUT_FILENO);
    close(saved_fd_);
    close(file_fd_);
    saved_fd_ = file_fd_ = -1;
    return out;
}

std::string mask_times(const std::string &text) {
    auto is_stamp = [&](size_t i) {
        if (i + 9 > text.size())
            return false;
        for (size_t k : {0, 1, 3, 4, 6, 7})
            if (!isdigit(static_cast<unsigned char>(text[i + k])))
                return false;
        return text[i + 2] == ':' && text[i + 5] == ':' && text[i + 8] == ' ';
    };
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if (is_stamp(i)) {
            out += "T ";
            i += 9;
        } else {
            out += text[i++];
        }
    }
    return out;
}

} // namespace osl::test
