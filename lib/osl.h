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
/* With any of the above: no log line shows a key. A program that keeps keys
 * out of its log (a service whose journal others read) sets it; the add
 * lines and the SEC_KEY lines then print "(hidden)" where the 32 digits stood. */
#define OSL_LOG_HIDE_KEYS 0x10

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
 * Results. Every operation returns 0 for success (or a value, or 1 for a
 * true answer); the other outcomes are the codes below, by operation.
 * osl_result_text() gives one line for a person about each of them.
 */

/* osl_bt_open: 0, or a positive code. */
#define OSL_OPEN_OK 0
#define OSL_OPEN_NO_ADAPTER 2   /* no adapter found */
#define OSL_OPEN_SOCKET 4       /* raw HCI socket not created */
#define OSL_OPEN_BIND 6         /* socket not bound to the adapter */
#define OSL_OPEN_NONBLOCK 8     /* socket not made non-blocking */
#define OSL_OPEN_SCAN_PARAMS 22 /* scan parameters refused twice */
#define OSL_OPEN_SCAN_ENABLE 24 /* scan not enabled */
#define OSL_OPEN_FILTER_GET 26  /* socket filter not read */
#define OSL_OPEN_FILTER_SET 28  /* socket filter not set */
#define OSL_OPEN_LOCKED 41      /* another program has the library open */
#define OSL_OPEN_QUEUE 42       /* record queue not set up */
#define OSL_OPEN_TIMER 44       /* tick timer not created or not armed */
/* Lamps: OSL_OPEN_LAMP + 3 x (lamp - 1) + step, lamps 1 receive, 2 transmit,
 * 3 power; steps 0 export, 1 direction, 2 value file. */
#define OSL_OPEN_LAMP 200
#define OSL_OPEN_LAMP_EXPORT 0
#define OSL_OPEN_LAMP_DIRECTION 1
#define OSL_OPEN_LAMP_VALUE 2
#define OSL_OPEN_LAMP_LAST 208

/* osl_bt_read: besides a record's device type. */
#define OSL_READ_STOPPED (-1) /* stop requested, or closed */
#define OSL_READ_NONE 0       /* no record waiting */

/* Actor registration (osl_relay_add, osl_dimmer_add, osl_pwm_add). */
#define OSL_ADD_FULL (-2)         /* 10 actors of that kind registered already */
#define OSL_ADD_BAD_ADDR (-4)     /* address is not 12 hexadecimal digits */
#define OSL_ADD_NO_NAME (-6)      /* name null or empty */
#define OSL_ADD_BAD_KEY (-8)      /* key is not 32 hexadecimal digits */
#define OSL_ADD_ADDR_IN_USE (-10) /* address registered already, as any kind */

/* Actor operations. */
#define OSL_NO_ACTOR (-2) /* no actor of that name or address (or a null one) */
/* Sends (set, on, off; also the comply that sends). */
#define OSL_SEND_DATA_FAILED (-22)    /* advertising data not loaded */
#define OSL_SEND_DATA_REFUSED (-24)   /* ... refused by the controller */
#define OSL_SEND_PARAMS_FAILED (-26)  /* advertising parameters not loaded */
#define OSL_SEND_PARAMS_REFUSED (-28) /* ... refused by the controller */
/* Comply: 0 when the actor already matches the wanted state. */
#define OSL_COMPLY_RESENT (-4)      /* the wanted state was sent again */
#define OSL_COMPLY_SEND_FAILED (-6) /* sending it failed */

/* osl_record_fields: besides the number of fields. */
#define OSL_FIELDS_UNKNOWN_TYPE (-2)

/* Which operation a result belongs to, for osl_result_text(). */
#define OSL_OP_OPEN 1   /* osl_bt_open */
#define OSL_OP_READ 2   /* osl_bt_read */
#define OSL_OP_ADD 3    /* the add operations */
#define OSL_OP_SEND 4   /* set, on, off, and the get and trigger operations' OSL_NO_ACTOR */
#define OSL_OP_COMPLY 5 /* the comply operations */
#define OSL_OP_FIELDS 6 /* osl_record_fields */
#define OSL_OP_REMOVE 7 /* osl_actor_remove */

