// The hexadecimal text conversions and the add operations on arbitrary
// texts. Every text lies in a heap block of exactly its size, terminator
// included, so that a read past its end is caught. The registries' counts
// start at zero for each input, so the tables never stay full.
//
// Input: a control byte (bits 0..1 the kind of actor, bit 2 the library's
// log, bits 3..7 the byte count of the direct conversion), then up to three
// texts separated by zero bytes: name, address, key. A missing name is
// passed as a null pointer.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "actors/registry.h"
#include "core/log.h"
#include "core/text.h"
#include "osl.h"
#include "targets.h"

namespace osl::fuzz {

namespace {

void check(bool holds) {
    if (!holds)
        abort();
}

// A text in a block of its own, exactly as long as it is.
struct Text {
    explicit Text(const uint8_t *bytes, size_t n) : chars(new char[n + 1]) {
        memcpy(chars, bytes, n);
        chars[n] = '\0';
    }
    ~Text() { delete[] chars; }
    Text(const Text &) = delete;
    Text &operator=(const Text &) = delete;
    char *chars;
};

// The digit's value, or -1: the conversion's meaning, written out again.
int digit_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

void convert(const char *text, int count) {
    std::vector<uint8_t> out(static_cast<size_t>(count) + 1, 0xA5);
    const int r = osl_hex_to_bytes(text, out.data(), count);
    check(r == 0 || r == 2);
    const size_t len = strlen(text);
    bool valid = len >= static_cast<size_t>(2 * count);
    for (int i = 0; valid && i < 2 * count; i++)
        valid = digit_value(text[i]) >= 0;
    check((r == 0) == valid);
    if (r == 0)
        for (int i = 0; i < count; i++)
            check(out[static_cast<size_t>(i)] ==
                  ((digit_value(text[2 * i]) << 4) | digit_value(text[2 * i + 1])));
    check(out[static_cast<size_t>(count)] == 0xA5); // nothing written past the count
}

int add(int kind, const char *name, const char *addr, const char *key) {
    switch (kind) {
    case 0:
        return osl_relay_add(name, addr, key);
    case 1:
        return osl_dimmer_add(name, addr, key);
    default:
        return osl_pwm_add(name, addr, key);
    }
}

int find_name(int kind, const char *name) {
    switch (kind) {
    case 0:
        return osl_relay_find_name(name);
    case 1:
        return osl_dimmer_find_name(name);
    default:
        return osl_pwm_find_name(name);
    }
}

} // namespace

void text_init() {}

void text_run(const uint8_t *data, size_t size) {
    if (size < 1)
        return;
    const int kind = data[0] & 3;
    osl_verbosity = (data[0] & 4) ? OSL_LOG_LIB : 0;
    const int count = data[0] >> 3; // 0..31
    osl_relay_count = 0;
    osl_dimmer_count = 0;
    osl_pwm_count = 0;

    // Up to three texts; the last one runs to the end of the input.
    const uint8_t *pieces[3] = {};
    size_t lengths[3] = {};
    int found = 0;
    size_t at = 1;
    while (found < 3 && at <= size) {
        const uint8_t *end = static_cast<const uint8_t *>(memchr(data + at, 0, size - at));
        const size_t n = end != nullptr ? static_cast<size_t>(end - (data + at)) : size - at;
        pieces[found] = data + at;
        lengths[found] = n;
        found++;
        at += n + 1;
    }
    Text name(pieces[0] != nullptr ? pieces[0] : data, lengths[0]);
    Text addr(pieces[1] != nullptr ? pieces[1] : data, lengths[1]);
    Text key(pieces[2] != nullptr ? pieces[2] : data, lengths[2]);

    for (const Text *t : {&name, &addr, &key}) {
        convert(t->chars, count);
        convert(t->chars, 6);
        convert(t->chars, 16);
        char c = t->chars[0];
        check(osl_hex_digit(&c) == (digit_value(t->chars[0]) >= 0 ? 0 : 1));
        osl_record rec = {};
        const int same = osl_check_addr(t->chars, &rec);
        check(same == 0 || same == 1);
    }

    const char *name_or_null = found >= 1 && lengths[0] > 0 ? name.chars : nullptr;
    const int r = add(kind, name_or_null, addr.chars, key.chars);
    check(r == 0 || r == -4 || r == -6 || r == -8 || r == -10);
    if (r == 0) {
        // Registered once, and then found by the name as stored.
        check(add((kind + 1) % 3, "again", addr.chars, key.chars) == -10);
        if (strlen(name.chars) < OSL_NAME_SIZE)
            check(find_name(kind, name.chars) == 0);
    }
    // Fill one table to the end, to take its full path too.
    for (int i = 0; i < OSL_MAX_ACTORS + 1; i++) {
        char unique[13];
        static const char digits[] = "0123456789ABCDEF";
        for (int d = 0; d < 12; d++)
            unique[d] = digits[(d == 11 ? i : d == 10 ? 0xF : 0) & 0xF];
        unique[12] = '\0';
        const int more = add(kind, name_or_null, unique, key.chars);
        check(more == 0 || more == -2 || more == -6 || more == -8 || more == -10);
    }
    osl_log_flush();
}

} // namespace osl::fuzz
