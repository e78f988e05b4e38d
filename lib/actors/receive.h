// Reception of the actors' own frames: each is sealed with its actor's key,
// and the state it reports is kept in the actor's entry.
#pragma once

#include <cstdint>

#include "core/fifo.h"

// Hands the actors' frames to this layer: installs osl_actor_frame_decode as
// the decoder's handler for sealed frames of the actors' types, and the
// answer to what kind of actor announced a key. At open, before the tick
// runs: the frames remembered for that answer are forgotten.
void osl_actors_listen();

// The handler: a frame from an unregistered address or of a type that is no
// actor's returns len; otherwise the decoder's results. A frame the library
// cannot open (unregistered, or not sealed with the registered key) is
// remembered, the newest of each address and of 8 addresses at most, for
// telling the kind of an actor that announces its key.
int osl_actor_frame_decode(const uint8_t *event, int len, uint8_t *payload, int8_t rssi,
                           osl_fifo_t *q);
