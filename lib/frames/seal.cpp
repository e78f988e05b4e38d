#include "seal.h"

#include <bit>
#include <cstring>

#include "sensor_key.h"

// GCC's scheduling before register allocation hoists the table loads of a
// round so far ahead that the state no longer fits ARM's registers and
// spills to the stack: about an eighth more instructions per block. The
// cipher is built without it there.
#if defined(__arm__) && defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("no-schedule-insns")
#endif

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
// Each column of the state is one word, its row r byte in bits 8r to 8r + 7,
// so that on the usual little-endian processor a column is one load and one
// store. A round of SubBytes, ShiftRows and MixColumns then comes down to 16
// table lookups and 16 exclusive ors, and the inverse cipher, with
// InvMixColumns folded into its round keys (FIPS-197's equivalent inverse
// cipher), to the same with its own table. Keys are expanded once where they
// can be: the sensor key when the library is built, an actor's key when it is
// registered.
//
// A byte's entry in row r is its row 0 entry rotated by r bytes. Processors
// with a barrel shifter (ARM) rotate for free inside the exclusive or, so
// there one 1 KiB table per direction serves all four rows and leaves the
// registers to the state; elsewhere (x86) a rotation is an instruction of its
// own and four pre-rotated tables are cheaper. The tables are constant data
// built by the compiler from the S-boxes above.
//
// The lookups depend on the data, so this code is not constant-time: it is
// fine for a board whose only secrets are link keys of broadcast frames and
// whose only observers are within radio range, not for shared hardware.

#if defined(__arm__) || defined(__aarch64__)
constexpr bool OSL_AES_ONE_TABLE = true;
#else
constexpr bool OSL_AES_ONE_TABLE = false;
#endif

// A column from its four bytes, row 0 first.
constexpr uint32_t osl_word(uint8_t r0, uint8_t r1, uint8_t r2, uint8_t r3) {
    return static_cast<uint32_t>(r3) << 24 | static_cast<uint32_t>(r2) << 16 |
           static_cast<uint32_t>(r1) << 8 | r0;
}

constexpr uint8_t osl_row(uint32_t w, int row) {
    return static_cast<uint8_t>(w >> (8 * row));
}

// A round table: one byte's contribution to its column, for row 0. Each
// table is an object in a section of its own: GCC on ARM otherwise reaches
// all of a section's constants from one shared anchor and adds the table's
// offset to every index, an instruction per lookup.
struct osl_aes_table {
    uint32_t w[256];
};

// SubBytes then MixColumns (ENCRYPT), or InvSubBytes then InvMixColumns.
constexpr osl_aes_table osl_aes_build_table(bool encrypt) {
    osl_aes_table t{};
    for (int x = 0; x < 256; x++) {
        const uint8_t s = OSL_AES.sbox[x];
        const uint8_t i = OSL_AES.inv_sbox[x];
        t.w[x] = encrypt ? osl_word(osl_gf_mul(s, 2), s, s, osl_gf_mul(s, 3))
                         : osl_word(osl_gf_mul(i, 14), osl_gf_mul(i, 9), osl_gf_mul(i, 13),
                                    osl_gf_mul(i, 11));
    }
    return t;
}

[[gnu::section(".rodata.osl_aes_te")]] constexpr osl_aes_table OSL_TE = osl_aes_build_table(true);
[[gnu::section(".rodata.osl_aes_td")]] constexpr osl_aes_table OSL_TD = osl_aes_build_table(false);

// The four rows' tables, for processors without free rotations.
struct osl_aes_row_tables {
    uint32_t w[4][256];
};

constexpr osl_aes_row_tables osl_aes_build_row_tables(const osl_aes_table &t) {
    osl_aes_row_tables rows{};
    for (int r = 0; r < 4; r++)
        for (int x = 0; x < 256; x++)
            rows.w[r][x] = std::rotl(t.w[x], 8 * r);
    return rows;
}

constexpr osl_aes_row_tables OSL_TE4 = osl_aes_build_row_tables(OSL_TE);
constexpr osl_aes_row_tables OSL_TD4 = osl_aes_build_row_tables(OSL_TD);

