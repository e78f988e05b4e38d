#include "actors.h"

#include <cstdio>

#include "osl.h"

namespace {

constexpr int LOOP_PAUSE_MS = 100;
// Library events and everything about the actors: the commands sent, each
// actor's frames with the state it reports, and the comply results.
constexpr int VERBOSITY = OSL_LOG_LIB | OSL_LOG_ACTORS;

// Relay channels this program uses.
constexpr uint8_t PATH_LIGHTS = 0x01;
constexpr uint8_t FOUNTAIN = 0x02;
constexpr uint8_t IRRIGATION = 0x04;
// Day mask: bit n for weekday n, 0 Sunday.
constexpr uint8_t WEEKDAYS = 0x3E;

// Seconds between the timed changes.
constexpr uint32_t FOUNTAIN_EVERY_S = 20;
constexpr uint32_t HALL_EVERY_S = 30;
constexpr uint32_t LEDS_EVERY_S = 40;

constexpr uint8_t HALL_BRIGHT = 80;
constexpr uint8_t HALL_DIM = 30;

// Colours of the kitchen strip the timer steps through.
constexpr uint8_t COLOURS[][3] = {{20, 40, 80}, {90, 30, 10}, {10, 80, 30}};
constexpr int COLOUR_COUNT = sizeof COLOURS / sizeof COLOURS[0];

// About every five seconds the program tells what it has heard and how much
// of each 10 ms tick the library's own work takes.
constexpr uint32_t STATUS_EVERY_PASSES = 50;

ActorsWanted wanted;
int colour = 0;
uint32_t passes = 0;
uint32_t sensor_frames = 0;
uint32_t actor_frames = 0;

// Evening: after 18:00 and before 23:30 (the library's times are hh.mm).
bool is_evening() {
    return osl_time_is_between(18.00f, 23.30f) == 1;
}

void relay_on(uint8_t mask) {
    wanted.relay = static_cast<uint8_t>(wanted.relay | mask);
    osl_relay_on(RELAY_NAME, mask);
}

void relay_off(uint8_t mask) {
    wanted.relay = static_cast<uint8_t>(wanted.relay & ~mask);
    osl_relay_off(RELAY_NAME, mask);
}

void dimmer_set(uint8_t level) {
    wanted.dimmer = level;
    osl_dimmer_set(DIMMER_NAME, level);
}

void pwm_set(const uint8_t levels[3]) {
    for (int i = 0; i < 3; i++)
        wanted.pwm[i] = levels[i];
    osl_pwm_set(PWM_NAME, levels[0], levels[1], levels[2]);
}

void say(const char *what) {
    osl_print_local_time("%H:%M:%S");
    printf("[example] %s\n", what);
}

void on_triggers() {
    if (osl_relay_is_trigger(RELAY_NAME) == 1) {
        if (wanted.relay & FOUNTAIN) {
            say("fountain off");
            relay_off(FOUNTAIN);
        } else {
            say("fountain on");
            relay_on(FOUNTAIN);
        }
        osl_relay_set_trigger(RELAY_NAME, FOUNTAIN_EVERY_S);
    }
    if (osl_dimmer_is_trigger(DIMMER_NAME) == 1) {
        // Bright in the evening; otherwise it alternates.
        const uint8_t level = is_evening() || wanted.dimmer != HALL_BRIGHT ? HALL_BRIGHT : HALL_DIM;
        say(level == HALL_BRIGHT ? "hall bright" : "hall dim");
        dimmer_set(level);
        osl_dimmer_set_trigger(DIMMER_NAME, HALL_EVERY_S);
    }
    if (osl_pwm_is_trigger(PWM_NAME) == 1) {
        colour = (colour + 1) % COLOUR_COUNT;
        say("kitchen leds: next colour");
        pwm_set(COLOURS[colour]);
        osl_pwm_set_trigger(PWM_NAME, LEDS_EVERY_S);
    }
    // The garden is watered from 06:30 to 06:45 on weekdays.
    if (osl_time_is_now(WEEKDAYS, 6.30f) == 1 && !(wanted.relay & IRRIGATION)) {
        say("irrigation on");
        relay_on(IRRIGATION);
    }
    if (osl_time_is_now(WEEKDAYS, 6.45f) == 1 && (wanted.relay & IRRIGATION)) {
        say("irrigation off");
        relay_off(IRRIGATION);
    }
}

// Frames heard so far, and the library's load figure: the mean of its
// shortest and longest tick as a percentage of the 10 ms period.
void print_status() {
    float shortest_ms = 0.0f;
    float longest_ms = 0.0f;
    const unsigned load = osl_lib_get_load(&shortest_ms, &longest_ms);
    char text[128];
    snprintf(text, sizeof text,
             "heard %u sensor and %u actor frames; library load %u%% (ticks %.3f to %.3f ms)",
             static_cast<unsigned>(sensor_frames), static_cast<unsigned>(actor_frames), load,
             static_cast<double>(shortest_ms), static_cast<double>(longest_ms));
    say(text);
}

} // namespace

int actors_example_open() {
    wanted = ActorsWanted{};
    colour = 0;
    passes = 0;
    sensor_frames = 0;
    actor_frames = 0;
    int r = osl_bt_open(0, 0, 0, VERBOSITY);
    if (r != OSL_OPEN_OK)
        return r;
    osl_relay_add(RELAY_NAME, RELAY_ADDR, RELAY_KEY);
    osl_dimmer_add(DIMMER_NAME, DIMMER_ADDR, DIMMER_KEY);
    osl_pwm_add(PWM_NAME, PWM_ADDR, PWM_KEY);

    say("path lights on, hall light, kitchen leds");
    relay_on(PATH_LIGHTS);
    dimmer_set(is_evening() ? HALL_BRIGHT : HALL_DIM);
    pwm_set(COLOURS[colour]);

    osl_relay_set_trigger(RELAY_NAME, FOUNTAIN_EVERY_S);
    osl_dimmer_set_trigger(DIMMER_NAME, HALL_EVERY_S);
    osl_pwm_set_trigger(PWM_NAME, LEDS_EVERY_S);
    return 0;
}

int actors_example_step() {
    osl_record rec;
    const int type = osl_bt_read(&rec);
    if (type == OSL_READ_STOPPED)
        return OSL_READ_STOPPED;
    // Each actor frame shows what the actor really does; comply sends the
    // wanted state again when it differs (a lost command, a hand switch).
    switch (type) {
    case OSL_DEV_RELAY:
        actor_frames++;
        osl_relay_comply(&rec);
        break;
    case OSL_DEV_DIMMER:
        actor_frames++;
        osl_dimmer_comply(&rec);
        break;
    case OSL_DEV_PWM:
        actor_frames++;
        osl_pwm_comply(&rec);
        break;
    case OSL_READ_NONE: // nothing queued (an air-sensor record may read the same)
        break;
    default:
        sensor_frames++;
        break;
    }
    on_triggers();
    if (++passes % STATUS_EVERY_PASSES == 0)
        print_status();
    osl_sleep_ms(LOOP_PAUSE_MS);
    return type;
}

void actors_example_close() {
    print_status();
    osl_bt_close();
}

const ActorsWanted &actors_example_wanted() {
    return wanted;
}

int actors_example_main() {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (actors_example_open() != 0)
        return 2;
    while (actors_example_step() != OSL_READ_STOPPED) {
    }
    actors_example_close();
    return 0;
}
