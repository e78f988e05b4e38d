// osl_scanner's logic, kept apart from main() so that tests can run it
// against the simulated adapter and a library reporting any version.
#pragma once

#include <cstdint>

// Printed once at start: what the tool is for and where to read more.
extern const char TITLE[];

// Every record is read into this buffer and left there unread: the library
// itself prints what the user needs to see.
extern uint8_t osl_buf[100];

// Runs the tool: title, version check, open, read/sleep loop until SIGINT,
// close. Returns the exit status: 0 after an interrupt, 1 library too old,
// 2 the library would not open.
int scanner_run(int (*lib_version)(void));

// The whole program as main() runs it, with the real library version.
int scanner_main();
