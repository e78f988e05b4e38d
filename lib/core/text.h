// Text forms of addresses and keys, and the time stamp of every log line.
#pragma once

#include <cstdint>
#include <ctime>

// Flags of the address printers.
enum : unsigned {
    OSL_ADDR_0X = 1u << 0,      // "0x" before the digits
    OSL_ADDR_NEWLINE = 1u << 1, // "\n\r" after them
};

// strftime format of the library's log lines.
inline constexpr const char *OSL_LOG_TIME_FORMAT = "%H:%M:%S";

int osl_hex_digit(char *c);
int osl_hex_to_bytes(const char *text, uint8_t *out, int count);
void osl_print_addr(const uint8_t *addr, unsigned flags);
void osl_print_addr_rev(const uint8_t *addr, unsigned flags);
int osl_print_time_prefix(const char *format);
// A key of `size` bytes in a log line: the upper-case digits the add
// operations take, or OSL_LOG_HIDDEN_KEY when the program keeps keys out of
// its log (OSL_LOG_HIDE_KEYS). Application's flow only.
void osl_print_key(const uint8_t *key, int size);

// The same prefix for a moment recorded earlier (deferred log lines).
int osl_print_time_prefix_at(time_t when, const char *format);
