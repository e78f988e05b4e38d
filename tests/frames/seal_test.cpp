// Frame sealing: AES-128 against FIPS-197 and OpenSSL, the whitening, the tag
// and the seal/unseal helpers the transmitter and the decoder share.
#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ostream>
#include <random>
#include <string>

#include <sys/time.h>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "core/text.h"
#include "frames/seal.h"

namespace {

using Block = std::array<uint8_t, OSL_BLOCK_SIZE>;
using Key = std::array<uint8_t, OSL_KEY_SIZE>;
using Payload = std::array<uint8_t, OSL_SEALED_SIZE>;

template <size_t N> std::array<uint8_t, N> hex(const char *text) {
    std::array<uint8_t, N> out{};
    EXPECT_EQ(strlen(text), 2 * N) << text;
    EXPECT_EQ(osl_hex_to_bytes(text, out.data(), static_cast<int>(N)), 0) << text;
    return out;
}

template <size_t N> std::array<uint8_t, N> random_bytes(std::mt19937 &rng) {
    std::array<uint8_t, N> out;
    for (auto &b : out)
        b = static_cast<uint8_t>(rng());
    return out;
}

// The independent reference: OpenSSL's AES-128 in ECB mode, one block.
Block openssl_aes(const Key &key, const Block &in, bool encrypt) {
    Block out{};
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int len = 0;
    EXPECT_EQ(EVP_CipherInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key.data(), nullptr, encrypt), 1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EXPECT_EQ(EVP_CipherUpdate(ctx, out.data(), &len, in.data(), OSL_BLOCK_SIZE), 1);
    EXPECT_EQ(len, OSL_BLOCK_SIZE);
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

Block first16(const Payload &p) {
    Block b;
    std::copy_n(p.begin(), OSL_BLOCK_SIZE, b.begin());
    return b;
}

// ---- AES-128 ----

struct AesVector {
    const char *name;
    const char *key;
    const char *plain;
    const char *cipher;
};

// FIPS-197 appendix B (the worked cipher example) and appendix C.1.
const AesVector kFipsVectors[] = {
    {"appendix_B", "2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
     "3925841d02dc09fbdc118597196a0b32"},
    {"appendix_C1", "000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
     "69c4e0d86a7b0430d8cdb78070b4c55a"},
};

void PrintTo(const AesVector &v, std::ostream *os) {
    *os << v.name;
}

class AesFips : public ::testing::TestWithParam<AesVector> {};

TEST_P(AesFips, EncryptsAndDecryptsIntoSeparateBuffer) {
    const AesVector &v = GetParam();
    Key key = hex<16>(v.key);
    Block plain = hex<16>(v.plain), cipher = hex<16>(v.cipher);

    Block in = plain, out{};
    osl_aes128_encrypt(in.data(), key.data(), out.data(), OSL_BLOCK_SIZE);
    EXPECT_EQ(out, cipher);
    EXPECT_EQ(in, plain) << "input must be read only";

    in = cipher;
    osl_aes128_decrypt(in.data(), key.data(), out.data(), OSL_BLOCK_SIZE);
    EXPECT_EQ(out, plain);
    EXPECT_EQ(in, cipher) << "input must be read only";
}

TEST_P(AesFips, EncryptsAndDecryptsInPlace) {
    const AesVector &v = GetParam();
    Key key = hex<16>(v.key);
    Block block = hex<16>(v.plain);

    osl_aes128_encrypt(block.data(), key.data(), block.data(), OSL_BLOCK_SIZE);
    EXPECT_EQ(block, hex<16>(v.cipher));
    osl_aes128_decrypt(block.data(), key.data(), block.data(), OSL_BLOCK_SIZE);
    EXPECT_EQ(block, hex<16>(v.plain));
}

INSTANTIATE_TEST_SUITE_P(Vectors, AesFips, ::testing::ValuesIn(kFipsVectors),
                         [](const auto &case_info) { return std::string(case_info.param.name); });

TEST(Aes, AgreesWithOpenSslOnRandomKeysAndBlocks) {
    std::mt19937 rng(20240611);
    for (int i = 0; i < 4000; i++) {
        Key key = random_bytes<16>(rng);
        Block plain = random_bytes<16>(rng);

        Block ours{};
        osl_aes128_encrypt(plain.data(), key.data(), ours.data(), OSL_BLOCK_SIZE);
        Block theirs = openssl_aes(key, plain, true);
        ASSERT_EQ(ours, theirs) << "encrypt, pair " << i;

        Block back{};
        osl_aes128_decrypt(theirs.data(), key.data(), back.data(), OSL_BLOCK_SIZE);
        ASSERT_EQ(back, plain) << "decrypt, pair " << i;
    }
}

// With nothing to copy, the cipher transforms the output block as it stands;
// a negative length must not turn into a huge copy.
TEST(Aes, CopiesNothingForZeroOrNegativeLength) {
    Key key = hex<16>("000102030405060708090a0b0c0d0e0f");
    Block expected = hex<16>("69c4e0d86a7b0430d8cdb78070b4c55a");
    for (int length : {0, -1, -16}) {
        Block junk;
        junk.fill(0xEE);
        Block out = hex<16>("00112233445566778899aabbccddeeff");
        osl_aes128_encrypt(junk.data(), key.data(), out.data(), length);
        EXPECT_EQ(out, expected) << "length " << length;
        osl_aes128_decrypt(junk.data(), key.data(), out.data(), length);
        EXPECT_EQ(out, hex<16>("00112233445566778899aabbccddeeff")) << "length " << length;
    }
}

// ---- whitening ----

struct ScrambleVector {
    const char *plain;
    const char *scrambled;
};

TEST(Scramble, MatchesKnownBlocksAndUndoes) {
    const ScrambleVector vectors[] = {
        {"000102030405060708090a0b0c0d0e0f", "54040800040c00001414b442d852e47a"},
        {"00000000000000000000000000000000", "500000000000000000000000005fea75"},
    };
    for (const auto &v : vectors) {
        Block block = hex<16>(v.plain);
        osl_scramble(block.data());
        EXPECT_EQ(block, hex<16>(v.scrambled)) << v.plain;
        osl_unscramble(block.data());
        EXPECT_EQ(block, hex<16>(v.plain)) << v.plain;
    }
}

TEST(Scramble, UnscrambleRestoresRandomBlocks) {
    std::mt19937 rng(7);
    for (int i = 0; i < 20000; i++) {
        Block plain = random_bytes<16>(rng);
        Block block = plain;
        osl_scramble(block.data());
        osl_unscramble(block.data());
        ASSERT_EQ(block, plain) << "block " << i;
    }
}

// ---- tag ----

class Tag : public ::testing::Test {
  protected:
    void SetUp() override {
        std::mt19937 rng(99);
        key = random_bytes<16>(rng);
        sealed = random_bytes<16>(rng);
    }
    Key key;
    Block sealed;
};

TEST_F(Tag, MakeWritesTheEvenCipherBytesAndNothingElse) {
    std::array<uint8_t, OSL_TAG_SIZE + 2> area;
    area.fill(0xA5);
    Block before = sealed;

    EXPECT_EQ(osl_frame_tag(sealed.data(), area.data() + 1, key.data(), OSL_TAG_MAKE), 0);

    Block e = openssl_aes(key, sealed, true);
    for (int j = 0; j < OSL_TAG_SIZE; j++)
        EXPECT_EQ(area[1 + j], e[2 + 2 * j]) << "tag byte " << j;
    EXPECT_EQ(area.front(), 0xA5);
    EXPECT_EQ(area.back(), 0xA5);
    EXPECT_EQ(sealed, before) << "sealed bytes must not change";
}

TEST_F(Tag, CheckAcceptsItsOwnTagInAnyCheckMode) {
    std::array<uint8_t, OSL_TAG_SIZE> tag{};
    osl_frame_tag(sealed.data(), tag.data(), key.data(), OSL_TAG_MAKE);
    for (uint8_t mode : {uint8_t{OSL_TAG_CHECK}, uint8_t{2}, uint8_t{255}}) {
        auto copy = tag;
        EXPECT_EQ(osl_frame_tag(sealed.data(), copy.data(), key.data(), mode), 0) << int(mode);
        EXPECT_EQ(copy, tag) << "check mode must not write";
    }
}

TEST_F(Tag, CheckRefusesAnyChangedTagOrSealedByte) {
    std::array<uint8_t, OSL_TAG_SIZE> tag{};
    osl_frame_tag(sealed.data(), tag.data(), key.data(), OSL_TAG_MAKE);
    for (int j = 0; j < OSL_TAG_SIZE; j++) {
        auto bad = tag;
        bad[j] ^= 0x01;
        EXPECT_EQ(osl_frame_tag(sealed.data(), bad.data(), key.data(), OSL_TAG_CHECK), 1) << j;
    }
    for (int i = 0; i < OSL_BLOCK_SIZE; i++) {
        Block bad = sealed;
        bad[i] ^= 0x80;
        EXPECT_EQ(osl_frame_tag(bad.data(), tag.data(), key.data(), OSL_TAG_CHECK), 1) << i;
    }
}

// ---- seal and unseal ----

class Seal : public ::testing::Test {
  protected:
    void SetUp() override {
        std::mt19937 rng(1234);
        key = random_bytes<16>(rng);
        plain = random_bytes<OSL_SEALED_SIZE>(rng);
        plain[OSL_SEALED_TYPE] = 20;
        sealed = plain;
        osl_seal(sealed.data(), key.data());
    }
    Key key;
    Payload plain, sealed;
};

TEST_F(Seal, ScramblesEncryptsAndTagsLeavingTheTypeInClear) {
    Block scrambled = first16(plain);
    osl_scramble(scrambled.data());
    Block cipher = openssl_aes(key, scrambled, true);
    EXPECT_EQ(first16(sealed), cipher);
    EXPECT_EQ(sealed[OSL_SEALED_TYPE], 20);
    Block e = openssl_aes(key, cipher, true);
    for (int j = 0; j < OSL_TAG_SIZE; j++)
        EXPECT_EQ(sealed[OSL_SEALED_TAG + j], e[2 + 2 * j]) << "tag byte " << j;
}

TEST_F(Seal, UnsealRestoresThePayload) {
    Payload p = sealed;
    EXPECT_EQ(osl_unseal(p.data(), key.data()), 0);
    EXPECT_EQ(first16(p), first16(plain));
    EXPECT_EQ(p[OSL_SEALED_TYPE], 20);

    p = sealed;
    ASSERT_EQ(osl_unseal_check(p.data(), key.data()), 0);
    EXPECT_EQ(p, sealed) << "the check alone changes nothing";
    osl_unseal_open(p.data(), key.data());
    EXPECT_EQ(first16(p), first16(plain));
}

TEST_F(Seal, TypeByteIsNotCovered) {
    Payload p = sealed;
    p[OSL_SEALED_TYPE] = 254;
    EXPECT_EQ(osl_unseal(p.data(), key.data()), 0);
    EXPECT_EQ(first16(p), first16(plain));
}

TEST_F(Seal, WrongKeyIsRefusedAndLeavesPayloadAsReceived) {
    Key wrong = key;
    wrong[15] ^= 0x01;
    Payload p = sealed;
    EXPECT_EQ(osl_unseal_check(p.data(), wrong.data()), 1);
    EXPECT_EQ(osl_unseal(p.data(), wrong.data()), 1);
    EXPECT_EQ(p, sealed);
}

TEST(SealRoundTrip, RandomKeysAndPayloads) {
    std::mt19937 rng(555);
    for (int i = 0; i < 2000; i++) {
        Key key = random_bytes<16>(rng);
        Payload plain = random_bytes<OSL_SEALED_SIZE>(rng);
        Payload p = plain;
        osl_seal(p.data(), key.data());
        ASSERT_EQ(osl_unseal(p.data(), key.data()), 0) << i;
        ASSERT_EQ(first16(p), first16(plain)) << i;
    }
}

// The decoder and the transmitter use keys expanded once; they must seal and
// unseal exactly as the key given as bytes does (which the vectors and
// OpenSSL check above), the block functions included.
TEST(ExpandedKey, AgreesWithTheKeyGivenAsBytes) {
    std::mt19937 rng(777);
    for (int i = 0; i < 2000; i++) {
        Key key = random_bytes<16>(rng);
        osl_aes_key k;
        osl_aes_key_expand(key.data(), &k);
        Block block = random_bytes<16>(rng);
        Block by_bytes = block, expanded{};
        osl_aes128_encrypt(by_bytes.data(), key.data(), by_bytes.data(), 16);
        osl_aes_encrypt_block(&k, block.data(), expanded.data());
        ASSERT_EQ(expanded, by_bytes) << i;
        osl_aes_decrypt_block(&k, expanded.data(), expanded.data());
        ASSERT_EQ(expanded, block) << i;

        const Payload plain = random_bytes<OSL_SEALED_SIZE>(rng);
        Payload a = plain, b = plain;
        osl_seal(a.data(), key.data());
        osl_seal_with(b.data(), &k);
        ASSERT_EQ(a, b) << i;
        b[OSL_SEALED_TAG + i % OSL_TAG_SIZE] ^= 0x10;
        ASSERT_EQ(osl_unseal_check_with(b.data(), &k), 1) << i;
        ASSERT_EQ(osl_unseal_check_with(a.data(), &k), 0) << i;
        osl_unseal_open_with(a.data(), &k);
        ASSERT_EQ(first16(a), first16(plain)) << i;
    }
}

TEST(SensorKey, IsExpandedByTheCompilerAsAtRunTime) {
    osl_aes_key k;
    osl_aes_key_expand(osl_sensor_key, &k);
    EXPECT_EQ(0, memcmp(&k, &osl_sensor_schedule, sizeof k));
}

TEST(SensorKey, IsTheConfiguredKey) {
    Key configured = hex<16>(OSL_TEST_SENSOR_KEY);
    EXPECT_EQ(0, memcmp(osl_sensor_key, configured.data(), OSL_KEY_SIZE));
}

// ---- a decode in the tick interrupting a seal in the main flow ----

struct TickWork {
    Key key;
    Payload sealed;
    Block plain;
};
TickWork g_tick;
volatile sig_atomic_t g_tick_runs = 0;
volatile sig_atomic_t g_tick_failures = 0;

void tick_unseal(int) {
    Payload p = g_tick.sealed;
    if (osl_unseal(p.data(), g_tick.key.data()) != 0 ||
        memcmp(p.data(), g_tick.plain.data(), OSL_BLOCK_SIZE) != 0)
        g_tick_failures = g_tick_failures + 1;
    g_tick_runs = g_tick_runs + 1;
}

TEST(SealConcurrency, UnsealInSignalHandlerLeavesSealInProgressIntact) {
    std::mt19937 rng(42);
    g_tick.key = random_bytes<16>(rng);
    Payload tick_plain = random_bytes<OSL_SEALED_SIZE>(rng);
    g_tick.sealed = tick_plain;
    osl_seal(g_tick.sealed.data(), g_tick.key.data());
    g_tick.plain = first16(tick_plain);

    Key key = random_bytes<16>(rng);
    Payload plain = random_bytes<OSL_SEALED_SIZE>(rng);
    Payload expected = plain;
    osl_seal(expected.data(), key.data());

    struct sigaction sa {};
    sa.sa_handler = tick_unseal;
    ASSERT_EQ(sigaction(SIGALRM, &sa, nullptr), 0);
    itimerval every{{0, 100}, {0, 100}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every, nullptr), 0);

    // Many interruptions are needed before landing inside seals is all but
    // certain; the deadline only guards against a machine that never fires.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int seals = 0, wrong = 0;
    while (g_tick_runs < 2000 && std::chrono::steady_clock::now() < deadline) {
        Payload p = plain;
        osl_seal(p.data(), key.data());
        wrong += p != expected;
        seals++;
    }
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);

    EXPECT_GE(g_tick_runs, 2000);
    EXPECT_EQ(g_tick_failures, 0);
    EXPECT_EQ(wrong, 0) << "of " << seals << " seals";
}

} // namespace
