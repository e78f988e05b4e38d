#include "text.h"

#include <cstdio>

#include "addr.h"
#include "log.h"
#include "osl.h"

// gcc flags "%0.2X" (the 0 is ignored with a precision); "%.2X" prints the same bytes.
#define OSL_BYTE_FORMAT "%.2X"

// Characters are taken as unsigned bytes, so bytes 0x80 and above are no digit.
int osl_hex_digit(char *c) {
    unsigned char v = static_cast<unsigned char>(*c);
    if (v < '0')
        return 1;
    if (v <= '9') {
        *c = static_cast<char>(v - 0x30);
        return 0;
    }
    if (v >= 'A' && v <= 'F') {
        *c = static_cast<char>(v - 0x37);
        return 0;
    }
    if (v >= 'a' && v <= 'f') {
        *c = static_cast<char>(v - 0x57);
        return 0;
    }
    return 1;
}

// Reads pair by pair without measuring the text first: a short text fails at
// its terminator, so nothing past the terminator is ever read.
int osl_hex_to_bytes(const char *text, uint8_t *out, int count) {
    for (int i = 0; i < count; i++) {
        char hi = text[0];
        if (osl_hex_digit(&hi) != 0)
            return 2;
        char lo = text[1];
        if (osl_hex_digit(&lo) != 0)
            return 2;
        out[i] = static_cast<uint8_t>((hi << 4) | lo);
        text += 2;
    }
    return 0;
}

void osl_print_addr(const uint8_t *addr, unsigned flags) {
    if (flags & OSL_ADDR_0X)
        fputs("0x", stdout);
    for (int i = 0; i < OSL_ADDR_SIZE; i++)
        printf(OSL_BYTE_FORMAT, addr[i]);
    if (flags & OSL_ADDR_NEWLINE)
        fputs("\n\r", stdout);
}

void osl_print_key(const uint8_t *key, int size) {
    if (osl_log_on(OSL_LOG_HIDE_KEYS)) {
        fputs(OSL_LOG_HIDDEN_KEY, stdout);
        return;
    }
    for (int i = 0; i < size; i++)
        printf(OSL_BYTE_FORMAT, key[i]);
}

// Reports carry addresses least significant byte first; printing them last
// byte first makes them read like the 12-digit text form.
void osl_print_addr_rev(const uint8_t *addr, unsigned flags) {
    uint8_t msb_first[OSL_ADDR_SIZE];
    osl_addr_flip(addr, msb_first);
    osl_print_addr(msb_first, flags);
}

int osl_print_time_prefix_at(time_t when, const char *format) {
    struct tm local;
    char stamp[50];
    // strftime reports 0 when the text does not fit and leaves the buffer
    // undefined: print the bare space rather than whatever it holds.
    if (localtime_r(&when, &local) == nullptr || strftime(stamp, sizeof stamp, format, &local) == 0)
        stamp[0] = '\0';
    return printf("%s ", stamp);
}

int osl_print_time_prefix(const char *format) {
    // Lines the tick recorded earlier go out first, so the log stays in order.
    osl_log_flush();
    return osl_print_time_prefix_at(time(nullptr), format);
}

extern "C" int osl_print_local_time(const char *format) {
    return osl_print_time_prefix(format);
}
