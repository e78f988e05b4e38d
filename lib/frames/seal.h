// Sealing of the kit's 16-byte frame blocks: keyless whitening, AES-128 and a
// 7-byte tag over the ciphertext. Every call keeps its working state on its
// own stack, so a decode in the tick can interrupt a seal in the main flow.
#pragma once

#include <cstdint>

inline constexpr int OSL_BLOCK_SIZE = 16;
inline constexpr int OSL_KEY_SIZE = 16;
inline constexpr int OSL_TAG_SIZE = 7;

// Sealed payload: 16 sealed bytes, the frame type in clear, the tag.
inline constexpr int OSL_SEALED_TYPE = 16;
inline constexpr int OSL_SEALED_TAG = 17;
inline constexpr int OSL_SEALED_SIZE = 24;

enum : uint8_t { OSL_TAG_MAKE = 0, OSL_TAG_CHECK = 1 };

// The key common to all sensors and SEC_KEY announcements (set at build time).
extern const uint8_t osl_sensor_key[OSL_KEY_SIZE];

// AES-128 on one block: copy length bytes from in to out (none when length is
// not positive; in and out may be the same buffer), then transform the 16
// bytes at out in place. The key is expanded anew on every call.
void osl_aes128_encrypt(const uint8_t *in, const uint8_t *key, uint8_t *out, int length);
void osl_aes128_decrypt(const uint8_t *in, const uint8_t *key, uint8_t *out, int length);
// Keyless whitening of a 16-byte block in place, and its inverse.
void osl_scramble(uint8_t *block);
void osl_unscramble(uint8_t *block);
// Make mode writes the 7 tag bytes and returns 0; any other mode compares
// them: 0 when all match, 1 otherwise. The sealed bytes are only read.
int osl_frame_tag(const uint8_t *sealed, uint8_t *tag, const uint8_t *key, uint8_t mode);

// Seals payload bytes 0..15 in place and writes the tag to bytes 17..23.
void osl_seal(uint8_t *payload, const uint8_t *key);
// Unsealing in two halves, because the decoder checks for repeats between
// them: 0 when the tag matches (1 otherwise, nothing changed) ...
int osl_unseal_check(const uint8_t *payload, const uint8_t *key);
// ... then decrypt and unscramble bytes 0..15 in place.
void osl_unseal_open(uint8_t *payload, const uint8_t *key);
// Both: 0 unsealed; 1 tag mismatch, payload left as received.
int osl_unseal(uint8_t *payload, const uint8_t *key);
