/*
 * ostrel_lib: the Ostrel kit's radio library.
 *
 * Public interface, usable from C (C99 and later) and C++. Every function
 * begins osl_. Results are small integers: see each function.
 */
#ifndef OSL_H
#define OSL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Library version 2.0, as returned by osl_bt_lib_version(). */
#define OSL_LIB_VERSION 0x200

/* Verbosity bits, the fourth argument of osl_bt_open(). */
#define OSL_LOG_LIB 0x01     /* library events: open, close, errors, registrations */
#define OSL_LOG_SENSORS 0x02 /* sensor frames */
#define OSL_LOG_ACTORS 0x04  /* actor frames, SEC_KEY announcements, actor operations */
#define OSL_LOG_AIR 0x08     /* air-quality sensor frames */

/* Device types, byte 4 of a record and the result of osl_bt_read(). */
#define OSL_DEV_METEO 1
#define OSL_DEV_MOTION 2
#define OSL_DEV_BUTTON 3
#define OSL_DEV_FLOOD 4
#define OSL_DEV_MAGNETO 5
#define OSL_DEV_RELAY 20
#define OSL_DEV_DIMMER 21
#define OSL_DEV_PWM 22

/* Byte offsets in an osl_record, for applications that read it by position. */
#define OSL_REC_PAYLOAD 0 /* 16 bytes, meaning by device type */
#define OSL_REC_TYPE 4    /* device type */
#define OSL_REC_ADDR 16   /* 6 bytes, most significant first */
#define OSL_REC_RSSI 22   /* signed dBm */
#define OSL_REC_SIZE 23

/*
 * One accepted frame: the unsealed 16-byte payload, the sender's address
 * (most significant byte first) and the signal strength. Exactly 23 bytes,
 * no padding, so it can be read byte by byte.
 */
typedef struct osl_record {
    uint8_t payload[16];
    uint8_t addr[6];
    int8_t rssi;
} osl_record;

/* Compile-time check that works in C99 as well as C++. */
typedef char osl_record_is_23_bytes[(sizeof(osl_record) == OSL_REC_SIZE) ? 1 : -1];

/*
 * Opens the adapter, starts passive scanning and the 10 ms tick.
 * Pins 2..27 drive indicator lamps (receive, transmit, power); other values
 * leave that lamp out. Returns 0, or 41 (already running), 42 (queue),
 * 200..208 (lamps), 2/4/6/8 (adapter), 22/24/26/28 (scan), 44 (timer).
 */
int osl_bt_open(int pin_rx, int pin_tx, int pin_pwr, int flags);

/* Stops the tick, darkens and releases the lamps, stops scanning, closes the adapter. */
void osl_bt_close(void);

/* Takes one record: -1 stop requested or closed, 0 none waiting, else its device type. */
int osl_bt_read(osl_record *rec);

/* Sleeps about ms milliseconds in 10 ms ticks (at most 60 s); returns early once stopped. */
void osl_sleep_ms(int ms);

/* OSL_LIB_VERSION. */
int osl_bt_lib_version(void);

/* The adapter's own address, least significant byte first (6 bytes). */
uint8_t *osl_bt_myaddr_get(void);

/* 1 if the record comes from the 12-digit address text, else 0. */
int osl_check_addr(const char *addr, const osl_record *rec);

/* Shortest and longest tick of the last 2 s window (ms), and their mean in percent of 10 ms. */
uint8_t osl_lib_get_load(float *shortest_ms, float *longest_ms);

/* Prints the local time with a strftime format, then one space. */
int osl_print_local_time(const char *format);

/*
 * Actor registration: name, 12 hex digits of address, 32 hex digits of key.
 * 0 registered; -2 table full; -4 bad address; -10 address in use;
 * -6 no name; -8 bad key.
 */
int osl_relay_add(const char *name, const char *addr, const char *key);
int osl_dimmer_add(const char *name, const char *addr, const char *key);
int osl_pwm_add(const char *name, const char *addr, const char *key);

/*
 * Actor operations. Actors are named as registered; comply takes the record
 * osl_bt_read just returned for an actor frame. Results of a send: 0 sent;
 * -22/-24 advertising data not loaded (failed / refused by the controller);
 * -26/-28 advertising parameters not loaded. -2: no actor of that name or
 * address (also for a null name or record). Comply: 0 the actor already
 * matches; -4 the wanted state was sent again; -6 sending it failed.
 * Levels above 100 count as 100. Triggers: seconds (at most a day) until
 * is_trigger returns 1, once.
 */
int osl_relay_on(const char *name, uint8_t mask);  /* channel bits 0..3 on */
int osl_relay_off(const char *name, uint8_t mask); /* channel bits 0..3 off */
int osl_relay_get_ch0(const char *name);           /* reported channel: 1 on, 0 off */
int osl_relay_get_ch1(const char *name);
int osl_relay_get_ch2(const char *name);
int osl_relay_get_ch3(const char *name);
int osl_relay_comply(const osl_record *rec);
int osl_relay_set_trigger(const char *name, uint32_t seconds);
int osl_relay_clear_trigger(const char *name);
int osl_relay_is_trigger(const char *name); /* 1 once the trigger has fired, else 0 */

int osl_dimmer_set(const char *name, uint8_t level);
int osl_dimmer_get(const char *name); /* reported level */
int osl_dimmer_comply(const osl_record *rec);
int osl_dimmer_set_trigger(const char *name, uint32_t seconds);
int osl_dimmer_clear_trigger(const char *name);
int osl_dimmer_is_trigger(const char *name);

int osl_pwm_set(const char *name, uint8_t level0, uint8_t level1, uint8_t level2);
int osl_pwm_get_ch0(const char *name); /* reported level of channel 0 */
int osl_pwm_get_ch1(const char *name);
int osl_pwm_get_ch2(const char *name);
int osl_pwm_comply(const osl_record *rec);
int osl_pwm_set_trigger(const char *name, uint32_t seconds);
int osl_pwm_clear_trigger(const char *name);
int osl_pwm_is_trigger(const char *name);

/*
 * Time-of-day predicates on the local wall clock. A time of day is hh.mm in
 * a float (12.1 is 12:10, 7.05 is 7:05), 0.00 to 23.59. The day mask has
 * bit n for weekday n, 0 Sunday to 6 Saturday (0x3E Monday to Friday); bit 7
 * never matches. Invalid times answer 0.
 */
/* 1 during the whole given minute on a day of the mask, else 0. */
int osl_time_is_now(uint8_t day_mask, float time_of_day);
/* 1 when now lies strictly between from and to (across midnight when from
 * is later than to), else 0; equal bounds answer 0. */
int osl_time_is_between(float from, float to);

#ifdef __cplusplus
}
#endif

#endif /* OSL_H */
