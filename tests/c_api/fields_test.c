/*
 * The public decode of records, from plain C99: every sealed family's
 * record read through osl_record_fields, to the values its log line shows
 * (single-precision quotients as the library computes them).
 *
 * The expected values are worked out here from the radio formats, not taken
 * from the library. The air sensor's records need the library to have heard
 * their sender; the C++ decoder tests read those.
 */
#include <stdio.h>
#include <string.h>

#include "osl.h"

#define VOLTS(b) ((double)((float)(b) / 71.0f))

struct expect {
    const char *name;
    const char *unit; /* NULL: none */
    double value;
};

struct family_case {
    int type;
    const char *kind;
    uint8_t payload[16];
    int8_t rssi;
    struct expect fields[OSL_FIELDS_MAX];
};

/* Bytes 0..3 the seconds (3600, least significant first), 4 the type, 5 the
 * supply (213: 3.00 V), 6 the interval in 2 s steps. */
static const struct family_case cases[] = {
    {OSL_DEV_METEO,
     "METEO",
     {0x10, 0x0E, 0, 0, 1, 213, 2, 0x05, 0xFF, 0x9C, 46, 116, 0x06, 0x79, 0x03, 0x2D},
     -49,
     {{"rssi", "dBm", -49},
      {"voltage", "V", VOLTS(213)},
      {"interval", "s", 4},
      {"uptime", "s", 3600},
      {"temperature",
       "\xC2\xB0"
       "C",
       (double)((float)-100 / 100.0f)},
      {"humidity", "%", 46},
      {"light", NULL, 116},
      {"inputs", NULL, 5},
      {"adc1", "mV", 1657},
      {"adc2", "mV", 813}}},
    {OSL_DEV_MOTION,
     "MOTION",
     {0x10, 0x0E, 0, 0, 2, 200, 3, 0x80, 0xF6, 24, 0x0C, 0x1C, 0x0B, 0x31, 0x01, 0x07},
     -61,
     {{"rssi", "dBm", -61},
      {"firmware", NULL, 0x0107},
      {"voltage", "V", VOLTS(200)},
      {"uptime", "s", 3600},
      {"light", NULL, 24},
      {"temperature",
       "\xC2\xB0"
       "C",
       -10},
      {"flags", NULL, 0x80},
      {"adc1", "mV", 3100},
      {"adc2", "mV", 2865},
      {"motion", NULL, 1},
      {"interval", "s", 6}}},
    {OSL_DEV_BUTTON,
     "BUTTON",
     {0x10, 0x0E, 0, 0, 3, 213, 2, 2, 0x0A, 19, 64, 0, 0, 0, 0x01, 0x07},
     -70,
     {{"rssi", "dBm", -70},
      {"firmware", NULL, 0x0107},
      {"voltage", "V", VOLTS(213)},
      {"light", NULL, 64},
      {"temperature",
       "\xC2\xB0"
       "C",
       19},
      {"button", NULL, 2},
      {"inputs", NULL, 0x0A},
      {"uptime", "s", 3600},
      {"interval", "s", 4}}},
    {OSL_DEV_FLOOD,
     "FLOOD",
     {0x10, 0x0E, 0, 0, 4, 213, 3, 0x01, 14, 0, 0, 0, 0, 0, 0x01, 0x07},
     -70,
     {{"rssi", "dBm", -70},
      {"firmware", NULL, 0x0107},
      {"voltage", "V", VOLTS(213)},
      {"interval", "s", 6},
      {"uptime", "s", 3600},
      {"temperature",
       "\xC2\xB0"
       "C",
       14},
      {"flags", NULL, 1},
      {"flood", NULL, 1}}},
    {OSL_DEV_MAGNETO,
     "MAGNETO",
     {0x10, 0x0E, 0, 0, 5, 213, 2, 0x00, 19, 64, 0x0C, 0x1C, 0x0B, 0x51, 0x01, 0x07},
     -61,
     {{"rssi", "dBm", -61},
      {"firmware", NULL, 0x0107},
      {"voltage", "V", VOLTS(213)},
      {"interval", "s", 4},
      {"uptime", "s", 3600},
      {"light", NULL, 64},
      {"temperature",
       "\xC2\xB0"
       "C",
       19},
      {"flags", NULL, 0},
      {"adc1", "mV", 3100},
      {"adc2", "mV", 2897},
      {"contact", NULL, 0}}},
    {OSL_DEV_RELAY,
     "RELAY",
     {0x10, 0x0E, 0, 0, 20, 213, 1, 0x09, 32, 0, 0x0C, 0xF1, 0x00, 0xE6, 0x01, 0x07},
     -58,
     {{"rssi", "dBm", -58},
      {"firmware", NULL, 0x0107},
      {"voltage", "V", VOLTS(213)},
      {"interval", "s", 2},
      {"uptime", "s", 3600},
      {"light", NULL, 0},
      {"temperature",
       "\xC2\xB0"
       "C",
       32},
      {"channels", NULL, 9},
      {"adc1", "mV", 3313},
      {"adc2", "mV", 230}}},
    {OSL_DEV_DIMMER,
     "DIMMER",
     {0x10, 0x0E, 0, 0, 21, 213, 1, 0xFE, 5, 30, 0, 0, 0x06, 0x90, 0x01, 0x07},
     -60,
     {{"rssi", "dBm", -60},
      {"firmware", NULL, 0x0107},
      {"voltage", "V", VOLTS(213)},
      {"interval", "s", 2},
      {"uptime", "s", 3600},
      {"light", NULL, 5},
      {"temperature",
       "\xC2\xB0"
       "C",
       -2},
      {"level", "%", 30},
      {"adc1", "mV", 1680}}},
    {OSL_DEV_PWM,
     "PWM",
     {0x10, 0x0E, 0, 0, 22, 212, 1, 31, 0, 20, 40, 80, 0x06, 0x90, 0x01, 0x07},
     -60,
     {{"rssi", "dBm", -60},
      {"firmware", NULL, 0x0107},
      {"voltage", "V", VOLTS(212)},
      {"interval", "s", 2},
      {"uptime", "s", 3600},
      {"light", NULL, 0},
      {"temperature",
       "\xC2\xB0"
       "C",
       31},
      {"level0", "%", 20},
      {"level1", "%", 40},
      {"level2", "%", 80},
      {"adc1", "mV", 1680}}},
};

