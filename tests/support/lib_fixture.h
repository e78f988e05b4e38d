// A fixture for cases that open the library: a scratch directory for the lock
// file and the GPIO tree, the simulated controller in place of BlueZ, and a
// choice of the real 10 ms timer or ticks driven by hand.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "sim/hci_sim.h"

namespace osl::test {

// Polls cond every millisecond until it holds or the deadline passes.
// Deadlines are generous: a loaded machine may delay ticks and processes.
bool wait_for(const std::function<bool()> &cond,
              std::chrono::milliseconds deadline = std::chrono::seconds(10));

class LibFixture : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Replaces the POSIX timer with one that never fires: the case runs each
    // tick itself with tick(). Call before osl_bt_open.
    void use_manual_timer();
    void tick(int n = 1);

    static bool wait_until(const std::function<bool()> &cond,
                           std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
        return wait_for(cond, deadline);
    }

    std::string path(const std::string &rel) const { return dir_ + "/" + rel; }

    osl::sim::Controller &sim = osl::sim::Controller::get();
    std::string dir_;
};

// Reads a whole file ("" when missing).
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text);

} // namespace osl::test
