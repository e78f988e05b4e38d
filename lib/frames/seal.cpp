#include "seal.h"

#include <cstring>

#include "sensor_key.h"

const uint8_t osl_sensor_key[OSL_KEY_SIZE] = {OSL_SENSOR_KEY_BYTES};

namespace {

// AES-128: Nb = 4 columns, Nk = 4 key words, Nr = 10 rounds.
constexpr int OSL_AES_ROUNDS = 10;
constexpr int OSL_AES_SCHEDULE_SIZE = OSL_BLOCK_SIZE * (OSL_AES_ROUNDS + 1);

// Whitening: the running key steps by this much per byte.
constexpr uint8_t OSL_SCRAMBLE_STEP = 0x75;

// ---- GF(2^8) arithmetic modulo x^8 + x^4 + x^3 + x + 1 ----

constexpr uint8_t osl_gf_double(uint8_t x) {
    return static_cast<uint8_t>((x << 1) ^ ((x >> 7) * 0x1B));
}

constexpr uint8_t osl_gf_mul(uint8_t a, uint8_t b) {
    uint8_t product = 0;
    for (; b != 0; b >>= 1, a = osl_gf_double(a))
        if (b & 1)
            product ^= a;
    return product;
}

// The field's multiplicative group has order 255, so a^254 is a's inverse;
// 0 maps to 0, as SubBytes requires. Square and multiply keeps the work for
// the whole table within what every compiler allows a constant expression.
constexpr uint8_t osl_gf_inverse(uint8_t a) {
    uint8_t result = 1;
    for (int e = 254; e != 0; e >>= 1, a = osl_gf_mul(a, a))
        if (e & 1)
            result = osl_gf_mul(result, a);
    return result;
}

constexpr uint8_t osl_rotl8(uint8_t x, int n) {
    return static_cast<uint8_t>((x << n) | (x >> (8 - n)));
}

struct osl_aes_tables {
    uint8_t sbox[256];
    uint8_t inv_sbox[256];
    uint8_t times2[256];              // doubling in the field: MixColumns' one multiplication
    uint8_t rcon[OSL_AES_ROUNDS + 1]; // rcon[0] unused
};

// Built by the compiler from the field itself rather than typed in, so a
// mistyped entry cannot slip into the cipher.
constexpr osl_aes_tables osl_aes_build_tables() {
    osl_aes_tables t{};
    for (int a = 0; a < 256; a++) {
        uint8_t b = osl_gf_inverse(static_cast<uint8_t>(a));
        uint8_t s =
            b ^ osl_rotl8(b, 1) ^ osl_rotl8(b, 2) ^ osl_rotl8(b, 3) ^ osl_rotl8(b, 4) ^ 0x63;
        t.sbox[a] = s;
        t.inv_sbox[s] = static_cast<uint8_t>(a);
        t.times2[a] = osl_gf_double(static_cast<uint8_t>(a));
    }
    uint8_t r = 1;
    for (int i = 1; i <= OSL_AES_ROUNDS; i++, r = osl_gf_double(r))
        t.rcon[i] = r;
    return t;
}

constexpr osl_aes_tables OSL_AES = osl_aes_build_tables();

constexpr bool osl_aes_tables_are_inverse() {
    for (int a = 0; a < 256; a++)
        if (OSL_AES.inv_sbox[OSL_AES.sbox[a]] != a)
            return false;
    return true;
}

// Spot checks against the tables printed in FIPS-197 (figures 7 and 14) and
// the round constants of its key expansion example.
static_assert(OSL_AES.sbox[0x00] == 0x63 && OSL_AES.sbox[0x01] == 0x7C);
static_assert(OSL_AES.sbox[0x53] == 0xED && OSL_AES.sbox[0xFF] == 0x16);
static_assert(OSL_AES.inv_sbox[0x00] == 0x52 && OSL_AES.inv_sbox[0xFF] == 0x7D);
static_assert(OSL_AES.rcon[1] == 0x01 && OSL_AES.rcon[9] == 0x1B && OSL_AES.rcon[10] == 0x36);
static_assert(osl_aes_tables_are_inverse());

// ---- the cipher; the state is 16 bytes, byte n at row n % 4, column n / 4 ----

void osl_aes_expand_key(const uint8_t *key, uint8_t *schedule) {
    memcpy(schedule, key, OSL_KEY_SIZE);
    for (int i = OSL_KEY_SIZE; i < OSL_AES_SCHEDULE_SIZE; i += 4) {
        const uint8_t *prev = schedule + i - 4;
        uint8_t word[4] = {prev[0], prev[1], prev[2], prev[3]};
        if (i % OSL_KEY_SIZE == 0) {
            // RotWord, SubWord, then the round constant
            uint8_t first = word[0];
            word[0] = OSL_AES.sbox[word[1]] ^ OSL_AES.rcon[i / OSL_KEY_SIZE];
            word[1] = OSL_AES.sbox[word[2]];
            word[2] = OSL_AES.sbox[word[3]];
            word[3] = OSL_AES.sbox[first];
        }
        for (int k = 0; k < 4; k++)
            schedule[i + k] = schedule[i - OSL_KEY_SIZE + k] ^ word[k];
    }
}

void osl_aes_add_round_key(uint8_t *s, const uint8_t *round_key) {
    for (int i = 0; i < OSL_BLOCK_SIZE; i++)
        s[i] ^= round_key[i];
}

// ShiftRows turns row r left by r columns, InvShiftRows right by r: the
// tables give, for each byte of the result, the byte of the state it comes from.
struct osl_aes_row_shift {
    uint8_t from[OSL_BLOCK_SIZE];
};

constexpr osl_aes_row_shift osl_aes_build_row_shift(bool inverse) {
    osl_aes_row_shift t{};
    for (int c = 0; c < 4; c++)
        for (int r = 0; r < 4; r++) {
            int from = inverse ? (c + 4 - r) % 4 : (c + r) % 4;
            t.from[r + 4 * c] = static_cast<uint8_t>(r + 4 * from);
        }
    return t;
}

constexpr osl_aes_row_shift OSL_SHIFT_ROWS = osl_aes_build_row_shift(false);
constexpr osl_aes_row_shift OSL_INV_SHIFT_ROWS = osl_aes_build_row_shift(true);

// SubBytes and ShiftRows (or their inverses) in one pass: one works on each
// byte alone, the other only moves bytes, so their order does not matter.
void osl_aes_sub_shift(uint8_t *s, const uint8_t *box, const osl_aes_row_shift &shift) {
    uint8_t t[OSL_BLOCK_SIZE];
    memcpy(t, s, OSL_BLOCK_SIZE);
    for (int i = 0; i < OSL_BLOCK_SIZE; i++)
        s[i] = box[t[shift.from[i]]];
}

void osl_aes_mix_columns(uint8_t *s) {
    for (uint8_t *col = s; col < s + OSL_BLOCK_SIZE; col += 4) {
        uint8_t a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
        uint8_t all = a0 ^ a1 ^ a2 ^ a3;
        // 2a ^ 3b ^ c ^ d == a ^ all ^ 2(a ^ b), and so on round the column
        col[0] = a0 ^ all ^ OSL_AES.times2[a0 ^ a1];
        col[1] = a1 ^ all ^ OSL_AES.times2[a1 ^ a2];
        col[2] = a2 ^ all ^ OSL_AES.times2[a2 ^ a3];
        col[3] = a3 ^ all ^ OSL_AES.times2[a3 ^ a0];
    }
}

// InvMixColumns' matrix {0E 0B 0D 09} equals MixColumns' times {05 00 04 00}:
// a cheap premultiplication followed by the forward mixing.
void osl_aes_inv_mix_columns(uint8_t *s) {
    for (uint8_t *col = s; col < s + OSL_BLOCK_SIZE; col += 4) {
        uint8_t u = OSL_AES.times2[OSL_AES.times2[col[0] ^ col[2]]];
        uint8_t v = OSL_AES.times2[OSL_AES.times2[col[1] ^ col[3]]];
        col[0] ^= u;
        col[1] ^= v;
        col[2] ^= u;
        col[3] ^= v;
    }
    osl_aes_mix_columns(s);
}

void osl_aes_copy_in(const uint8_t *in, uint8_t *out, int length) {
    // The frame paths pass one buffer as both input and output; a negative
    // length must not become an enormous copy.
    if (length > 0 && in != out)
        memmove(out, in, static_cast<size_t>(length));
}

} // namespace

