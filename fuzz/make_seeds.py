#!/usr/bin/env python3
"""Writes the fuzz targets' seed inputs into a directory, one folder per target.

The decoder's seeds are the literal events of every family from the report
table (tests/frames/fixtures/reports.inc): each alone with logs on, alone
into a full window, and twice in a row (the second a repeat). The text and
time seeds are a few valid and invalid texts and times of day. ostrel_mqtt's
seeds are each form of its requests and actor commands, valid and nearly
so, and hostile payloads (nested deep, long, with bytes after the JSON); its
example configuration (MQTT_TOML) and fuller ones, valid and nearly so; and
registries as the bridge writes them, with faults. Inputs that once
crashed a target (REGRESSIONS_DIR/<target>/) join them, named
regression-<file>.

Usage: make_seeds.py REPORTS_INC MQTT_TOML REGRESSIONS_DIR OUTPUT_DIR
"""
import json
import os
import re
import shutil
import struct
import sys

LOG_ALL = 0x0F
TICKS = 0x10


def report_events(path):
    """(name, event bytes) of every case of the table, in order."""
    text = open(path, encoding="ascii").read()
    cases = text[text.index("REPORT_CASES"):]
    events = []
    # A case: {"name", "hex" "hex" ..., result, ...}
    for m in re.finditer(r'\{"(\w+)",\s*((?:"[0-9A-F]*"\s*)+),', cases):
        digits = "".join(re.findall(r'"([0-9A-F]*)"', m.group(2)))
        events.append((m.group(1), bytes.fromhex(digits)))
    if len(events) < 11:
        sys.exit(f"{path}: found only {len(events)} cases")
    return events


def chunk(event):
    return bytes([len(event)]) + event


def write(directory, name, data):
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


# The message target's topics, by their place in its list
# (fuzz/mqtt_message_target.cpp), and its message separator and broker-away bit.
PERMIT_JOIN, REMOVE, RENAME, NO_REQUEST, EMPTY_REQUEST = 0, 1, 2, 3, 4
RELAY, DIMMER, PWM, PAIRED_PWM, PAIRED_RELAY, NO_ACTOR, SENSOR, BRIDGE_SET = range(5, 13)
HA_STATUS, FOREIGN = 13, 14
SEPARATOR = b"\xff"
AWAY = 0x80


def message(topic, payload):
    if not isinstance(payload, (bytes, str)):
        payload = json.dumps(payload)
    if isinstance(payload, str):
        payload = payload.encode()
    return bytes([topic]) + payload


def messages(*pairs):
    return SEPARATOR.join(message(t, p) for t, p in pairs)


