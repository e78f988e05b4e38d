// The fuzz targets' bodies, kept apart from libFuzzer's entry points so that
// the ordinary test suite can replay inputs through exactly the same code
// (tests/hardening/fuzz_replay_test.cpp) with any compiler, on any target.
//
// Each body checks the library's own promises on every input (results from
// the documented set, the window and the queue moving only as they may) and
// calls abort() when one is broken, so a broken promise counts as a crash.
#pragma once

#include <cstddef>
#include <cstdint>

namespace osl::fuzz {

// Once per process, before the first input.
void decoder_init();
void text_init();
void time_init();
void mqtt_message_init();
void mqtt_config_init();
void mqtt_registry_init();

// One input each.
void decoder_run(const uint8_t *data, size_t size);
void text_run(const uint8_t *data, size_t size);
void time_run(const uint8_t *data, size_t size);
// ostrel_mqtt: the messages it subscribes to, its configuration file, its
// device registry file.
void mqtt_message_run(const uint8_t *data, size_t size);
void mqtt_config_run(const uint8_t *data, size_t size);
void mqtt_registry_run(const uint8_t *data, size_t size);

// The largest input worth trying: the decoder takes a few control bytes and
// a handful of events of at most one slot each.
inline constexpr size_t DECODER_MAX_INPUT = 3 + 4 * (1 + 50);

} // namespace osl::fuzz