/*
 * One line for a person on what a result of that operation means, without
 * a line end, or NULL for a code the operation never returns. The open
 * results that concern a lamp name its GPIO line (as given to the last
 * osl_bt_open) and the file that failed, and the lock result the lock file,
 * so the text of those lives in the library's own storage until the next
 * call; the others are fixed texts.
 */
const char *osl_result_text(int op, int code);

/*
 * Opens the adapter, starts passive scanning and the 10 ms tick.
 * Pins 2..27 drive indicator lamps (receive, transmit, power); other values
 * leave that lamp out. Returns OSL_OPEN_OK or one of the OSL_OPEN_ codes.
 */
int osl_bt_open(int pin_rx, int pin_tx, int pin_pwr, int flags);

/* Stops the tick, darkens and releases the lamps, stops scanning, closes the adapter. */
void osl_bt_close(void);

/* Takes one record: OSL_READ_STOPPED, OSL_READ_NONE, else the record's byte 4
 * (its device type; for an air-quality sensor whatever it sent there). */
int osl_bt_read(osl_record *rec);

/* Whole records waiting to be read. osl_bt_read returns a record's byte 4,
 * which an air-quality sensor may send as 0, so a program that drains the
 * queue reads this many records rather than stopping at the first 0. */
int osl_bt_queued(void);

/* 1 while the library is open and no stop was requested (SIGINT), else 0. */
int osl_bt_running(void);

/*
 * Reading a record without knowing its byte layout.
 *
 * A field is a reading with a lower-case name ("temperature", "voltage",
 * "motion", "level0" ...) and its unit ("°C", "V", "dBm", "µg/m³" in UTF-8,
 * or NULL where the reading has none, such as a flag or a count). Values are
 * the numbers the library's own log line shows for the record, unrounded.
 * docs/library.md has a table of every family's fields.
 */
typedef struct osl_field {
    const char *name;
    const char *unit;
    double value;
} osl_field;

/* The air-quality sensor's family: its records carry no device type, so
 * osl_record_type() names them with this code, above any byte. */
#define OSL_DEV_AIR 256

/* The family of a record osl_bt_read returned: its device type, or
 * OSL_DEV_AIR for a record of an air-quality sensor the library heard lately
 * (it remembers the addresses of the last 16 it heard); OSL_FIELDS_UNKNOWN_TYPE
 * for a null record. */
int osl_record_type(const osl_record *rec);

/* No family has more fields than this: room for any record's fields. */
#define OSL_FIELDS_MAX 16

/* Fills up to max fields of an accepted record; returns how many the record
 * has, or OSL_FIELDS_UNKNOWN_TYPE (-2) for an unknown type (or a null record). */
int osl_record_fields(const osl_record *rec, osl_field *fields, int max);

/* "METEO", "MOTION", "BUTTON", "FLOOD", "MAGNETO", "RELAY", "DIMMER", "PWM",
 * "AIR" for OSL_DEV_AIR; NULL for an unknown type. */
const char *osl_device_kind_name(int type);

/* Sleeps about ms milliseconds in 10 ms ticks (at most 60 s); returns early once stopped. */
void osl_sleep_ms(int ms);

/* OSL_LIB_VERSION. */
int osl_bt_lib_version(void);

/* The adapter's own address, least significant byte first (6 bytes). */
uint8_t *osl_bt_myaddr_get(void);

/* 1 if the record comes from the 12-digit address text, else 0. */
int osl_check_addr(const char *addr, const osl_record *rec);

/*
 * The adapter link's health. The library watches its adapter: a link whose
 * reads fail for good (the adapter unplugged, powered down) is closed and
 * opened again, with back-off from 1 s to a minute between attempts; after
 * 5 s without any event it asks the controller whether it still scans (a
 * reset, a power cycle or another program can stop the scan) and starts the
 * scan again. It does so from osl_bt_read and osl_sleep_ms, and says so in
 * "[osl link]" lines under OSL_LOG_LIB.
 */
#define OSL_LINK_CLOSED 0 /* the library is not open */
#define OSL_LINK_UP 1     /* scanning */
#define OSL_LINK_DOWN 2   /* lost; the library is opening it again */
#define OSL_LINK_NO_STATUS (-2)