def mqtt_message_seeds():
    relay = {
        "on": {"channel": 0, "state": "ON"},
        "off_lower_transaction": {"channel": 3, "state": "off", "transaction": "t1"},
        "channel_4": {"channel": 4, "state": "ON"},
        "no_channel": {"state": "ON"},
        "no_state": {"channel": 1},
        "channel_fraction": {"channel": 1.5, "state": "ON"},
        "channel_text": {"channel": "1", "state": "ON"},
        "state_number": {"channel": 2, "state": 1},
    }
    dimmer = {
        "on": {"state": "ON"},
        "off": {"state": "OFF"},
        "brightness": {"brightness": 55},
        "on_full": {"state": "ON", "brightness": 100, "transaction": 9},
        "brightness_101": {"brightness": 101},
        "brightness_negative": {"brightness": -1},
        "empty": {},
        "state_maybe": {"state": "MAYBE"},
    }
    pwm = {
        "levels": {"levels": [10, 20, 30]},
        "levels_two": {"levels": [1, 2]},
        "levels_101": {"levels": [0, 0, 101]},
        "levels_object": {"levels": {"r": 1}},
        "color_brightness": {"state": "ON", "color": {"r": 255, "g": 128, "b": 0},
                             "brightness": 80},
        "color_black": {"color": {"r": 0, "g": 0, "b": 0}},
        "color_two": {"color": {"r": 1, "g": 2}},
        "color_list": {"color": [1, 2, 3]},
        "color_256": {"color": {"r": 256, "g": 0, "b": 0}},
        "brightness": {"brightness": 40},
        "off": {"state": "OFF"},
        "on": {"state": "ON"},
    }
    seeds = {}
    for kind, topics, forms in (("relay", (RELAY, PAIRED_RELAY), relay),
                                ("dimmer", (DIMMER,), dimmer),
                                ("pwm", (PWM, PAIRED_PWM), pwm)):
        for topic in topics:
            where = "paired_" if topic in (PAIRED_RELAY, PAIRED_PWM) else ""
            for name, body in forms.items():
                seeds[f"set_{where}{kind}_{name}"] = message(topic, body)
    requests = {
        "permit_join": (PERMIT_JOIN, {"time": 60}),
        "permit_join_bare": (PERMIT_JOIN, 120),
        "permit_join_close": (PERMIT_JOIN, {"time": 0, "transaction": 7}),
        "permit_join_too_long": (PERMIT_JOIN, {"time": 3601}),
        "permit_join_negative": (PERMIT_JOIN, {"time": -1}),
        "permit_join_text": (PERMIT_JOIN, {"time": "60"}),
        "remove_paired": (REMOVE, {"address": "C0FFEE000023"}),
        "remove_lower": (REMOVE, {"address": "c0ffee000024", "transaction": [1]}),
        "remove_configured": (REMOVE, {"address": "C0FFEE000020"}),
        "remove_adopted_sensor": (REMOVE, {"address": "333333333333"}),
        "remove_configured_sensor": (REMOVE, {"address": "111111111111"}),
        "remove_short": (REMOVE, {"address": "123"}),
        "remove_no_address": (REMOVE, {}),
        "rename_paired": (RENAME, {"address": "C0FFEE000023", "name": "Desk lamp"}),
        "rename_sensor": (RENAME, {"address": "333333333333", "name": "Front porch"}),
        "rename_configured": (RENAME, {"address": "C0FFEE000021", "name": "x"}),
        "rename_empty": (RENAME, {"address": "C0FFEE000023", "name": ""}),
        "rename_no_name": (RENAME, {"address": "C0FFEE000023"}),
        "rename_unicode": (RENAME, {"address": "C0FFEE000024", "name": "Pumpe \u00fc\u2603"}),
        "unknown_request": (NO_REQUEST, {}),
        "empty_request": (EMPTY_REQUEST, {"time": 1}),
        "not_json": (PERMIT_JOIN, "{"),
        "empty_payload": (RELAY, ""),
        "bare_word": (DIMMER, "ON"),
        "array_command": (PWM, [1, 2, 3]),
        "no_actor": (NO_ACTOR, {"state": "ON"}),
        "sensor_set": (SENSOR, {"state": "ON"}),
        "bridge_set": (BRIDGE_SET, {"state": "ON"}),
        "ha_online": (HA_STATUS, "online"),
        "ha_offline": (HA_STATUS, "offline"),
        "foreign": (FOREIGN, {"state": "ON"}),
    }
    for name, (topic, body) in requests.items():
        seeds[name] = message(topic, body)
    seeds["remove_then_set"] = messages((REMOVE, {"address": "C0FFEE000023"}),
                                        (PAIRED_PWM, {"state": "ON"}))
    seeds["rename_then_set"] = messages((RENAME, {"address": "C0FFEE000024", "name": "Well"}),
                                        (PAIRED_RELAY, {"channel": 2, "state": "ON"}))
    seeds["set_while_away"] = messages((DIMMER | AWAY, {"brightness": 30}),
                                       (HA_STATUS, "online"))
    seeds["off_then_on"] = messages((PWM, {"state": "OFF"}), (PWM, {"state": "ON"}),
                                    (PWM, {"color": {"r": 0, "g": 0, "b": 255}}))
    seeds["join_remove_rename"] = messages((PERMIT_JOIN, 30),
                                           (REMOVE, {"address": "333333333333"}),
                                           (RENAME, {"address": "333333333333", "name": "Gone"}))
    seeds.update(hostile_message_seeds())
    return seeds


def nested(depth, inner=b""):
    return b"[" * depth + inner + b"]" * depth


