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

// A key expanded once for both directions: the round keys of encryption, and
// those of decryption (in FIPS-197's equivalent inverse cipher), as words;
// and the last round key's bytes under the tag, gathered as the tag bytes
// lie (0 to 3, then 3 to 6), so that a tag is made and checked as two words.
struct osl_aes_key {
    uint32_t enc[44];
    uint32_t dec[44];
    uint32_t tag[2];
};

// The key common to all sensors and SEC_KEY announcements (set at build
// time), and its expansion, made by the compiler.
extern const uint8_t osl_sensor_key[OSL_KEY_SIZE];
extern const osl_aes_key osl_sensor_schedule;

void osl_aes_key_expand(const uint8_t *key, osl_aes_key *out);
// One block with an expanded key; in and out may be the same 16 bytes.
void osl_aes_encrypt_block(const osl_aes_key *k, const uint8_t *in, uint8_t *out);
void osl_aes_decrypt_block(const osl_aes_key *k, const uint8_t *in, uint8_t *out);

// AES-128 on one block: copy length bytes from in to out (none when length is
// not positive; in and out may be the same buffer), then transform the 16
// bytes at out in place. The key is expanded anew on every call (the
// functions with an osl_aes_key spare that).
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
// The seal, the tag and the unseal halves below with a key expanded once.
int osl_frame_tag_with(const uint8_t *sealed, uint8_t *tag, const osl_aes_key *k, uint8_t mode);
void osl_seal_with(uint8_t *payload, const osl_aes_key *k);
int osl_unseal_check_with(const uint8_t *payload, const osl_aes_key *k);
void osl_unseal_open_with(uint8_t *payload, const osl_aes_key *k);
// Unsealing in two halves, because the decoder checks for repeats between
// them: 0 when the tag matches (1 otherwise, nothing changed) ...
int osl_unseal_check(const uint8_t *payload, const uint8_t *key);
// ... then decrypt and unscramble bytes 0..15 in place.
void osl_unseal_open(uint8_t *payload, const uint8_t *key);
// Both: 0 unsealed; 1 tag mismatch, payload left as received.
int osl_unseal(uint8_t *payload, const uint8_t *key);
