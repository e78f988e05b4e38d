// An example application: three actors registered with the keys their
// SEC_KEY announcements gave, switched, timed with triggers and the time of
// day, and kept in the wanted state by the comply operations.
#pragma once

#include <cstdint>

// The actors as this program registers them: the addresses and keys are the
// ones osl_scanner printed for the kit at hand (here the virtual kit's).
inline constexpr char RELAY_NAME[] = "garden relay";
inline constexpr char RELAY_ADDR[] = "C0FFEE000020";
inline constexpr char RELAY_KEY[] = "2B7E151628AED2A6ABF7158809CF4F3C";
inline constexpr char DIMMER_NAME[] = "hall dimmer";
inline constexpr char DIMMER_ADDR[] = "C0FFEE000021";
inline constexpr char DIMMER_KEY[] = "603DEB1015CA71BE2B73AEF0857D7781";
inline constexpr char PWM_NAME[] = "kitchen leds";
inline constexpr char PWM_ADDR[] = "C0FFEE000022";
inline constexpr char PWM_KEY[] = "F58C4C04D6E5F1BA779EABFB5F7BFBD6";

// What the program has asked of its actors so far.
struct ActorsWanted {
    uint8_t relay = 0;   // channel bits
    uint8_t dimmer = 0;  // percent
    uint8_t pwm[3] = {}; // percent, channels 0 to 2
};

// Opens the library, registers the actors, switches them and arms the
// triggers. 0, or the open's result.
int actors_example_open();
// One pass of the loop: takes one record, makes actors comply with it,
// acts on fired triggers, every 50th pass tells how many sensor and actor
// frames it has heard and the library's load, sleeps 100 ms. The record's type, 0 for none, -1
// once stopped (Ctrl-C).
int actors_example_step();
// Tells the frames heard and the load a last time, and closes the library.
void actors_example_close();
const ActorsWanted &actors_example_wanted();

// The whole program: 0 after Ctrl-C, 2 when the library would not open.
int actors_example_main();
