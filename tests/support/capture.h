// Captures what the process writes to standard output (stdio and fd 1).
#pragma once

#include <string>

namespace osl::test {

class StdoutCapture {
  public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;

    // Everything written since the capture began (or since the last take()).
    std::string take();
    // Ends the capture and returns what was written since the last take().
    std::string stop();

  private:
    int saved_fd_ = -1;
    int file_fd_ = -1;
    long consumed_ = 0;
};

// Drops the time prefix "HH:MM:SS " wherever a log line carries it, so tests
// can compare the rest byte for byte. Each removed stamp becomes "T ".
std::string mask_times(const std::string &text);

} // namespace osl::test
