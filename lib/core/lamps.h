// Indicator lamps on sysfs GPIO lines.
#pragma once

#include <cstdint>

#include "osl.h"

enum : int { LAMP_RX = 1, LAMP_TX = 2, LAMP_PWR = 3 };

// Lamps take GPIO lines 2 to 27; any other number leaves the lamp out.
inline constexpr int OSL_GPIO_MIN = 2;
inline constexpr int OSL_GPIO_MAX = 27;

struct osl_lamps_t {
    int value_fd[3]; // write-only "value" file of lamps 1..3; 0 = absent or released
    int gpio[3];     // exported line of lamps 1..3; 0 = none to unexport
    volatile uint32_t osl_rx_lamp_count; // 0 while LAMP_RX is dark; counted up by the tick
};

extern osl_lamps_t osl_lamps;

int osl_gpio_export(int gpio);
int osl_gpio_unexport(int gpio);
int osl_gpio_set_direction(int gpio, int output);
int osl_gpio_open_value(int gpio);
int osl_lamp_set(osl_lamps_t *lamps, int lamp, int on);
void osl_lamps_close(osl_lamps_t *lamps);
void osl_lamps_release(osl_lamps_t *lamps);

// The receive lamp flashes for a fixed number of ticks from the frame that
// lit it; frames in between neither relight nor prolong it.
inline constexpr uint32_t OSL_RX_LAMP_TICKS = 5;
// Lights LAMP_RX unless it is already lit (the decoder, in the tick).
void osl_rx_lamp_flash();
// The tick's step: darkens LAMP_RX in the fifth tick after the one that lit it.
void osl_rx_lamp_tick();

// The failing step of a lamp's set-up, counted from 1 (0 is success); the
// open result is OSL_OPEN_LAMP + 3 x (lamp - 1) + step - 1.
enum : int {
    OSL_LAMP_STEP_EXPORT = 1 + OSL_OPEN_LAMP_EXPORT,
    OSL_LAMP_STEP_DIRECTION = 1 + OSL_OPEN_LAMP_DIRECTION,
    OSL_LAMP_STEP_VALUE = 1 + OSL_OPEN_LAMP_VALUE,
};
inline constexpr int OSL_LAMP_STEPS = OSL_LAMP_STEP_VALUE; // each with its open result
static_assert(OSL_OPEN_LAMP + 3 * OSL_LAMP_STEPS - 1 == OSL_OPEN_LAMP_LAST, "three lamps");
// Sets up lamp 1..3 on a GPIO line: 0 done (or lamp left out); else the
// failing step.
int osl_lamp_setup(osl_lamps_t *lamps, int lamp, int gpio);