typedef struct osl_link_status {
    int state;                  /* OSL_LINK_... */
    int dev_id;                 /* the adapter's index (hciN) while up, else -1 */
    uint32_t recoveries;        /* times the link was lost or stopped scanning, and restored */
    uint32_t read_errors;       /* reads that failed, other than "nothing waiting" */
    int last_error;             /* errno of the last failed read, 0 none */
    uint32_t ms_since_event;    /* since the adapter last delivered an event (or since the
                                   program started, before the first) */
    uint32_t events_dropped;    /* events not decoded: the record queue had no room */
    uint32_t window_overflows;  /* frames that found the reception window full and took
                                   the place of its oldest */
    uint32_t log_lines_dropped; /* log lines lost to a full log ring */
} osl_link_status;

/* Fills the status; 0, or OSL_LINK_NO_STATUS for a null pointer. */
int osl_link_get_status(osl_link_status *status);

/* Shortest and longest tick of the last 2 s window (ms), and their mean in percent of 10 ms. */
uint8_t osl_lib_get_load(float *shortest_ms, float *longest_ms);

/* Prints the local time with a strftime format, then one space. */
int osl_print_local_time(const char *format);

/*
 * Actor registration: name, 12 hex digits of address, 32 hex digits of key.
 * 0 registered, or one of the OSL_ADD_ codes.
 */
int osl_relay_add(const char *name, const char *addr, const char *key);
int osl_dimmer_add(const char *name, const char *addr, const char *key);
int osl_pwm_add(const char *name, const char *addr, const char *key);

/*
 * Takes a registered actor, of any kind, out of its table by its 12-digit
 * address text: its frames are no longer recognised (records of it already
 * queued stay to be read), its name and its place are free for another add,
 * and the actors registered after it keep their order. 0 removed;
 * OSL_ADD_BAD_ADDR for a text that is no address (or null); OSL_NO_ACTOR when
 * no actor is registered there. Main flow only.
 */
int osl_actor_remove(const char *addr);

/*
 * Key announcements. An actor in its announcing mode broadcasts its own key
 * (a SEC_KEY frame, sealed with the common sensor key). The library keeps
 * the announcements it hears, whatever the verbosity, for a program that
 * pairs actors without a person copying keys off the scanner's lines.
 *
 * The kind of a registered actor announcing the key it is registered with
 * is its table's. Otherwise it is learnt from the actor's own frames: the
 * library remembers the last frame of each of the last 8 actors whose frames
 * it could not open (not registered, or sealed with another key than the
 * registered one), and an announcement whose key opens such a frame of the
 * same address carries that frame's device type. Until the actor has been
 * heard (its frames come every few seconds), its announcements carry type 0;
 * a later repeat carries the kind.
 */
typedef struct osl_key_announcement {
    uint8_t addr[6]; /* most significant byte first */
    uint8_t key[16]; /* first byte from the first two digits of the key text */
    int type;        /* OSL_DEV_RELAY, OSL_DEV_DIMMER, OSL_DEV_PWM, or 0 not known yet */
    int8_t rssi;
} osl_key_announcement;

/* The announcements waiting: at most 8, oldest first; an announcement equal
 * to one still waiting (address, key and type) is not kept twice, and when
 * all 8 places are taken a new one takes the oldest's place. */
#define OSL_ANNOUNCEMENTS_MAX 8

/* Takes the oldest announcement waiting: 1 taken, 0 none waiting (or a null
 * pointer). Main flow only. */
int osl_key_announcement_read(osl_key_announcement *out);

/*
 * Actor operations. Actors are named as registered; comply takes the record
 * osl_bt_read just returned for an actor frame. A send returns 0 or one of
 * the OSL_SEND_ codes; OSL_NO_ACTOR when no actor has that name or address
 * (also for a null name or record). Comply: 0 the actor already matches,
 * OSL_COMPLY_RESENT or OSL_COMPLY_SEND_FAILED. Levels above 100 count as 100.
 * Triggers: seconds (at most a day) until is_trigger returns 1, once.
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