// A round's contribution of byte x in row ROW of its column.
template <bool ENCRYPT, int ROW>
[[gnu::always_inline]] constexpr uint32_t osl_aes_lookup_byte(uint8_t x) {
    if constexpr (OSL_AES_ONE_TABLE)
        return std::rotl((ENCRYPT ? OSL_TE : OSL_TD).w[x], 8 * ROW);
    else
        return (ENCRYPT ? OSL_TE4 : OSL_TD4).w[ROW][x];
}

// The same for the byte in row ROW of column w.
template <bool ENCRYPT, int ROW> [[gnu::always_inline]] inline uint32_t osl_aes_lookup(uint32_t w) {
    return osl_aes_lookup_byte<ENCRYPT, ROW>(osl_row(w, ROW));
}

// FIPS-197's MixColumns example column, d4 bf 5d 30 -> 04 66 81 e5.
static_assert((std::rotl(OSL_TE.w[OSL_AES.inv_sbox[0xd4]], 0) ^
               std::rotl(OSL_TE.w[OSL_AES.inv_sbox[0xbf]], 8) ^
               std::rotl(OSL_TE.w[OSL_AES.inv_sbox[0x5d]], 16) ^
               std::rotl(OSL_TE.w[OSL_AES.inv_sbox[0x30]], 24)) ==
              osl_word(0x04, 0x66, 0x81, 0xe5));
static_assert(OSL_TE4.w[3][0x53] == std::rotl(OSL_TE.w[0x53], 24));

constexpr uint32_t osl_sub_word(uint32_t w) {
    return osl_word(OSL_AES.sbox[osl_row(w, 0)], OSL_AES.sbox[osl_row(w, 1)],
                    OSL_AES.sbox[osl_row(w, 2)], OSL_AES.sbox[osl_row(w, 3)]);
}

// InvMixColumns of one word: the decryption table undoes the S-box first.
constexpr uint32_t osl_inv_mix_word(uint32_t w) {
    return osl_aes_lookup_byte<false, 0>(OSL_AES.sbox[osl_row(w, 0)]) ^
           osl_aes_lookup_byte<false, 1>(OSL_AES.sbox[osl_row(w, 1)]) ^
           osl_aes_lookup_byte<false, 2>(OSL_AES.sbox[osl_row(w, 2)]) ^
           osl_aes_lookup_byte<false, 3>(OSL_AES.sbox[osl_row(w, 3)]);
}