def hostile_message_seeds():
    """Payloads a broker open to others may carry: deep, long, with bytes
    after the JSON. Each fits the fuzzer's input size (tools/fuzz.sh)."""
    seeds = {}
    for depth in (20, 100, 600):
        seeds[f"transaction_nested_{depth}"] = message(
            RELAY, b'{"channel": 1, "state": "ON", "transaction": ' + nested(depth) + b"}")
    seeds["permit_join_transaction_nested_600"] = message(
        PERMIT_JOIN, b'{"time": 60, "transaction": ' + nested(600) + b"}")
    seeds["transaction_objects_nested_300"] = message(
        PAIRED_PWM, b'{"state": "ON", "transaction": ' + b'{"a": ' * 300 + b"1" + b"}" * 300
        + b"}")
    seeds["body_nested_600"] = message(
        RELAY, b'{"channel": 1, "state": "ON", "extra": ' + nested(600, b"0") + b"}")
    seeds["bare_array_nested_600"] = message(DIMMER, nested(600))
    seeds["unclosed_nested_2000"] = message(PERMIT_JOIN, b"[" * 2000)
    seeds["nul_then_garbage"] = message(RELAY, b'{"channel":1,"state":"ON"}\0garbage')
    seeds["nul_in_transaction"] = message(
        RELAY, b'{"channel":1,"state":"ON","transaction":"a\0b"}')
    seeds["json_then_text"] = message(RELAY, b'{"channel": 2, "state": "OFF"} and more words')
    seeds["json_then_json"] = message(PERMIT_JOIN, b'{"time": 60}{"time": 0}')
    for length in (1000, 6000):
        seeds[f"transaction_long_{length}"] = message(
            RELAY, {"channel": 0, "state": "ON", "transaction": "t" * length})
    seeds["rename_name_1k"] = message(RENAME, {"address": "C0FFEE000023", "name": "N" * 1024})
    seeds["rename_control_escapes"] = message(
        RENAME, {"address": "C0FFEE000024", "name": "a\u0000b\u001b[31m\t\r\n\"\\\u007f\ud7ff"})
    seeds["rename_raw_control"] = message(
        RENAME, b'{"address": "C0FFEE000024", "name": "a\x01\x1b\nb"}')
    seeds["rename_lone_surrogate"] = message(
        RENAME, b'{"address": "333333333333", "name": "x\\ud800y"}')
    seeds["rename_wildcards"] = message(RENAME, {"address": "C0FFEE000023", "name": "a/#/+/b"})
    seeds["rename_quotes"] = message(
        RENAME, {"address": "333333333333", "name": "He said \"hi\" and 'bye'"})
    seeds["rename_wildcards_then_set"] = messages(
        (RENAME, {"address": "C0FFEE000024", "name": "#"}),
        (PAIRED_RELAY, {"channel": 1, "state": "ON", "transaction": "+/#"}))
    return seeds


# A configuration that sets every key once.
FULL_CONFIG = """board = "hall-1"
state_file = "/var/lib/ostrel/mqtt-state.json"

[broker]
host = "broker.local"
port = 8883
user = "ostrel"
ca_file = "/etc/ssl/certs/ca.pem"
cert_file = "/etc/ostrel/client.crt"
key_file = "/etc/ostrel/client.key"

[topics]
prefix = "home/ostrel"
discovery_prefix = "homeassistant"

[library]
lamps = [26, 19, 0]
verbosity = ["lib", "sensors", "actors", "air"]

[[sensor]]
address = "111111111111"
name = "Garden weather"

[[sensor]]
address = "cbfd786baa68"

[[actor]]
kind = "relay"
address = "C0FFEE000020"
key = "000102030405060708090A0B0C0D0E0F"
name = "Hall"

[[actor]]
kind = "DIMMER"
address = "c0ffee000021"
key = "f0e1d2c3b4a5968778695a4b3c2d1e0f"

[[actor]]
kind = "pwm"
address = "C0FFEE000022"
key = "2B7E151628AED2A6ABF7158809CF4F3C"
name = "Shelf"
"""


