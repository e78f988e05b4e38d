// Registries of the actors the application controls: relays, dimmers and
// three-channel PWM controllers, 10 of each, in the order they were
// registered. A removal (osl_actor_remove) moves the later ones down a place.
#pragma once

#include <cstdint>

#include "frames/seal.h"

inline constexpr int OSL_MAX_ACTORS = 10;
inline constexpr int OSL_NAME_SIZE = 64; // 63 characters and the terminator

struct osl_relay_entry {
    char name[OSL_NAME_SIZE];
    uint8_t addr[6]; // most significant byte first
    uint8_t sec_key[16];
    volatile uint32_t trigger; // countdown in ticks: 0 idle, 1 fired, above 1 running
    uint8_t wanted;            // channel bits 0..3
    volatile uint8_t reported;
    osl_aes_key schedule; // sec_key expanded once, at registration
};

struct osl_dimmer_entry {
    char name[OSL_NAME_SIZE];
    uint8_t addr[6];
    uint8_t sec_key[16];
    volatile uint32_t trigger;
    uint8_t wanted; // level 0..100
    volatile uint8_t reported;
    osl_aes_key schedule; // sec_key expanded once, at registration
};

struct osl_pwm_entry {
    char name[OSL_NAME_SIZE];
    uint8_t addr[6];
    uint8_t sec_key[16];
    volatile uint32_t trigger;
    uint8_t wanted[3]; // levels of channels 0..2
    volatile uint8_t reported[3];
    osl_aes_key schedule; // sec_key expanded once, at registration
};

extern osl_relay_entry osl_relay_table[OSL_MAX_ACTORS];
extern osl_dimmer_entry osl_dimmer_table[OSL_MAX_ACTORS];
extern osl_pwm_entry osl_pwm_table[OSL_MAX_ACTORS];
// Entries in use; an entry is complete before its count is raised.
extern volatile int32_t osl_relay_count;
extern volatile int32_t osl_dimmer_count;
extern volatile int32_t osl_pwm_count;

int osl_relay_find_name(const char *name);
int osl_dimmer_find_name(const char *name);
int osl_pwm_find_name(const char *name);
int osl_relay_find_addr(const uint8_t *addr);
int osl_dimmer_find_addr(const uint8_t *addr);
int osl_pwm_find_addr(const uint8_t *addr);
int osl_relay_find_frame_addr(const uint8_t *addr);
int osl_dimmer_find_frame_addr(const uint8_t *addr);
int osl_pwm_find_frame_addr(const uint8_t *addr);

// The tick's step: lowers every running trigger by one.
void osl_actor_triggers_tick();