void osl_aes128_encrypt(const uint8_t *in, const uint8_t *key, uint8_t *out, int length) {
    uint8_t schedule[OSL_AES_SCHEDULE_SIZE];
    osl_aes_copy_in(in, out, length);
    osl_aes_expand_key(key, schedule);

    osl_aes_add_round_key(out, schedule);
    for (int round = 1; round < OSL_AES_ROUNDS; round++) {
        osl_aes_sub_shift(out, OSL_AES.sbox, OSL_SHIFT_ROWS);
        osl_aes_mix_columns(out);
        osl_aes_add_round_key(out, schedule + OSL_BLOCK_SIZE * round);
    }
    osl_aes_sub_shift(out, OSL_AES.sbox, OSL_SHIFT_ROWS);
    osl_aes_add_round_key(out, schedule + OSL_BLOCK_SIZE * OSL_AES_ROUNDS);
}

void osl_aes128_decrypt(const uint8_t *in, const uint8_t *key, uint8_t *out, int length) {
    uint8_t schedule[OSL_AES_SCHEDULE_SIZE];
    osl_aes_copy_in(in, out, length);
    osl_aes_expand_key(key, schedule);

    osl_aes_add_round_key(out, schedule + OSL_BLOCK_SIZE * OSL_AES_ROUNDS);
    for (int round = OSL_AES_ROUNDS - 1; round > 0; round--) {
        osl_aes_sub_shift(out, OSL_AES.inv_sbox, OSL_INV_SHIFT_ROWS);
        osl_aes_add_round_key(out, schedule + OSL_BLOCK_SIZE * round);
        osl_aes_inv_mix_columns(out);
    }
    osl_aes_sub_shift(out, OSL_AES.inv_sbox, OSL_INV_SHIFT_ROWS);
    osl_aes_add_round_key(out, schedule);
}