def mqtt_config_seeds(example):
    # Each a change of the full configuration: (what, by what).
    near = {
        "bad_address": ('address = "111111111111"', 'address = "11111111111G"'),
        "short_key": ('key = "000102030405060708090A0B0C0D0E0F"',
                      'key = "000102030405060708090A0B0C0D0E0"'),
        "address_twice": ('address = "C0FFEE000022"', 'address = "111111111111"'),
        "kind_fan": ('kind = "pwm"', 'kind = "fan"'),
        "kind_number": ('kind = "pwm"', "kind = 3"),
        "no_key": ('key = "2B7E151628AED2A6ABF7158809CF4F3C"\n', ""),
        "two_lamps": ("lamps = [26, 19, 0]", "lamps = [26, 19]"),
        "lamp_28": ("lamps = [26, 19, 0]", "lamps = [26, 19, 28]"),
        "verbosity_word": ('"air"]', '"debug"]'),
        "port_0": ("port = 8883", "port = 0"),
        "port_text": ("port = 8883", 'port = "8883"'),
        "prefix_slash": ('prefix = "home/ostrel"', 'prefix = "home/"'),
        "prefix_wildcard": ('prefix = "home/ostrel"', 'prefix = "home/+"'),
        "board_space": ('board = "hall-1"', 'board = "hall 1"'),
        "cert_alone": ('key_file = "/etc/ostrel/client.key"\n', ""),
        "unknown_key": ('user = "ostrel"', 'user = "ostrel"\nusername = "x"'),
        "unterminated": ('name = "Shelf"', 'name = "Shelf'),
        "password_missing": ('user = "ostrel"', 'password_file = "/nonexistent/ostrel.pw"'),
    }
    seeds = {"example": example, "full": FULL_CONFIG.encode(), "empty": b"",
             "broker_number": b'board = "b"\nbroker = 3\n', "sensor_text": b'sensor = "x"\n',
             "actor_table": b'[actor]\nkind = "relay"\n'}
    for name, (old, new) in near.items():
        if old not in FULL_CONFIG:
            sys.exit(f"config seed {name}: '{old}' is not in the full configuration")
        seeds[name] = FULL_CONFIG.replace(old, new, 1).encode()
    return seeds


# A registry as the bridge writes it: every kind of actor, paired and
# configured, an adopted sensor of two kinds, and the configs out.
FULL_REGISTRY = {
    "version": 2,
    "devices": [
        {"address": "333333333333", "name": "Porch",
         "kinds": [{"kind": "METEO", "interval_s": 4}, {"kind": "MOTION", "interval_s": 60}]},
        {"address": "444444444444", "name": "", "kinds": []},
    ],
    "actors": [
        {"address": "C0FFEE000020", "kind": "RELAY", "config": True, "wanted": [5]},
        {"address": "C0FFEE000021", "kind": "DIMMER", "name": "Lamp",
         "key": "F0E1D2C3B4A5968778695A4B3C2D1E0F", "wanted": [0], "lit": [40]},
        {"address": "C0FFEE000022", "kind": "PWM", "name": "Shelf",
         "key": "2B7E151628AED2A6ABF7158809CF4F3C", "wanted": [10, 20, 30], "lit": [10, 20, 30]},
    ],
    "discovery": ["homeassistant/sensor/ostrel_333333333333_meteo_temperature/config",
                  "homeassistant/light/ostrel_C0FFEE000022_pwm_light/config"],
}


