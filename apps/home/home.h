// ostrel_home's logic, kept apart from main() so that tests can run the
// actions on records of their own and the loop against the simulated adapter.
#pragma once

#include <cstdint>

#include "osl.h"

// The lamps' GPIO lines: receive, transmit, power.
inline constexpr int HOME_GPIO_RX = 26;
inline constexpr int HOME_GPIO_TX = 19;
inline constexpr int HOME_GPIO_PWR = 13;

// The start lines, each printed with puts.
extern const char HOME_TITLE[];
extern const char HOME_WEB_LINE[];

// Sensor actions. Each acts only on a record from its demonstration device
// and returns 0 for any other; otherwise it prints the record's readings and
// returns the result of its last print.
int meteo_action(const osl_record *rec);
int motion_action(const osl_record *rec);
int button_action(const osl_record *rec);
int flood_action(const osl_record *rec);
int magneto_action(const osl_record *rec);

// About once a minute: asks the clock whether it is 11:59 or 12:10 on a
// Monday to Wednesday, and whether it is between 12:00 and 12:10. Returns the
// last answer.
int scheduled_action(void);

// Every pass's action result ends here, unchanged: the place for an
// application's own reaction.
int trig_action(int result);

// The loop's dispatch table: calls the action (or the comply operation) for
// a read result and returns its result, or the read result itself where
// there is none (no record, a stop, types 6 to 19 and above 22).
int home_dispatch(int read_result, const osl_record *rec);

// What a result of osl_bt_open means, in words for its standard error (the
// library's text, which names this program's lamps after its open).
const char *open_code_meaning(int code);

// What the loop runs on. The program uses the real library version and
// osl_sleep_ms between passes; tests may pace the passes themselves.
struct home_env {
    int (*lib_version)(void);
    void (*pause_ms)(int ms);
};

// Runs the program: start lines, version check, open, the loop until SIGINT,
// close. Returns the exit status: 0 after an interrupt, 1 library too old,
// 2 the library would not open (standard error then says why).
int home_run(const home_env &env);

// The whole program as main() runs it.
int home_main();
