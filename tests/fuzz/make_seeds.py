#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into tests/data/fuzz/<target>/.

Each seed is a small, meaningful program in the encoding the targets read with
vornfuzz::InputReader (tests/fuzz/fuzz_input.h): one byte per choice, little-endian
integers, ranges read from as few bytes as their span needs. Run it again after changing
a target's encoding; the seeds are committed.
"""
import pathlib
import shutil
import struct
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2] / "tests" / "data" / "fuzz"


def u16(v):
    return struct.pack("<H", v & 0xFFFF)


def u32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def write(target, seeds):
    folder = ROOT / target
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    for name, data in seeds.items():
        (folder / name).write_bytes(bytes(data))


# ---- board model: [model] then operations ------------------------------------------------

GPS = 2  # model index of 0x9070
ENTRY_BEGIN, ENTRY_LOAD, ENTRY_LOAD_ALT, SUBSECOND = 0xF0, 0xE0, 0x4C, 0xE1
COMMANDS = {
    "entry_begin": 0xF0, "entry_load": 0xE0, "entry_load_alt": 0x4C, "subsecond_bank": 0xE1,
    "match_start": 0xE2, "match_stop": 0xE3, "heart_pulse_next": 0xE5,
    "heart_pulse_now": 0xE6, "heart_square_next": 0xE7, "heart_square_now": 0xE8,
    "get_firmware": 0xE9, "load_year": 0xEA, "synchronize": 0x4D, "freewheel": 0x4E,
    "reset_firmware": 0x4F, "get_satinfo": 0x5C, "get_date": 0x5D, "get_longitude": 0x5E,
    "get_latitude": 0x5F, "unknown_ef": 0xEF,
}


def b_cmd(byte):
    return [0, byte]


def b_digit(position, value):
    # op 4: position, a flag (odd: decimal digit, read from one byte either way), the digit
    return [4, position, 0, value]


def b_digits(pairs):
    out = []
    for position, value in pairs:
        out += b_digit(position, value)
    return out


def b_status():
    return [7]


def b_time():
    return [8]


def b_advance(count, unit):
    # units: 0 us, 1 ms, 2 s, 3 minutes, 4 days
    return [9] + list(u16(count)) + [unit]


def b_enable(bits=0xE0):
    return [10] + list(u16(bits))


def b_drain():
    return [11]


def b_read(offset):
    return [6, 0, offset]


def b_write(offset, value):
    return [5, 0, offset] + list(u16(value))


def b_operate(sub, *rest):
    return [12, sub] + list(rest)


def board_seeds():
    seeds = {}
    for name, byte in COMMANDS.items():
        seeds[f"command_{name}"] = [GPS] + b_enable() + b_cmd(byte) + b_status() + b_drain() + \
            b_advance(5, 1) + b_status()
    entry_time = b_cmd(ENTRY_BEGIN) + b_digits(
        [(5, 1), (6, 2), (7, 3), (8, 1), (9, 4), (0xA, 3), (0xB, 0), (0xC, 5), (0xD, 9)])
    seeds["load_time"] = [GPS] + entry_time + b_cmd(ENTRY_LOAD) + b_time() + b_advance(2, 2) + b_time()
    seeds["load_time_alt"] = [GPS] + entry_time + b_cmd(ENTRY_LOAD_ALT) + b_time()
    seeds["load_prop_delay"] = [GPS] + b_operate(3, 1) + b_cmd(ENTRY_BEGIN) + b_digits(
        [(3, 9), (2, 9), (1, 9), (0, 0)]) + b_cmd(ENTRY_LOAD) + b_time() + b_status()
    seeds["load_year_leap"] = [GPS] + b_digits([(6, 2), (7, 0), (8, 0), (9, 8)]) + \
        b_cmd(0xEA) + b_advance(2, 4) + b_time()
    seeds["heartbeat_pulse"] = [GPS] + b_enable(0x20) + b_cmd(ENTRY_BEGIN) + b_digits(
        [(0xA, 0), (0xB, 0), (0xC, 1), (0xD, 0)]) + b_cmd(0xE6) + b_advance(50, 1) + \
        b_status() + b_write(0x10, 0x10) + b_status()
    seeds["heartbeat_square_next"] = [GPS] + b_enable(0x20) + b_cmd(ENTRY_BEGIN) + b_digits(
        [(0xA, 0), (0xB, 0), (0xC, 0), (0xD, 1)]) + b_cmd(0xE7) + b_advance(3, 2) + b_status()
    seeds["match_start"] = [GPS] + b_enable(0x40) + b_cmd(ENTRY_BEGIN) + b_digits(
        [(5, 3), (6, 6), (7, 5), (8, 1), (9, 2), (0xA, 0), (0xB, 1), (0xC, 0), (0xD, 0)]) + \
        b_cmd(SUBSECOND) + b_digits([(8, 5)]) + b_cmd(0xE2) + b_advance(2, 3) + b_status() + \
        b_write(0x10, 0x08) + b_status()
    seeds["queries_all"] = [GPS] + b_operate(5) + list(u32(40_000 + 100_000)) + \
        list(u32(150_000 + 200_000)) + list(u32(1_234 + 10)) + [9] + b_cmd(0x5C) + b_cmd(0x5D) + \
        b_cmd(0x5E) + b_cmd(0x5F) + b_cmd(0xE9) + b_status() + b_drain()
    seeds["event_storm"] = [GPS] + b_enable(0x80) + b_operate(1) + list(u16(200)) + b_status() + \
        b_drain() + b_status()
    seeds["sim_event_register"] = [GPS] + b_enable(0x80) + b_write(0x12, 0xFF) + b_write(0x12, 1) + \
        b_status() + b_read(0) + b_drain()
    seeds["event_at"] = [GPS] + b_operate(2) + list(u16(366)) + [13, 1] + list(u32(0)) + \
        b_advance(2, 3) + b_drain()
    seeds["slow_fifo"] = [GPS] + b_operate(4, 0, 0, 5) + b_operate(0) + b_status() * 6 + \
        b_read(0) + b_drain()
    seeds["faults_echo"] = [GPS] + b_operate(4, 1, 1, 0) + b_cmd(0xE9) + b_drain()
    seeds["reference_sync"] = [GPS] + b_operate(3, 1) + b_status() + b_cmd(0x4E) + b_status() + \
        b_cmd(0x4D) + b_time()
    seeds["registers_window"] = [0] + b_read(4) + b_read(0x14) + b_write(0x16, 7) + \
        [5, 255] + list(u32(0x1000)) + list(u16(1)) + b_time()
    seeds["reset"] = [GPS] + b_enable() + b_operate(0) + b_operate(6) + b_status()
    return seeds


# ---- driver dispatch: [model][reference][load fault] then operations ---------------------

FIRST = 0x80812000
LENGTHS = {  # k: (input, output) as the driver checks them
    0x00: (8, 8), 0x01: (4, 4), 0x02: (4, 4), 0x03: (7, 7), 0x04: (4, 4), 0x05: (4, 4),
    0x06: (8, 8), 0x07: (8, 8), 0x08: (2, 2), 0x09: (16, 16), 0x0A: (0, 0), 0x0B: (6, 0),
    0x0C: (12, 0), 0x0D: (4, 0), 0x0E: (4, 0), 0x0F: (16, 0), 0x10: (4, 0), 0x11: (0, 0),
    0x12: (4, 4), 0x13: (4, 4), 0x14: (12, 12), 0x15: (4, 0), 0x16: (4, 0), 0x17: (8, 8),
    0x18: (8, 0), 0x19: (0, 0), 0x1A: (32, 32), 0x1B: (40, 40), 0x1C: (0, 32),
}
NAMES = {
    0x00: "open", 0x01: "get_altitude", 0x02: "get_date", 0x03: "get_driver",
    0x04: "get_firmware", 0x05: "unhandled_05", 0x06: "get_latitude", 0x07: "get_longitude",
    0x08: "get_satinfo", 0x09: "get_time", 0x0A: "reset_firmware", 0x0B: "set_heartbeat",
    0x0C: "set_match_time", 0x0D: "unhandled_0d", 0x0E: "set_prop_delay", 0x0F: "set_time",
    0x10: "set_year", 0x11: "sim_event", 0x12: "synch_ctrl", 0x13: "synch_status",
    0x14: "wait_event", 0x15: "wait_heart", 0x16: "wait_match", 0x17: "peek", 0x18: "poke",
    0x19: "flush_fifo", 0x1A: "get_stamped_time", 0x1B: "next_event",
    0x1C: "get_event_counters",
}


def d_start(model=GPS, reference=0, second=None, shared=True):
    # second board: none, or a model on the first board's interrupt line or a line of its own
    machine = [model, reference] + ([0] if second is None else [1 if shared else 2, second])
    return machine + [1]  # no kernel service fails during start-up


def d_request(k, data=None, in_len=None, out_len=None, handle=0):
    i, o = LENGTHS[k]
    in_len = i if in_len is None else in_len
    out_len = o if out_len is None else out_len
    data = list(data or [0] * in_len)
    data = (data + [0] * in_len)[:in_len]
    return [0, handle, 0, k, in_len, out_len] + data


def d_raw_request(code, in_len, out_len, data=()):
    # chance byte >= 230: a code read whole as a u32 (method bits cleared by the target)
    return [0, 0, 255] + list(u32(code)) + [in_len, out_len] + (list(data) + [0] * in_len)[:in_len]


def d_advance(count, unit):
    return [6] + list(u16(count)) + [unit]  # units: 0 us, 1 ms, 2 s, 3 minutes


def d_event(sub=0, *rest, board=0):
    return [8, board, sub] + list(rest)


def d_cancel(sub, which=0):
    return [9, sub, which]


def d_faults(no_answer, bad_echo, slow, board=0):
    return [10, no_answer, bad_echo, slow, board]


def d_open(board=0):
    return [11, board]


def time_obj(load_select=0, seconds=30, minutes=15, hours=12, day=200):
    return bytes([load_select, 0, 0, 0]) + u32(0) + bytes([seconds, minutes, hours, 0]) + \
        u16(day) + u16(2008)


def match_obj(kind=0, micros=500_000, minutes=0, hours=12, day=365):
    return bytes([kind, 0, 0, 0]) + u32(micros) + bytes([minutes, hours]) + u16(day)


def driver_seeds():
    seeds = {}
    for k, name in NAMES.items():
        seeds[f"request_{name}"] = d_start() + d_request(k) + d_advance(10, 1) + [13]
    seeds["open_reply"] = d_start(0) + d_request(0x00) + [13]
    seeds["set_time_then_get"] = d_start() + d_request(0x0F, time_obj()) + d_request(0x09)
    seeds["set_time_alt_load"] = d_start(1) + d_request(0x0F, time_obj(1)) + d_request(0x09)
    seeds["heartbeat_wait"] = d_start() + d_request(0x0B, [1, 0xE5] + list(u16(0x0100)) + [0, 0]) + \
        d_request(0x15, u32(5000)) + d_advance(100, 1) + [13]
    seeds["heartbeat_square_wait"] = d_start() + d_request(0x0B, [0, 0xE7] + list(u16(0x1000)) + [0, 0]) + \
        d_request(0x15, u32(3000)) + d_advance(2, 2)
    seeds["match_wait"] = d_start() + d_request(0x0C, match_obj()) + d_request(0x16, u32(90_000_000)) + \
        d_advance(1, 3) + [13]
    seeds["match_stop_wait_timeout"] = d_start() + d_request(0x0C, match_obj(1, day=100)) + \
        d_request(0x16, u32(500)) + d_advance(1, 2)
    seeds["event_wait_strobe"] = d_start() + d_request(0x14, u32(10_000)) + d_event(0) + [13]
    seeds["event_wait_timeout"] = d_start() + d_request(0x14, u32(250)) + d_advance(300, 1) + [13]
    seeds["event_storm_then_waits"] = d_start() + d_event(1, 120) + d_request(0x14, u32(100)) + \
        d_request(0x14, u32(100)) + d_request(0x19) + d_request(0x14, u32(100)) + d_advance(1, 2)
    seeds["event_at_wait"] = d_start() + d_request(0x14, u32(5000)) + d_event(2) + list(u16(500)) + \
        d_advance(1, 2)
    seeds["sim_event_wait"] = d_start() + d_request(0x11) + d_request(0x14, u32(10)) + [13]
    seeds["wait_cancel_io"] = d_start() + d_request(0x14, u32(60_000)) + d_cancel(0) + [13]
    seeds["wait_close_handle"] = d_start() + d_request(0x15, u32(60_000)) + d_open() + \
        d_request(0x16, u32(60_000), handle=1) + d_cancel(1, 0) + [13]
    seeds["wait_thread_exit"] = d_start() + d_request(0x16, u32(60_000)) + d_cancel(2, 0) + [13]
    seeds["waits_twice"] = d_start() + d_request(0x15, u32(1000)) + d_request(0x15, u32(1000)) + \
        d_advance(2, 2)
    seeds["sync_ctrl_reference"] = d_start(GPS, 1) + d_request(0x12, u32(1)) + d_request(0x13) + \
        d_event(3, 0) + d_request(0x13) + d_request(0x12, u32(0))
    seeds["prop_delay_year"] = d_start() + d_request(0x0E, u32(4999)) + d_request(0x10, u32(2012)) + \
        d_request(0x09)
    seeds["peek_poke"] = d_start() + d_request(0x17, u16(4) + u16(0) + bytes(4)) + \
        d_request(0x18, u16(2) + u16(0xE9) + bytes(4)) + d_request(0x17, u16(0) + u16(0) + bytes(4)) + \
        d_request(0x17, u16(0x40) + u16(0) + bytes(4))
    seeds["queries_no_answer"] = d_start() + d_faults(1, 0, 0) + d_request(0x04) + d_request(0x06)
    seeds["queries_bad_echo"] = d_start() + d_faults(0, 1, 0) + d_request(0x02) + d_request(0x08)
    seeds["queries_slow_fifo"] = d_start() + d_faults(0, 0, 30) + d_request(0x07) + d_request(0x01)
    seeds["model_7000_gps_queries"] = d_start(0) + d_request(0x06) + d_request(0x08) + d_request(0x02)
    seeds["short_buffers"] = d_start() + d_request(0x09, in_len=16, out_len=4) + \
        d_request(0x14, in_len=4, out_len=12) + d_request(0x03, in_len=7, out_len=0)
    seeds["foreign_codes"] = d_start() + d_raw_request(0x00222000, 4, 4) + \
        d_raw_request(0x80812068, 0, 0) + d_raw_request(0x80811FFC, 8, 8)
    seeds["pool_fault_request"] = d_start() + [12, 1] + d_request(0x09) + [12, 2] + \
        d_request(0x14, u32(10)) + d_advance(20, 1)
    for point in range(6):
        seeds[f"load_fault_{point}"] = [GPS, 0, 0, 0, point, 0] + d_request(0x09)
    seeds["two_boards_shared_line"] = d_start(GPS, 0, 0) + d_open(1) + \
        d_request(0x14, u32(5000), handle=1) + d_request(0x14, u32(5000)) + d_event(0, board=1) + \
        d_event(0) + d_request(0x11, handle=1) + [13]
    seeds["two_boards_own_lines"] = d_start(GPS, 0, 3, shared=False) + d_open(1) + \
        d_request(0x0B, [1, 0xE5] + list(u16(0x0010)) + [0, 0], handle=1) + \
        d_request(0x15, u32(1000), handle=1) + d_event(1, 50, board=0) + d_advance(5, 1) + [13]
    return seeds


# ---- daemon protocol: 0x01 then a raw byte stream of frames ------------------------------

MAGIC = 0x54534856


def frame(kind, request_id, payload, thread=1, version=1, length=None):
    length = len(payload) if length is None else length
    return struct.pack("<IHHIII", MAGIC, version, kind, length, request_id, thread) + payload


def hello():
    return frame(1, 1, u32(4242))


def p_open(name="\\\\.\\VORNpci0", share=3, rid=2):
    encoded = name.encode("utf-16-le")
    return frame(2, rid, u16(share) + u16(len(name)) + encoded)


def p_control(k, data=b"", out_len=None, handle=4, rid=3, thread=1):
    i, o = LENGTHS[k]
    data = (bytes(data) + bytes(i))[:i]
    out_len = o if out_len is None else out_len
    payload = struct.pack("<QIII", handle, FIRST + 4 * k, len(data), out_len) + data
    return frame(3, rid, payload, thread)


def p_close(handle=4, rid=9):
    return frame(4, rid, struct.pack("<Q", handle))


# The simulate record's fields in wire order, as host/wire.cpp lists them: (name, struct code).
SIM_FIELDS = [
    ("board", "I"), ("action", "B"), ("reference", "B"), ("no_answer", "B"), ("bad_echo", "B"),
    ("count", "I"), ("day", "H"), ("hours", "B"), ("minutes", "B"), ("micros", "I"),
    ("alt", "I"), ("lat", "H"), ("lon", "H"), ("lat_min", "I"), ("lon_min", "I"), ("sats", "B"),
    ("slow", "I"), ("offset", "q"), ("ppb", "q"), ("interval", "I"),
]


def p_simulate(action, rid=5, **given):
    values = {name: 0 for name, _ in SIM_FIELDS} | {"count": 1, "day": 1, "action": action}
    unknown = set(given) - set(values)
    assert not unknown, unknown
    values |= given
    payload = struct.pack("<" + "".join(code for _, code in SIM_FIELDS),
                          *(values[name] for name, _ in SIM_FIELDS))
    return frame(5, rid, payload)


def p_inspect(board=0, rid=6):
    return frame(6, rid, u32(board))


def p_status(wait=0, count=0, bound=0, rid=7):
    return frame(7, rid, u32(wait) + u32(count) + u32(bound))


def p_subscribe(name="\\\\.\\VORNpci0", rid=30):
    return frame(8, rid, u16(len(name)) + name.encode("utf-16-le"))


# Subscription numbers count up across the process: the first one an input makes is 1 only
# when it is the first input run, so the takes also name the next few.
def p_next_event(subscription=1, timeout=0, most=1, rid=31):
    return frame(9, rid, u32(subscription) + u32(timeout) + u32(most))


def p_unsubscribe(subscription=1, rid=32):
    return frame(10, rid, u32(subscription))


def protocol_seeds():
    seeds = {
        "hello_only": hello(),
        "open_time_close": hello() + p_open() + p_control(0x09) + p_close(),
        "open_every_request": hello() + p_open() + b"".join(
            p_control(k, rid=10 + k) for k in LENGTHS if k not in (0x14, 0x15, 0x16, 0x1B)),
        "wait_event_then_strobe": hello() + p_open() + p_control(0x14, u32(60_000), thread=2) +
        p_simulate(1) + p_status(1, 1, 2),
        "wait_heart_left_pending": hello() + p_open() + p_control(0x15, u32(60_000), thread=3),
        "simulate_every_action": hello() + b"".join(
            [p_simulate(1), p_simulate(2, count=50), p_simulate(3, day=365, hours=12, minutes=1),
             p_simulate(4, reference=1), p_simulate(5, alt=1234567, lat=40, lon=250,
                                                    lat_min=123456, lon_min=654321, sats=9),
             p_simulate(6, no_answer=1, bad_echo=1, slow=5), p_simulate(7, offset=-1_500_000),
             p_simulate(8, ppb=250_000), p_simulate(9, count=5, interval=100),
             p_simulate(1, board=3)]),
        "inspect_boards": hello() + p_inspect(0) + p_inspect(1),
        "status_waits": hello() + p_status() + p_status(1, 2, 2) + p_status(2, 0, 2) + p_status(3),
        "request_before_hello": p_open(),
        "hello_twice": hello() + hello(),
        "unknown_type": hello() + frame(99, 4, b"abc"),
        "bad_magic": b"XXXX" + hello()[4:],
        "bad_version": hello() + frame(2, 2, b"", version=7),
        "too_long": hello() + frame(3, 3, b"", length=0x10000),
        "truncated": hello() + p_open()[:-3],
        "malformed_open": hello() + frame(2, 2, u16(0) + u16(200) + b"ab"),
        "bad_arguments": hello() + p_control(0x09, out_len=5000) + p_status(9) +
        frame(2, 2, u16(0) + u16(0)) + p_next_event(most=0) + p_next_event(most=257),
        "events_batched": hello() + p_subscribe() + p_simulate(9, count=20, interval=10) +
        b"".join(p_next_event(n, 0, most, rid=40 + 4 * n + most % 4)
                 for n in (1, 2, 3) for most in (256, 3)) +
        p_next_event(1, 5, 1) + p_unsubscribe(1),
        "busy_thread": hello() + p_open() + b"".join(
            p_control(0x14, u32(60_000), rid=20 + i, thread=5) for i in range(18)),
        "many_threads": hello() + p_open() + b"".join(
            p_control(0x13, rid=i, thread=100 + i) for i in range(66)),
        "foreign_handle": hello() + p_control(0x09, handle=77) + p_close(77),
        "open_missing_device": hello() + p_open("\\\\.\\VORNpci9") + p_open("\\Device\\Null"),
    }
    return {name: b"\x01" + data for name, data in seeds.items()}


def main():
    write("board_model_fuzzer", board_seeds())
    write("driver_dispatch_fuzzer", driver_seeds())
    write("vornhost_protocol_fuzzer", protocol_seeds())
    return 0


if __name__ == "__main__":
    sys.exit(main())
