// Replays the fuzz targets' inputs, the seeds and every input that once
// crashed a target (fuzz/regressions/), through the very bodies the fuzzer
// runs, with this build's compiler and on this build's machine. A body
// aborts when the library breaks one of its promises.
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "targets.h"

namespace osl::test {
namespace {

std::vector<std::string> inputs_of(const std::string &target) {
    const std::string dir = std::string(OSL_FUZZ_INPUTS) + "/" + target;
    std::vector<std::string> files;
    if (DIR *d = opendir(dir.c_str())) {
        // readdir64: on the 32-bit board the build tree is shared from the
        // host, whose inode numbers do not fit plain readdir's 32 bits.
        while (const dirent64 *e = readdir64(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != ".." && name != "stamp")
                files.push_back(dir + "/" + name);
        }
        closedir(d);
    }
    return files;
}

// The log lines the bodies make go nowhere while they run.
class Silence {
  public:
    Silence() {
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~Silence() {
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }
    Silence(const Silence &) = delete;
    Silence &operator=(const Silence &) = delete;

  private:
    int saved_;
};

struct Target {
    const char *name;
    void (*init)();
    void (*run)(const uint8_t *, size_t);
};

void PrintTo(const Target &t, std::ostream *os) {
    *os << t.name;
}

class FuzzReplay : public ::testing::TestWithParam<Target> {};

TEST_P(FuzzReplay, EveryInputPasses) {
    const Target &t = GetParam();
    const std::vector<std::string> files = inputs_of(t.name);
    ASSERT_FALSE(files.empty()) << "no inputs in " << OSL_FUZZ_INPUTS << "/" << t.name;
    t.init();
    for (const std::string &f : files) {
        SCOPED_TRACE(f);
        std::ifstream in(f, std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
        Silence quiet;
        t.run(bytes.data(), bytes.size());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Targets, FuzzReplay,
    ::testing::Values(Target{"decoder", fuzz::decoder_init, fuzz::decoder_run},
                      Target{"text", fuzz::text_init, fuzz::text_run},
                      Target{"time", fuzz::time_init, fuzz::time_run},
                      Target{"mqtt_message", fuzz::mqtt_message_init, fuzz::mqtt_message_run},
                      Target{"mqtt_config", fuzz::mqtt_config_init, fuzz::mqtt_config_run},
                      Target{"mqtt_registry", fuzz::mqtt_registry_init, fuzz::mqtt_registry_run}),
    [](const ::testing::TestParamInfo<Target> &case_info) {
        return std::string(case_info.param.name);
    });

} // namespace
} // namespace osl::test
