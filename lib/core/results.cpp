#include "results.h"

#include <cstdio>

#include "lamps.h"
#include "osl.h"
#include "platform.h"

namespace {

// What a result concerns, where the text names it.
enum class osl_about { nothing, lock_file };

// Said of the same code by more than one operation.
constexpr const char *OSL_TEXT_BAD_ADDR = "the address is not 12 hexadecimal digits";

struct osl_result_entry {
    int op;
    int code;
    const char *text; // a format for the results that concern a file
    osl_about about;
};

constexpr osl_result_entry osl_results[] = {
    {OSL_OP_OPEN, OSL_OPEN_OK, "the library is open and running", osl_about::nothing},
    {OSL_OP_OPEN, OSL_OPEN_LOCKED,
     "another program has the library open: it holds the lock file %s", osl_about::lock_file},
    {OSL_OP_OPEN, OSL_OPEN_QUEUE, "the record queue could not be set up", osl_about::nothing},
    {OSL_OP_OPEN, OSL_OPEN_NO_ADAPTER, "no Bluetooth adapter found (is one present, and up?)",
     osl_about::nothing},
    {OSL_OP_OPEN, OSL_OPEN_SOCKET,
     "the raw HCI socket could not be created (no Bluetooth in the kernel, or no CAP_NET_RAW)",
     osl_about::nothing},
    {OSL_OP_OPEN, OSL_OPEN_BIND, "the raw HCI socket could not be bound to the adapter",
     osl_about::nothing},
    {OSL_OP_OPEN, OSL_OPEN_NONBLOCK, "the HCI socket could not be made non-blocking",
     osl_about::nothing},
    {OSL_OP_OPEN, OSL_OPEN_SCAN_PARAMS,
     "the adapter refused the scan parameters twice (is another program scanning?)",
     osl_about::nothing},
    {OSL_OP_OPEN, OSL_OPEN_SCAN_ENABLE, "the adapter refused to start scanning",
     osl_about::nothing},
    {OSL_OP_OPEN, OSL_OPEN_FILTER_GET, "the HCI socket's event filter could not be read",
     osl_about::nothing},
    {OSL_OP_OPEN, OSL_OPEN_FILTER_SET, "the HCI socket's event filter could not be set",
     osl_about::nothing},
    {OSL_OP_OPEN, OSL_OPEN_TIMER, "the 10 ms tick timer could not be created or started",
     osl_about::nothing},

    {OSL_OP_READ, OSL_READ_STOPPED, "a stop was requested, or the library is closed",
     osl_about::nothing},
    {OSL_OP_READ, OSL_READ_NONE, "no record is waiting", osl_about::nothing},

    {OSL_OP_ADD, 0, "registered", osl_about::nothing},
    {OSL_OP_ADD, OSL_ADD_FULL, "10 actors of that kind are registered already", osl_about::nothing},
    {OSL_OP_ADD, OSL_ADD_BAD_ADDR, OSL_TEXT_BAD_ADDR, osl_about::nothing},
    {OSL_OP_ADD, OSL_ADD_NO_NAME, "no name was given", osl_about::nothing},
    {OSL_OP_ADD, OSL_ADD_BAD_KEY, "the key is not 32 hexadecimal digits", osl_about::nothing},
    {OSL_OP_ADD, OSL_ADD_ADDR_IN_USE, "the address is registered already", osl_about::nothing},

    {OSL_OP_SEND, 0, "sent", osl_about::nothing},
    {OSL_OP_SEND, OSL_NO_ACTOR, "no actor has that name", osl_about::nothing},
    {OSL_OP_SEND, OSL_SEND_DATA_FAILED, "the advertising data could not be loaded",
     osl_about::nothing},
    {OSL_OP_SEND, OSL_SEND_DATA_REFUSED, "the controller refused the advertising data",
     osl_about::nothing},
    {OSL_OP_SEND, OSL_SEND_PARAMS_FAILED, "the advertising parameters could not be loaded",
     osl_about::nothing},
    {OSL_OP_SEND, OSL_SEND_PARAMS_REFUSED, "the controller refused the advertising parameters",
     osl_about::nothing},

    {OSL_OP_COMPLY, 0, "the actor already matches the wanted state", osl_about::nothing},
    {OSL_OP_COMPLY, OSL_NO_ACTOR, "no actor has that address", osl_about::nothing},
    {OSL_OP_COMPLY, OSL_COMPLY_RESENT, "the wanted state was sent again", osl_about::nothing},
    {OSL_OP_COMPLY, OSL_COMPLY_SEND_FAILED, "the wanted state could not be sent",
     osl_about::nothing},

    {OSL_OP_REMOVE, 0, "removed", osl_about::nothing},
    {OSL_OP_REMOVE, OSL_ADD_BAD_ADDR, OSL_TEXT_BAD_ADDR, osl_about::nothing},
    {OSL_OP_REMOVE, OSL_NO_ACTOR, "no actor is registered at that address", osl_about::nothing},

    {OSL_OP_FIELDS, OSL_FIELDS_UNKNOWN_TYPE, "not a record of a family the library knows",
     osl_about::nothing},
};

// The lamps' results, one per step of a lamp's set-up, by OSL_OPEN_LAMP_
// step; the line, the lamp and the folder are filled in.
constexpr const char *osl_lamp_results[] = {
    ("GPIO %d (%s lamp) could not be exported: %s/export could not be opened for writing (no "
     "sysfs GPIO here, or no permission)"),
    "GPIO %d (%s lamp) could not be made an output: %s/gpio%d/direction could not be written",
    "GPIO %d (%s lamp) could not be switched: its value file did not open: %s/gpio%d/value",
};
static_assert(sizeof osl_lamp_results / sizeof osl_lamp_results[0] == OSL_LAMP_STEPS,
              "a text per step");

// The lamps in the order of their GPIO arguments, as the texts name them.
constexpr const char *osl_lamp_roles[] = {"receive", "transmit", "power"};

int osl_open_pins[3];

// Room for the longest text with a long scratch path in it.
char osl_result_line[640];

const osl_result_entry *osl_result_find(int op, int code) {
    for (const osl_result_entry &e : osl_results)
        if (e.op == op && e.code == code)
            return &e;
    return nullptr;
}

const char *osl_lamp_text(int code) {
    const int lamp = (code - OSL_OPEN_LAMP) / OSL_LAMP_STEPS;
    const int step = (code - OSL_OPEN_LAMP) % OSL_LAMP_STEPS;
    const int gpio = osl_open_pins[lamp];
    // The export text names the folder's export file, the others the line's own.
    snprintf(osl_result_line, sizeof osl_result_line, osl_lamp_results[step], gpio,
             osl_lamp_roles[lamp], osl_gpio_root, gpio);
    return osl_result_line;
}

} // namespace

void osl_results_note_pins(int pin_rx, int pin_tx, int pin_pwr) {
    osl_open_pins[0] = pin_rx;
    osl_open_pins[1] = pin_tx;
    osl_open_pins[2] = pin_pwr;
}

extern "C" const char *osl_result_text(int op, int code) {
    if (op == OSL_OP_OPEN && code >= OSL_OPEN_LAMP && code <= OSL_OPEN_LAMP_LAST)
        return osl_lamp_text(code);
    const osl_result_entry *e = osl_result_find(op, code);
    if (e == nullptr)
        return nullptr;
    if (e->about == osl_about::lock_file) {
        snprintf(osl_result_line, sizeof osl_result_line, e->text, osl_lock_path);
        return osl_result_line;
    }
    return e->text;
}
