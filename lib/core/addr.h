// Device addresses. The controller and its advertising reports carry them
// least significant byte first; records, registries and the 12-digit text
// form hold them most significant byte first.
#pragma once

#include <cstdint>

inline constexpr int OSL_ADDR_SIZE = 6;

// Copies an address from one byte order into the other (src and dst apart).
inline void osl_addr_flip(const uint8_t *src, uint8_t *dst) {
    for (int i = 0; i < OSL_ADDR_SIZE; i++)
        dst[i] = src[OSL_ADDR_SIZE - 1 - i];
}
