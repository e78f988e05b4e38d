#include "lib_fixture.h"

#include <cstdlib>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "lifecycle.h"
#include "osl.h"
#include "core/platform.h"

namespace osl::test {

namespace {

std::string lock_path;
std::string gpio_root;

int remove_entry(const char *p, const struct stat *, int, struct FTW *) {
    return remove(p);
}

} // namespace

void LibFixture::SetUp() {
    char tmpl[] = "/tmp/osl-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    lock_path = dir_ + "/osl";
    gpio_root = dir_ + "/gpio";
    osl_lock_path = lock_path.c_str();
    osl_gpio_root = gpio_root.c_str();
    sim.reset();
    sim.install();
}

void LibFixture::TearDown() {
    osl_bt_close();
    osl_hci = &osl_hci_bluez;
    nftw(dir_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void LibFixture::use_manual_timer() {
    osl_timer = &osl::sim::hand_timer;
}

void LibFixture::tick(int n) {
    for (int i = 0; i < n; i++)
        osl_timer_handler(SIGALRM);
}

bool wait_for(const std::function<bool()> &cond, std::chrono::milliseconds deadline) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

} // namespace osl::test
