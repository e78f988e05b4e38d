#include "seal.h"

#include <cstring>

#include "sensor_key.h"

namespace {

// AES-128: Nb = 4 columns, Nk = 4 key words, Nr = 10 rounds.
constexpr int OSL_AES_ROUNDS = 10;
constexpr int OSL_AES_WORDS = 4 * (OSL_AES_ROUNDS + 1);
static_assert(OSL_AES_WORDS == sizeof(osl_aes_key::enc) / sizeof(uint32_t));

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

// ---- the cipher on 32-bit words ----------------------------------------------
//
// Each column of the state is one word, its row 0 byte most significant. A
// round of SubBytes, ShiftRows and MixColumns then comes down to 16 lookups
// in four 256-word tables and 16 exclusive ors, and the inverse cipher, with
// InvMixColumns folded into its round keys (FIPS-197's equivalent inverse
// cipher), to the same with four more tables. The tables are 8 KiB of
// constant data, built by the compiler from the S-boxes above. Keys are
// expanded once where they can be: the sensor key when the library is built,
// an actor's key when it is registered.
//
// The lookups depend on the data, so this code is not constant-time: it is
// fine for a board whose only secrets are link keys of broadcast frames and
// whose only observers are within radio range, not for shared hardware.

constexpr uint32_t osl_word(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
    return static_cast<uint32_t>(b0) << 24 | static_cast<uint32_t>(b1) << 16 |
           static_cast<uint32_t>(b2) << 8 | b3;
}

constexpr uint32_t osl_rotr8(uint32_t w) {
    return w >> 8 | w << 24;
}

struct osl_aes_round_tables {
    uint32_t te[4][256]; // SubBytes then MixColumns of one byte, by its row
    uint32_t td[4][256]; // InvSubBytes then InvMixColumns of one byte, by its row
};

constexpr osl_aes_round_tables osl_aes_build_round_tables() {
    osl_aes_round_tables t{};
    for (int x = 0; x < 256; x++) {
        const uint8_t s = OSL_AES.sbox[x];
        const uint8_t i = OSL_AES.inv_sbox[x];
        uint32_t e = osl_word(osl_gf_mul(s, 2), s, s, osl_gf_mul(s, 3));
        uint32_t d =
            osl_word(osl_gf_mul(i, 14), osl_gf_mul(i, 9), osl_gf_mul(i, 13), osl_gf_mul(i, 11));
        for (int r = 0; r < 4; r++) {
            t.te[r][x] = e;
            t.td[r][x] = d;
            e = osl_rotr8(e);
            d = osl_rotr8(d);
        }
    }
    return t;
}

constexpr osl_aes_round_tables OSL_T = osl_aes_build_round_tables();
// FIPS-197's MixColumns example column, d4 bf 5d 30 -> 04 66 81 e5.
static_assert((OSL_T.te[0][OSL_AES.inv_sbox[0xd4]] ^ OSL_T.te[1][OSL_AES.inv_sbox[0xbf]] ^
               OSL_T.te[2][OSL_AES.inv_sbox[0x5d]] ^ OSL_T.te[3][OSL_AES.inv_sbox[0x30]]) ==
              0x046681e5u);

constexpr uint32_t osl_sub_word(uint32_t w) {
    return osl_word(OSL_AES.sbox[w >> 24], OSL_AES.sbox[(w >> 16) & 0xFF],
                    OSL_AES.sbox[(w >> 8) & 0xFF], OSL_AES.sbox[w & 0xFF]);
}

// InvMixColumns of one word: the decryption tables undo the S-box first.
constexpr uint32_t osl_inv_mix_word(uint32_t w) {
    return OSL_T.td[0][OSL_AES.sbox[w >> 24]] ^ OSL_T.td[1][OSL_AES.sbox[(w >> 16) & 0xFF]] ^
           OSL_T.td[2][OSL_AES.sbox[(w >> 8) & 0xFF]] ^ OSL_T.td[3][OSL_AES.sbox[w & 0xFF]];
}

constexpr void osl_aes_expand_enc(const uint8_t *key, uint32_t *rk) {
    for (int i = 0; i < 4; i++)
        rk[i] = osl_word(key[4 * i], key[4 * i + 1], key[4 * i + 2], key[4 * i + 3]);
    for (int i = 4; i < OSL_AES_WORDS; i++) {
        uint32_t w = rk[i - 1];
        if (i % 4 == 0) // RotWord, SubWord, then the round constant
            w = osl_sub_word(w << 8 | w >> 24) ^ static_cast<uint32_t>(OSL_AES.rcon[i / 4]) << 24;
        rk[i] = rk[i - 4] ^ w;
    }
}

// The equivalent inverse cipher's round keys: the encryption keys in reverse
// order of rounds, InvMixColumns applied to all but the first and the last.
constexpr void osl_aes_derive_dec(const uint32_t *enc, uint32_t *dec) {
    for (int round = 0; round <= OSL_AES_ROUNDS; round++)
        for (int c = 0; c < 4; c++) {
            uint32_t w = enc[4 * (OSL_AES_ROUNDS - round) + c];
            dec[4 * round + c] = (round == 0 || round == OSL_AES_ROUNDS) ? w : osl_inv_mix_word(w);
        }
}

constexpr osl_aes_key osl_aes_expand(const uint8_t *key) {
    osl_aes_key k{};
    osl_aes_expand_enc(key, k.enc);
    osl_aes_derive_dec(k.enc, k.dec);
    return k;
}

uint32_t osl_load(const uint8_t *p) {
    return osl_word(p[0], p[1], p[2], p[3]);
}

void osl_store(uint8_t *p, uint32_t w) {
    p[0] = static_cast<uint8_t>(w >> 24);
    p[1] = static_cast<uint8_t>(w >> 16);
    p[2] = static_cast<uint8_t>(w >> 8);
    p[3] = static_cast<uint8_t>(w);
}

uint8_t osl_byte(uint32_t w, int row) {
    return static_cast<uint8_t>(w >> (24 - 8 * row));
}

// One block through the rounds. Encryption takes column c's row r byte from
// column c + r (ShiftRows); decryption from column c - r (InvShiftRows).
template <bool ENCRYPT> void osl_aes_block(const uint32_t *rk, const uint8_t *in, uint8_t *out) {
    const auto &table = ENCRYPT ? OSL_T.te : OSL_T.td;
    const uint8_t *box = ENCRYPT ? OSL_AES.sbox : OSL_AES.inv_sbox;
    constexpr int step = ENCRYPT ? 1 : 3; // the column r rows on, modulo 4
    uint32_t s[4], t[4];
    for (int c = 0; c < 4; c++)
        s[c] = osl_load(in + 4 * c) ^ rk[c];
    for (int round = 1; round < OSL_AES_ROUNDS; round++) {
        rk += 4;
        for (int c = 0; c < 4; c++)
            t[c] = table[0][osl_byte(s[c], 0)] ^ table[1][osl_byte(s[(c + step) & 3], 1)] ^
                   table[2][osl_byte(s[(c + 2 * step) & 3], 2)] ^
                   table[3][osl_byte(s[(c + 3 * step) & 3], 3)] ^ rk[c];
        for (int c = 0; c < 4; c++)
            s[c] = t[c];
    }
    rk += 4;
    for (int c = 0; c < 4; c++)
        osl_store(out + 4 * c, osl_word(box[osl_byte(s[c], 0)], box[osl_byte(s[(c + step) & 3], 1)],
                                        box[osl_byte(s[(c + 2 * step) & 3], 2)],
                                        box[osl_byte(s[(c + 3 * step) & 3], 3)]) ^
                                   rk[c]);
}

void osl_aes_copy_in(const uint8_t *in, uint8_t *out, int length) {
    // The frame paths pass one buffer as both input and output; a negative
    // length must not become an enormous copy.
    if (length > 0 && in != out)
        memmove(out, in, static_cast<size_t>(length));
}

// The sensor key, expanded by the compiler.
constexpr uint8_t OSL_SENSOR_KEY_VALUE[OSL_KEY_SIZE] = {OSL_SENSOR_KEY_BYTES};

} // namespace