def mqtt_registry_seeds():
    def changed(edit):
        r = json.loads(json.dumps(FULL_REGISTRY))
        edit(r)
        return json.dumps(r, indent=2).encode()

    def actor(i, **fields):
        def edit(r):
            r["actors"][i].update(fields)
            for k, v in fields.items():
                if v is None:
                    del r["actors"][i][k]
        return edit

    seeds = {
        "full": json.dumps(FULL_REGISTRY, indent=2).encode(),
        "version_1": json.dumps({"devices": FULL_REGISTRY["devices"],
                                 "discovery": FULL_REGISTRY["discovery"]}).encode(),
        "empty_lists": b'{"version": 2, "devices": [], "actors": [], "discovery": []}',
        "empty_object": b"{}",
        "array": b"[]",
        "not_json": b'{"version": 2, "devices": [',
        "empty": b"",
        "version_3": changed(lambda r: r.update(version=3)),
        "version_fraction": changed(lambda r: r.update(version=1.5)),
        "no_devices": changed(lambda r: r.pop("devices")),
        "interval_fraction": changed(
            lambda r: r["devices"][0]["kinds"][0].update(interval_s=2.5)),
        "name_number": changed(lambda r: r["devices"][1].update(name=7)),
        "discovery_number": changed(lambda r: r.update(discovery=[1])),
        "no_key": changed(actor(1, key=None)),
        "short_key": changed(actor(2, key="2B7E151628AED2A6ABF7158809CF4F3")),
        "wanted_300": changed(actor(1, wanted=[300])),
        "relay_16": changed(actor(0, wanted=[16])),
        "lit_two": changed(actor(2, lit=[1, 2])),
        "kind_fan": changed(actor(1, kind="FAN")),
        "kind_lower": changed(actor(1, kind="dimmer")),
        "address_lower": changed(actor(2, address="c0ffee000022")),
        "address_short": changed(actor(2, address="C0FFEE")),
        "config_false": changed(actor(0, config=False)),
    }
    return seeds


def main():
    reports, example, regressions, out = sys.argv[1:5]
    targets = ("decoder", "text", "time", "mqtt_message", "mqtt_config", "mqtt_registry")
    dirs = {t: os.path.join(out, t) for t in targets}
    for d in dirs.values():
        os.makedirs(d, exist_ok=True)

    for name, event in report_events(reports):
        event = event[:50]
        write(dirs["decoder"], name, bytes([0, 0, LOG_ALL]) + chunk(event))
        write(dirs["decoder"], name + "_full", bytes([100, 50, LOG_ALL]) + chunk(event))
        write(dirs["decoder"], name + "_twice",
              bytes([0, 0, LOG_ALL | TICKS]) + chunk(event) + chunk(event))

    texts = {
        "relay": (0, b"hall", b"CBFD786BAA68", b"000102030405060708090A0B0C0D0E0F"),
        "dimmer_lower": (1 | 4, b"lamp", b"0a1b2c3d4e5f", b"f0e1d2c3b4a5968778695a4b3c2d1e0f"),
        "pwm_long_name": (2 | 4, b"n" * 70, b"665544332211", b"2B7E151628AED2A6ABF7158809CF4F3C"),
        "bad_addr": (4, b"x", b"CBFD786BAA6", b"00"),
        "bad_key": (4, b"x", b"CBFD786BAA68", b"000102030405060708090A0B0C0D0E0"),
    }
    for name, (control, *pieces) in texts.items():
        control |= 16 << 3  # convert 16 bytes directly too
        write(dirs["text"], name, bytes([control]) + b"\0".join(pieces))

    noon_monday = 4 * 86400 + 12 * 3600  # 1970-01-05 12:00 UTC, a Monday
    times = {
        "noon": (12.0, 12.1, 0x3E),
        "last_minute": (23.59, 6.0, 0x7F),
        "across_midnight": (22.0, 6.0, 0x41),
        "bad_minute": (12.6, 12.595, 0x0E),
        "negative_zero": (-0.0, 24.0, 0x7F),
        "nan": (float("nan"), float("inf"), 0xFF),
    }
    for name, (a, b, mask) in times.items():
        write(dirs["time"], name, struct.pack("<ffBI", a, b, mask, noon_monday))

    for name, data in mqtt_message_seeds().items():
        write(dirs["mqtt_message"], name, data)
    with open(example, "rb") as f:
        example_config = f.read()
    for name, data in mqtt_config_seeds(example_config).items():
        write(dirs["mqtt_config"], name, data)
    for name, data in mqtt_registry_seeds().items():
        write(dirs["mqtt_registry"], name, data)

    for target, d in dirs.items():
        found = os.path.join(regressions, target)
        if os.path.isdir(found):
            for name in sorted(os.listdir(found)):
                shutil.copyfile(os.path.join(found, name), os.path.join(d, "regression-" + name))


if __name__ == "__main__":
    main()
