// The decoder's hot path: up to ten unseals inside one 10 ms tick.
#include <cstring>

#include <benchmark/benchmark.h>
#include <openssl/aes.h>

#include "frames/seal.h"

namespace {

const uint8_t kKey[OSL_KEY_SIZE] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                                    0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};

// A RELAY frame's payload: time, type, Vcc, interval, channel bits, ...
const uint8_t kPlain[OSL_SEALED_SIZE] = {0x10, 0x32, 0x54, 0x76, 20,   213,  30, 0x05,
                                         23,   140,  0x0c, 0x80, 0x0b, 0xb8, 2,  1,
                                         20,   0,    0,    0,    0,    0,    0,  0};

void BM_Seal(benchmark::State &state) {
    uint8_t payload[OSL_SEALED_SIZE];
    for (auto _ : state) {
        memcpy(payload, kPlain, sizeof payload);
        osl_seal(payload, kKey);
        benchmark::DoNotOptimize(payload);
    }
}
BENCHMARK(BM_Seal);

// An accepted frame as the decoder unseals it, with the key expanded once:
// tag check, decryption, unscrambling.
void BM_Unseal(benchmark::State &state) {
    uint8_t sealed[OSL_SEALED_SIZE], payload[OSL_SEALED_SIZE];
    memcpy(sealed, kPlain, sizeof sealed);
    osl_seal(sealed, kKey);
    osl_aes_key key;
    osl_aes_key_expand(kKey, &key);
    for (auto _ : state) {
        memcpy(payload, sealed, sizeof payload);
        int result = osl_unseal_check_with(payload, &key);
        if (result == 0)
            osl_unseal_open_with(payload, &key);
        benchmark::DoNotOptimize(result);
        benchmark::DoNotOptimize(payload);
    }
}
BENCHMARK(BM_Unseal);

// The same with the key given as bytes: expanded anew on every call.
void BM_UnsealFreshKey(benchmark::State &state) {
    uint8_t sealed[OSL_SEALED_SIZE], payload[OSL_SEALED_SIZE];
    memcpy(sealed, kPlain, sizeof sealed);
    osl_seal(sealed, kKey);
    for (auto _ : state) {
        memcpy(payload, sealed, sizeof payload);
        int result = osl_unseal(payload, kKey);
        benchmark::DoNotOptimize(result);
        benchmark::DoNotOptimize(payload);
    }
}
BENCHMARK(BM_UnsealFreshKey);

// OpenSSL's table-based AES (its low-level block functions, which use no AES
// instructions) doing the same two block operations: encrypt the sealed
// bytes for the tag, decrypt them; the whitening is left out, in its favour.
// With fresh key setup for each, and with keys set up once.
template <bool FRESH_KEYS> void BM_OpenSslUnseal(benchmark::State &state) {
    uint8_t sealed[OSL_SEALED_SIZE], e[OSL_BLOCK_SIZE], payload[OSL_BLOCK_SIZE];
    memcpy(sealed, kPlain, sizeof sealed);
    osl_seal(sealed, kKey);
    AES_KEY enc, dec;
    AES_set_encrypt_key(kKey, 128, &enc);
    AES_set_decrypt_key(kKey, 128, &dec);
    for (auto _ : state) {
        if (FRESH_KEYS)
            AES_set_encrypt_key(kKey, 128, &enc);
        AES_encrypt(sealed, e, &enc);
        int result = memcmp(e + 2, sealed + OSL_SEALED_TAG, 1); // as a tag check begins
        if (FRESH_KEYS)
            AES_set_decrypt_key(kKey, 128, &dec);
        AES_decrypt(sealed, payload, &dec);
        benchmark::DoNotOptimize(result);
        benchmark::DoNotOptimize(payload);
    }
}
BENCHMARK(BM_OpenSslUnseal<true>)->Name("BM_OpenSslUnsealFreshKey");
BENCHMARK(BM_OpenSslUnseal<false>)->Name("BM_OpenSslUnseal");

// A frame refused by its tag costs the check alone.
void BM_UnsealWrongTag(benchmark::State &state) {
    uint8_t payload[OSL_SEALED_SIZE];
    memcpy(payload, kPlain, sizeof payload);
    osl_seal(payload, kKey);
    payload[OSL_SEALED_TAG] ^= 0xFF;
    for (auto _ : state) {
        int result = osl_unseal(payload, kKey);
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(BM_UnsealWrongTag);

} // namespace

BENCHMARK_MAIN();
