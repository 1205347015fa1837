#!/usr/bin/env python3
"""Writes the seed corpus of wagenklang_stream_fuzzer: streams of the simulator protocol as the
data server sends them (the replies to greeting and request, data packets with several ids),
behind the fuzzer's two bytes of window settings and piece size. The files are committed; run
this only to make them anew:  wagenklang/fuzz/make_seeds.py"""

import pathlib
import struct

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus" / "wagenklang_stream_fuzzer"

HELLO_REPLY, NEEDED_DATA_REPLY, CAB_VALUES = 0x0002, 0x0004, 0x000A
SPEED, TRACTIVE_FORCE, DATE_TIME = 1, 5, 50
MASTER, BRAKE_VALVE, DYN_BRAKE, AUX_BRAKE = 51, 52, 53, 54
TOGGLE1, DIRECTION, DOOR_SWITCH, FAN, DOOR_STATE = 60, 64, 67, 78, 86
BYTE_ARRAY, DOUBLE_HIGH, SKIPPED = 92, 105, 200

# The first byte: door type (bits 0-1: none, Bn, By, swing-plug), departure procedure (bits 2-3:
# none, TB0, SAT), bit 4 set: sound off.
DOORS_NONE, DOORS_BN, DOORS_BY, DOORS_SWING = 0, 1, 2, 3
NO_DEPARTURE, TB0, SAT = 0 << 2, 1 << 2, 2 << 2
SOUND_OFF = 1 << 4


def frame(payload):
    return struct.pack("<I", len(payload)) + payload


def reply(code, result=0):
    return frame(struct.pack(">HB", code, result))


def record(ident, value):
    if ident == DATE_TIME:
        return struct.pack("<Bd", ident, value)
    if ident == DOOR_STATE:
        return struct.pack("<Bi", ident, int(value))
    if ident == DOUBLE_HIGH:
        return struct.pack("<BI", ident, struct.unpack("<Q", struct.pack("<d", value))[0] >> 32)
    return struct.pack("<Bf", ident, value)


def values(*pairs):
    return frame(struct.pack(">H", CAB_VALUES) + b"".join(record(i, v) for i, v in pairs))


def block(data):
    return struct.pack("<BI", BYTE_ARRAY, len(data)) + data


def seed(settings, piece, *packets):
    return bytes([settings, piece]) + b"".join(packets)


GREETING = reply(HELLO_REPLY) + reply(NEEDED_DATA_REPLY) + reply(NEEDED_DATA_REPLY)

SEEDS = {
    "departure-tb0": seed(TB0, 0, GREETING, values((SPEED, 40.0)), values((SPEED, 34.9)), values((SPEED, 20.0))),
    "master-controller-bytewise": seed(
        NO_DEPARTURE, 1, GREETING,
        *[values((MASTER, float(n))) for n in (0, 1, 2, 3, 2, 1, 0, 3, 0)]),
    "brakes": seed(
        DOORS_BN | SAT, 3,
        *[values((BRAKE_VALVE, float(n)), (AUX_BRAKE, float(n % 3)), (DYN_BRAKE, float(n % 4)))
          for n in (2, 1, 3, 5, 8, 4, 9, 2)]),
    "doors-tb0": seed(
        DOORS_SWING | TB0, 7, GREETING,
        values((DOOR_SWITCH, 1.0)), values((SPEED, 40.0), (SPEED, 20.0)),
        values((DOOR_STATE, 1)), values((DOOR_STATE, 6), (DOOR_SWITCH, 2.0)), values((DOOR_STATE, 4)),
        values((DOOR_STATE, 7), (DOOR_SWITCH, 1.0))),
    "switches-sat-sound-off": seed(
        DOORS_BY | SAT | SOUND_OFF, 0,
        values((TOGGLE1, 1.0), (FAN, 1.0), (DIRECTION, 2.0), (DOOR_SWITCH, 1.0)),
        values((TOGGLE1, 0.0), (FAN, 0.0), (DIRECTION, 1.0), (DOOR_SWITCH, 0.0)),
        values((DIRECTION, 0.0))),
    # Every kind of record: the date's 8 bytes, a byte block, the high half of a double, an id
    # that is skipped, one that nobody requested; empty packets in between.
    "every-record": seed(
        TB0, 0, GREETING, frame(b""),
        values((DATE_TIME, 39568.5), (DOUBLE_HIGH, 1234.5), (SKIPPED, 0.0), (TRACTIVE_FORCE, 80.0)),
        frame(b""),
        frame(struct.pack(">H", CAB_VALUES) + block(b"\x01\x02\x03") + record(SPEED, 12.0)),
        # Another command, and a data packet whose tail is cut.
        frame(struct.pack(">HB", 0x0003, 0)), frame(struct.pack(">H", CAB_VALUES) + record(SPEED, 5.0) + b"\x32\x00")),
    # A packet larger than the buffer's first block, arriving in pieces.
    "large-block": seed(
        NO_DEPARTURE, 255, GREETING,
        frame(struct.pack(">H", CAB_VALUES) + block(bytes(range(256)) * 20) + record(MASTER, 1.0)),
        values((MASTER, 2.0))),
    # A prefix no packet can have: the stream is out of step, and what follows is not read.
    "out-of-step": seed(
        DOORS_BN | TB0, 0, GREETING, values((SPEED, 50.0)), b"\x00\x00\x00\x80", values((SPEED, 10.0))),
}


if __name__ == "__main__":
    CORPUS.mkdir(parents=True, exist_ok=True)
    for name, content in SEEDS.items():
        (CORPUS / name).write_bytes(content)
