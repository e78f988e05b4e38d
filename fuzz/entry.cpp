// libFuzzer's entry points for one target, chosen when the file is compiled
// (OSL_FUZZ_TARGET=decoder, text, time, mqtt_message, mqtt_config or
// mqtt_registry).
#include <cstdio>

#include "targets.h"

#define OSL_FUZZ_CAT2(a, b) a##b
#define OSL_FUZZ_CAT(a, b) OSL_FUZZ_CAT2(a, b)

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The library's log lines go to standard output; libFuzzer reports on
    // standard error.
    if (freopen("/dev/null", "w", stdout) == nullptr)
        return 1;
    OSL_FUZZ_CAT(osl::fuzz::OSL_FUZZ_TARGET, _init)();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    OSL_FUZZ_CAT(osl::fuzz::OSL_FUZZ_TARGET, _run)(data, size);
    return 0;
}