static int count_of(const struct family_case *c) {
    int n = 0;
    while (n < OSL_FIELDS_MAX && c->fields[n].name != NULL)
        n++;
    return n;
}

static int units_equal(const char *a, const char *b) {
    if (a == NULL || b == NULL)
        return a == b;
    return strcmp(a, b) == 0;
}

static int check_family(const struct family_case *c) {
    osl_record rec;
    osl_field got[OSL_FIELDS_MAX];
    int failed = 0;
    int n, i, j;

    memset(&rec, 0, sizeof rec);
    memcpy(rec.payload, c->payload, sizeof rec.payload);
    rec.addr[5] = (uint8_t)c->type; /* any address the library never heard an air sensor at */
    rec.rssi = c->rssi;

    if (osl_record_type(&rec) != c->type || osl_device_kind_name(c->type) == NULL ||
        strcmp(osl_device_kind_name(c->type), c->kind) != 0) {
        fprintf(stderr, "%s: type or kind name wrong\n", c->kind);
        return 1;
    }
    n = osl_record_fields(&rec, got, OSL_FIELDS_MAX);
    if (n != count_of(c)) {
        fprintf(stderr, "%s: %d fields, expected %d\n", c->kind, n, count_of(c));
        return 1;
    }
    for (i = 0; i < count_of(c); i++) {
        const struct expect *e = &c->fields[i];
        for (j = 0; j < n; j++)
            if (strcmp(got[j].name, e->name) == 0)
                break;
        if (j == n) {
            fprintf(stderr, "%s: no field %s\n", c->kind, e->name);
            failed = 1;
        } else if (got[j].value != e->value || !units_equal(got[j].unit, e->unit)) {
            fprintf(stderr, "%s: %s is %.9g %s, expected %.9g %s\n", c->kind, e->name, got[j].value,
                    got[j].unit ? got[j].unit : "(none)", e->value, e->unit ? e->unit : "(none)");
            failed = 1;
        }
    }
    return failed;
}

int main(void) {
    osl_record rec;
    osl_field few[2];
    unsigned i;
    int failed = 0;

    for (i = 0; i < sizeof cases / sizeof cases[0]; i++)
        failed |= check_family(&cases[i]);

    /* Fewer slots than fields: the count is still the record's, and only
     * the slots given are filled. */
    memset(&rec, 0, sizeof rec);
    memcpy(rec.payload, cases[0].payload, sizeof rec.payload);
    memset(few, 0, sizeof few);
    if (osl_record_fields(&rec, few, 1) != count_of(&cases[0]) || few[0].name == NULL ||
        few[1].name != NULL || osl_record_fields(&rec, NULL, 0) != count_of(&cases[0])) {
        fprintf(stderr, "short field array\n");
        failed = 1;
    }

    /* Types without a family. */
    for (i = 0; i < 4; i++) {
        static const uint8_t unknown[] = {0, 6, 19, 254};
        rec.payload[OSL_REC_TYPE] = unknown[i];
        if (osl_record_fields(&rec, few, 2) != OSL_FIELDS_UNKNOWN_TYPE ||
            osl_device_kind_name(unknown[i]) != NULL) {
            fprintf(stderr, "type %u decoded\n", unknown[i]);
            failed = 1;
        }
    }
    if (osl_record_fields(NULL, few, 2) != OSL_FIELDS_UNKNOWN_TYPE ||
        osl_device_kind_name(OSL_DEV_AIR) == NULL ||
        strcmp(osl_device_kind_name(OSL_DEV_AIR), "AIR") != 0) {
        fprintf(stderr, "null record or air kind name\n");
        failed = 1;
    }
    if (osl_result_text(OSL_OP_FIELDS, OSL_FIELDS_UNKNOWN_TYPE) == NULL ||
        osl_result_text(OSL_OP_SEND, OSL_SEND_PARAMS_REFUSED) == NULL ||
        osl_result_text(OSL_OP_SEND, 1) != NULL) {
        fprintf(stderr, "result texts\n");
        failed = 1;
    }
    if (failed)
        return 1;
    puts("c fields ok");
    return 0;
}