const uint8_t osl_sensor_key[OSL_KEY_SIZE] = {OSL_SENSOR_KEY_BYTES};
const osl_aes_key osl_sensor_schedule = osl_aes_expand(OSL_SENSOR_KEY_VALUE);

void osl_aes_key_expand(const uint8_t *key, osl_aes_key *out) {
    *out = osl_aes_expand(key);
}

void osl_aes_encrypt_block(const osl_aes_key *k, const uint8_t *in, uint8_t *out) {
    osl_aes_block<true>(k->enc, in, out);
}

void osl_aes_decrypt_block(const osl_aes_key *k, const uint8_t *in, uint8_t *out) {
    osl_aes_block<false>(k->dec, in, out);
}

void osl_aes128_encrypt(const uint8_t *in, const uint8_t *key, uint8_t *out, int length) {
    osl_aes_copy_in(in, out, length);
    uint32_t rk[OSL_AES_WORDS];
    osl_aes_expand_enc(key, rk);
    osl_aes_block<true>(rk, out, out);
}

void osl_aes128_decrypt(const uint8_t *in, const uint8_t *key, uint8_t *out, int length) {
    osl_aes_copy_in(in, out, length);
    osl_aes_key k;
    osl_aes_key_expand(key, &k);
    osl_aes_block<false>(k.dec, out, out);
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

// The tag: the even bytes 2..14 of the sealed bytes encrypted once more.
int osl_frame_tag_with(const uint8_t *sealed, uint8_t *tag, const osl_aes_key *k, uint8_t mode) {
    uint8_t e[OSL_BLOCK_SIZE];
    osl_aes_encrypt_block(k, sealed, e);
    for (int j = 0; j < OSL_TAG_SIZE; j++) {
        uint8_t expected = e[2 + 2 * j];
        if (mode == OSL_TAG_MAKE)
            tag[j] = expected;
        else if (tag[j] != expected)
            return 1;
    }
    return 0;
}

int osl_frame_tag(const uint8_t *sealed, uint8_t *tag, const uint8_t *key, uint8_t mode) {
    osl_aes_key k;
    osl_aes_key_expand(key, &k);
    return osl_frame_tag_with(sealed, tag, &k, mode);
}

void osl_seal_with(uint8_t *payload, const osl_aes_key *k) {
    osl_scramble(payload);
    osl_aes_encrypt_block(k, payload, payload);
    osl_frame_tag_with(payload, payload + OSL_SEALED_TAG, k, OSL_TAG_MAKE);
}

int osl_unseal_check_with(const uint8_t *payload, const osl_aes_key *k) {
    // Check mode only reads the tag bytes.
    uint8_t *tag = const_cast<uint8_t *>(payload + OSL_SEALED_TAG);
    return osl_frame_tag_with(payload, tag, k, OSL_TAG_CHECK);
}

void osl_unseal_open_with(uint8_t *payload, const osl_aes_key *k) {
    osl_aes_decrypt_block(k, payload, payload);
    osl_unscramble(payload);
}

void osl_seal(uint8_t *payload, const uint8_t *key) {
    osl_aes_key k;
    osl_aes_key_expand(key, &k);
    osl_seal_with(payload, &k);
}

int osl_unseal_check(const uint8_t *payload, const uint8_t *key) {
    osl_aes_key k;
    osl_aes_key_expand(key, &k);
    return osl_unseal_check_with(payload, &k);
}

void osl_unseal_open(uint8_t *payload, const uint8_t *key) {
    osl_aes_key k;
    osl_aes_key_expand(key, &k);
    osl_unseal_open_with(payload, &k);
}

int osl_unseal(uint8_t *payload, const uint8_t *key) {
    osl_aes_key k;
    osl_aes_key_expand(key, &k);
    if (osl_unseal_check_with(payload, &k) != 0)
        return 1;
    osl_unseal_open_with(payload, &k);
    return 0;
}
