#!/usr/bin/env python3
"""Writes the seed corpora: inputs a fuzzer would take long to find on its own."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
COMMANDS = [1, 5, 6, 7, 8, 9, 10, 16, 17, 18, 19, 24, 25, 29, 30, 33, 44, 47, 53]
WELL, FIELDS = 0x40, 0x04


def pick(cmd):
    return bytes([COMMANDS.index(cmd)])


def fields(port=3, position=250, offset=25, speed=2, options=0, pending=0, state=6, fmt=1):
    return struct.pack('<iiiiIIii', port, position, offset, speed, options, pending, state, fmt)


def write(target, name, data):
    d = os.path.join(HERE, 'corpus', target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), 'wb') as f:
        f.write(data)


def main_seeds():
    connect = pick(5) + bytes([WELL])
    for cmd in COMMANDS:
        write('fuzz_main', 'well_%d' % cmd, connect + pick(cmd) + bytes([WELL]))
        # The same command against a deck that goes silent after the connect.
        write('fuzz_main', 'silent_%d' % cmd, connect + pick(cmd) + bytes([0]))
    for pending in (1, 2, 4, 8, 0x18):
        write('fuzz_main', 'poll_%d' % pending,
              connect + pick(10) + bytes([WELL | FIELDS]) + fields(pending=pending))
    for speed in (-4, 4, 300, -300, 0x7FFFFFFF, -0x80000000):
        for cmd in (47, 53):
            write('fuzz_main', 'speed_%d_%d' % (cmd, speed),
                  connect + pick(cmd) + bytes([WELL | FIELDS]) + fields(speed=speed))
    write('fuzz_main', 'negative_cue',
          connect + pick(8) + bytes([WELL | FIELDS]) + fields(position=0, offset=50))
    write('fuzz_main', 'garbage_handle', pick(9) + bytes([0x08]) + struct.pack('<I', 0xDEADBEEF))
    write('fuzz_main', 'any_number', bytes([0xE0]) + struct.pack('<i', -1000) + bytes([0]))
    write('fuzz_main', 'null_context', pick(5) + bytes([0x01]))
    # Connect with the deck's replies from the input: two whole status halves.
    write('fuzz_main', 'scripted_connect', pick(5) + bytes([0]) + bytes([0xC5]) + bytes(5) +
          bytes([0xC5]) + bytes([0, 0, 0, 0x20, 0]))


def wire_seeds():
    base = bytes(b'01234512') + bytes([1]) + bytes(10) + struct.pack('<I', 0x0307) + \
        struct.pack('<i', 2) + bytes([1, 23, 45, 12, 3])
    # Open's status sense (two 5-byte replies), then a time read on video system 4.
    deck = bytes([5]) + bytes(5) + bytes([5]) + bytes(5) + bytes([2]) + \
        bytes([1, 0x0A]) + bytes([1, 0x01]) + bytes([9, 0xA2]) + b'00000500'
    write('fuzz_wire', 'time_system4', base + deck)
    write('fuzz_wire', 'parsers_only', base)
    write('fuzz_wire', 'status_index_past_9', bytes(19) + struct.pack('<I', 0xA00) + bytes(9))


main_seeds()
wire_seeds()