constexpr void osl_aes_expand_enc(const uint8_t *key, uint32_t *rk) {
    for (int i = 0; i < 4; i++)
        rk[i] = osl_word(key[4 * i], key[4 * i + 1], key[4 * i + 2], key[4 * i + 3]);
    for (int i = 4; i < OSL_AES_WORDS; i++) {
        uint32_t w = rk[i - 1];
        if (i % 4 == 0) // RotWord, SubWord, then the round constant into row 0
            w = osl_sub_word(std::rotr(w, 8)) ^ OSL_AES.rcon[i / 4];
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

// The tag is bytes 2, 4, ... 14 of the encrypted block: tag byte j is block
// byte osl_tag_source(j), which lies in row % 4 of column / 4.
constexpr int osl_tag_source(int j) {
    return 2 + 2 * j;
}

// The tag bytes FIRST to FIRST + 3 of a block given as columns, as one word.
template <typename BYTE> constexpr uint32_t osl_tag_word(int first, BYTE byte) {
    uint32_t w = 0;
    for (int j = 0; j < 4; j++)
        w |= static_cast<uint32_t>(byte(osl_tag_source(first + j))) << (8 * j);
    return w;
}

// Where the tag words begin: bytes 0 to 3 and 3 to 6, which overlap so that
// neither reaches past the 7 tag bytes.
constexpr int OSL_TAG_WORD_FIRST[2] = {0, OSL_TAG_SIZE - 4};

constexpr osl_aes_key osl_aes_expand(const uint8_t *key) {
    osl_aes_key k{};
    osl_aes_expand_enc(key, k.enc);
    osl_aes_derive_dec(k.enc, k.dec);
    const uint32_t *last = k.enc + 4 * OSL_AES_ROUNDS;
    for (int t = 0; t < 2; t++)
        k.tag[t] = osl_tag_word(OSL_TAG_WORD_FIRST[t],
                                [last](int i) { return osl_row(last[i / 4], i % 4); });
    return k;
}

// FIPS-197's key expansion example (appendix A.1): the last word of the
// schedule of 2b7e1516 28aed2a6 abf71588 09cf4f3c is b6630ca6.
constexpr uint8_t OSL_FIPS_KEY[OSL_KEY_SIZE] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                                                0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
static_assert(osl_aes_expand(OSL_FIPS_KEY).enc[OSL_AES_WORDS - 1] ==
              osl_word(0xb6, 0x63, 0x0c, 0xa6));

// A column from 4 bytes of a block and back; on a little-endian processor
// one plain (possibly unaligned) load or store.
[[gnu::always_inline]] inline uint32_t osl_load(const uint8_t *p) {
    if constexpr (std::endian::native == std::endian::little) {
        uint32_t w;
        memcpy(&w, p, sizeof w);
        return w;
    }
    return osl_word(p[0], p[1], p[2], p[3]);
}

[[gnu::always_inline]] inline void osl_store(uint8_t *p, uint32_t w) {
    if constexpr (std::endian::native == std::endian::little) {
        memcpy(p, &w, sizeof w);
        return;
    }
    for (int row = 0; row < 4; row++)
        p[row] = osl_row(w, row);
}

// The state: its four columns. Passed by value between the always inlined
// steps below, so that it lives in registers throughout a block.
struct osl_aes_state {
    uint32_t c[4];
};

// One full round. Encryption takes column c's row r byte from column c + r
// (ShiftRows), decryption from column c - r (InvShiftRows).
template <bool ENCRYPT>
[[gnu::always_inline]] inline osl_aes_state osl_aes_round(const osl_aes_state &s,
                                                          const uint32_t *rk) {
    constexpr int step = ENCRYPT ? 1 : 3; // the column r rows on, modulo 4
    osl_aes_state t;
    for (int c = 0; c < 4; c++)
        t.c[c] = osl_aes_lookup<ENCRYPT, 0>(s.c[c]) ^
                 osl_aes_lookup<ENCRYPT, 1>(s.c[(c + step) & 3]) ^
                 osl_aes_lookup<ENCRYPT, 2>(s.c[(c + 2 * step) & 3]) ^
                 osl_aes_lookup<ENCRYPT, 3>(s.c[(c + 3 * step) & 3]) ^ rk[c];
    return t;
}

// The first AddRoundKey and the nine full rounds: the state that the last
// round (no MixColumns) turns into the output.
template <bool ENCRYPT>
[[gnu::always_inline]] inline osl_aes_state osl_aes_rounds(const uint32_t *rk, const uint8_t *in) {
    osl_aes_state s;
    for (int c = 0; c < 4; c++)
        s.c[c] = osl_load(in + 4 * c) ^ rk[c];
    // Two rounds per pass, so that the state stays in the same registers
    // from one pass to the next instead of being moved back each round.
    static_assert(OSL_AES_ROUNDS % 2 == 0, "the pairs leave round 9 on its own");
    _Pragma("GCC unroll 4") for (int round = 1; round < OSL_AES_ROUNDS - 1; round += 2) s =
        osl_aes_round<ENCRYPT>(osl_aes_round<ENCRYPT>(s, rk + 4 * round), rk + 4 * (round + 1));
    return osl_aes_round<ENCRYPT>(s, rk + 4 * (OSL_AES_ROUNDS - 1));
}

// The S-boxes again for the last round, each an object of its own for the
// same reason as the round tables.
struct osl_aes_box {
    uint8_t b[256];
};

constexpr osl_aes_box osl_aes_copy_box(const uint8_t *box) {
    osl_aes_box t{};
    for (int x = 0; x < 256; x++)
        t.b[x] = box[x];
    return t;
}

[[gnu::section(".rodata.osl_aes_sbox")]] constexpr osl_aes_box OSL_SBOX =
    osl_aes_copy_box(OSL_AES.sbox);
[[gnu::section(".rodata.osl_aes_inv_sbox")]] constexpr osl_aes_box OSL_INV_SBOX =
    osl_aes_copy_box(OSL_AES.inv_sbox);

// The last round's S-box byte for row ROW of column w.
template <bool ENCRYPT> [[gnu::always_inline]] inline uint32_t osl_aes_sub(uint32_t w, int row) {
    return (ENCRYPT ? OSL_SBOX : OSL_INV_SBOX).b[osl_row(w, row)];
}

// Column c of the last round's output, before its round key.
template <bool ENCRYPT>
[[gnu::always_inline]] inline uint32_t osl_aes_last_column(const osl_aes_state &s, int c) {
    constexpr int step = ENCRYPT ? 1 : 3;
    return osl_aes_sub<ENCRYPT>(s.c[c], 0) | osl_aes_sub<ENCRYPT>(s.c[(c + step) & 3], 1) << 8 |
           osl_aes_sub<ENCRYPT>(s.c[(c + 2 * step) & 3], 2) << 16 |
           osl_aes_sub<ENCRYPT>(s.c[(c + 3 * step) & 3], 3) << 24;
}

// The whole cipher on one block, its result as columns.
template <bool ENCRYPT>
[[gnu::always_inline]] inline osl_aes_state osl_aes_columns(const uint32_t *rk, const uint8_t *in) {
    const osl_aes_state s = osl_aes_rounds<ENCRYPT>(rk, in);
    rk += 4 * OSL_AES_ROUNDS;
    osl_aes_state out;
    for (int c = 0; c < 4; c++)
        out.c[c] = osl_aes_last_column<ENCRYPT>(s, c) ^ rk[c];
    return out;
}

[[gnu::always_inline]] inline osl_aes_state osl_state_load(const uint8_t *b) {
    osl_aes_state w;
    for (int c = 0; c < 4; c++)
        w.c[c] = osl_load(b + 4 * c);
    return w;
}

[[gnu::always_inline]] inline void osl_state_store(uint8_t *b, osl_aes_state w) {
    // Word by word from registers: stored as one 16-byte object, the state
    // would be written to the stack first and copied from there.
    const uint32_t w0 = w.c[0], w1 = w.c[1], w2 = w.c[2], w3 = w.c[3];
    osl_store(b, w0);
    osl_store(b + 4, w1);
    osl_store(b + 8, w2);
    osl_store(b + 12, w3);
}

// One block through the cipher; in and out may be the same 16 bytes.
template <bool ENCRYPT> void osl_aes_block(const uint32_t *rk, const uint8_t *in, uint8_t *out) {
    osl_state_store(out, osl_aes_columns<ENCRYPT>(rk, in));
}

void osl_aes_copy_in(const uint8_t *in, uint8_t *out, int length) {
    // The frame paths pass one buffer as both input and output; a negative
    // length must not become an enormous copy.
    if (length > 0 && in != out)
        memmove(out, in, static_cast<size_t>(length));
}

// The whitening works on the block as the cipher does, as four words of
// four bytes: byte i of the block is row i % 4 of word i / 4, so the block
// that the cipher leaves in registers is unwhitened there.
[[gnu::always_inline]] inline uint32_t osl_block_byte(const osl_aes_state &w, int i) {
    return osl_row(w.c[i / 4], i % 4);
}

// The running-key pass, the same in both directions: for i from 15 down to 1
// the key steps by OSL_SCRAMBLE_STEP, then byte i is XORed with it, so byte i
// meets b[0] + (16 - i) steps, modulo 256. The sums are made four bytes at a
// time, with the carry out of each byte's top bit kept from reaching its
// neighbour; byte 0 is left as it is.
constexpr uint8_t osl_whiten_steps(int i) {
    return i == 0 ? 0 : static_cast<uint8_t>(OSL_SCRAMBLE_STEP * (OSL_BLOCK_SIZE - i));
}

constexpr uint32_t osl_whiten_steps_word(int k) {
    return osl_word(osl_whiten_steps(4 * k), osl_whiten_steps(4 * k + 1),
                    osl_whiten_steps(4 * k + 2), osl_whiten_steps(4 * k + 3));
}

[[gnu::always_inline]] inline void osl_whiten_run(osl_aes_state &w) {
    constexpr uint32_t TOP = 0x80808080;                       // each byte's top bit
    const uint32_t first = osl_block_byte(w, 0) * 0x01010101u; // b[0] in every byte
    const uint32_t low = first & ~TOP, top = first & TOP;
    for (int k = 0; k < OSL_BLOCK_SIZE / 4; k++) {
        const uint32_t steps = osl_whiten_steps_word(k);
        uint32_t key = (low + (steps & ~TOP)) ^ top ^ (steps & TOP);
        if (k == 0)
            key &= ~static_cast<uint32_t>(0xFF); // row 0 is byte 0
        w.c[k] ^= key;
    }
}

// osl_unscramble on the words. Its first pass runs down from byte n (8 to
// 15), each byte taking its restored neighbour: unrolled, so that every byte
// has a fixed place in the registers, and the 7 steps that depend on n
// skipped as needed.
[[gnu::always_inline]] inline void osl_unscramble_words(osl_aes_state &w) {
    const uint32_t c = osl_block_byte(w, OSL_BLOCK_SIZE - 1);
    const uint32_t n = (c & 7) + 8;
    _Pragma("GCC unroll 15") for (int i = OSL_BLOCK_SIZE - 1; i > 0; i--) {
        if (static_cast<uint32_t>(i) > n)
            continue;
        const uint32_t add = (osl_block_byte(w, i) + c) & 0xFF;
        w.c[(i - 1) / 4] ^= add << (8 * ((i - 1) % 4));
    }
    osl_whiten_run(w);
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
    osl_aes_state w = osl_state_load(b);
    osl_whiten_run(w);
    osl_state_store(b, w);
    uint8_t c = b[OSL_BLOCK_SIZE - 1];
    int n = (c & 7) + 8;
    for (int i = 0; i < n; i++)
        b[i] ^= static_cast<uint8_t>(b[i + 1] + c);
}

void osl_unscramble(uint8_t *b) {
    osl_aes_state w = osl_state_load(b);
    osl_unscramble_words(w);
    osl_state_store(b, w);
}

// The tag: the even bytes 2..14 of the sealed bytes encrypted once more. Only
// those 7 bytes of the last round are computed, as two words with the round
// key's bytes gathered in advance, and the check compares them at once: the
// answer is the same as byte by byte, stopping at the first difference.
int osl_frame_tag_with(const uint8_t *sealed, uint8_t *tag, const osl_aes_key *k, uint8_t mode) {
    const osl_aes_state s = osl_aes_rounds<true>(k->enc, sealed);
    // Block byte i of the last round, before its round key.
    const auto byte = [&s](int i) {
        const int c = i / 4, row = i % 4;
        return osl_aes_sub<true>(s.c[(c + row) & 3], row);
    };
    uint32_t expected[2];
    for (int t = 0; t < 2; t++)
        expected[t] = osl_tag_word(OSL_TAG_WORD_FIRST[t], byte) ^ k->tag[t];
    if (mode == OSL_TAG_MAKE) {
        for (int t = 0; t < 2; t++)
            osl_store(tag + OSL_TAG_WORD_FIRST[t], expected[t]);
        return 0;
    }
    uint32_t differ = 0;
    for (int t = 0; t < 2; t++)
        differ |= osl_load(tag + OSL_TAG_WORD_FIRST[t]) ^ expected[t];
    return differ != 0;
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

// Decryption and unwhitening as one, on the block in registers.
void osl_unseal_open_with(uint8_t *payload, const osl_aes_key *k) {
    osl_aes_state w = osl_aes_columns<false>(k->dec, payload);
    osl_unscramble_words(w);
    osl_state_store(payload, w);
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
