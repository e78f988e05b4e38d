// The command transmitter: one command to one registered actor, sealed with
// the actor's own key and advertised for 100 ms.
#pragma once

#include <cstdint>

#include "osl.h"

// Results besides 0 (advertised): the public OSL_SEND_ codes (data or
// parameters not exchanged, or with no link; refused: answered with a
// non-zero status, errno EIO), and one the public operations never pass on.
enum : int {
    OSL_SEND_BAD_TYPE = -50, // not an actor's device type; nothing sent
};

// Sends to entry `index` of the table of `type` (20 relay, 21 dimmer, 22
// PWM) its value bytes (1, or 3 for PWM). The index is the one a lookup has
// just returned. Runs in the application's flow only; blocks for the
// advertising window. Prints nothing: the callers log the result.
int osl_send_command(int index, const uint8_t *values, uint8_t type);