void osl_scramble(uint8_t *b) {
    uint8_t r = b[0];
    for (int i = OSL_BLOCK_SIZE - 1; i > 0; i--) {
        r = static_cast<uint8_t>(r + OSL_SCRAMBLE_STEP);
        b[i] ^= r;
    }
    uint8_t c = b[OSL_BLOCK_SIZE - 1];
    int n = (c & 7) + 8;
    for (int i = 0; i < n; i++)
        b[i] ^= static_cast<uint8_t>(b[i + 1] + c);
}

void osl_unscramble(uint8_t *b) {
    uint8_t c = b[OSL_BLOCK_SIZE - 1];
    int n = (c & 7) + 8;
    for (int i = n; i > 0; i--)
        b[i - 1] ^= static_cast<uint8_t>(b[i] + c);
    uint8_t r = b[0];
    for (int i = OSL_BLOCK_SIZE - 1; i > 0; i--) {
        r = static_cast<uint8_t>(r + OSL_SCRAMBLE_STEP);
        b[i] ^= r;
    }
}

int osl_frame_tag(const uint8_t *sealed, uint8_t *tag, const uint8_t *key, uint8_t mode) {
    uint8_t e[OSL_BLOCK_SIZE];
    osl_aes128_encrypt(sealed, key, e, OSL_BLOCK_SIZE);
    for (int j = 0; j < OSL_TAG_SIZE; j++) {
        uint8_t expected = e[2 + 2 * j];
        if (mode == OSL_TAG_MAKE)
            tag[j] = expected;
        else if (tag[j] != expected)
            return 1;
    }
    return 0;
}

void osl_seal(uint8_t *payload, const uint8_t *key) {
    osl_scramble(payload);
    osl_aes128_encrypt(payload, key, payload, OSL_BLOCK_SIZE);
    osl_frame_tag(payload, payload + OSL_SEALED_TAG, key, OSL_TAG_MAKE);
}

int osl_unseal_check(const uint8_t *payload, const uint8_t *key) {
    // Check mode only reads the tag bytes.
    uint8_t *tag = const_cast<uint8_t *>(payload + OSL_SEALED_TAG);
    return osl_frame_tag(payload, tag, key, OSL_TAG_CHECK);
}

void osl_unseal_open(uint8_t *payload, const uint8_t *key) {
    osl_aes128_decrypt(payload, key, payload, OSL_BLOCK_SIZE);
    osl_unscramble(payload);
}

int osl_unseal(uint8_t *payload, const uint8_t *key) {
    if (osl_unseal_check(payload, key) != 0)
        return 1;
    osl_unseal_open(payload, key);
    return 0;
}
