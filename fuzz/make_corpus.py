#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/.

The seeds are valid inputs of each target's input layout (see the comment at
the top of each fuzz_*.cpp): well-formed gate texts, initialization files and
reply frames, from which the fuzzer mutates. Usage: fuzz/make_corpus.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


# ---------------------------------------------------------------- gate texts
# mode: bit 0 hex base, bits 1-2 protocol (0 Modbus, 1 GTC), bit 7 LONGADDR
def gate(mode, data_type, count, text):
    return bytes([mode, data_type & 0xFF]) + struct.pack("<i", count) + text.encode()


write("fuzz_gate_address", "register", gate(0, 0, 1, "0140001"))
write("fuzz_gate_address", "register_bit", gate(0, 6, 1, "0140010F"))
write("fuzz_gate_address", "coils_block", gate(0, 6, 2000, "0100001"))
write("fuzz_gate_address", "hex_base", gate(1, 0, 125, "FF40010"))
write("fuzz_gate_address", "long_pair", gate(0x80, 4, 62, "0180004"))
write("fuzz_gate_address", "gtc_bits", gate(2, 6, 312, "0100200"))
write("fuzz_gate_address", "gtc_area", gate(2, 0, 42, "0130002"))
write("fuzz_gate_address", "gtc_inputs", gate(2, 6, 1000, "0111198"))

# ---------------------------------------------------------------- init files
# first byte: 0 SARNMD05.INT, 1 SARNMD5.INT, 2 SARNMD.INT, 3 SARNMD12.INT
write("fuzz_int_file", "complete",
      b"\x00BUS = MODBUS, HEX\nSWAP = YES\nFLOATSWAP = NO\nLONGADDR = NO\nRTSCTS = YES\nIFG = 20\n")
write("fuzz_int_file", "gtc_only", b"\x01BUS = GTC\n")
write("fuzz_int_file", "lower_crlf", b"\x02bus=modbus,hex\r\nswap   =   yes\r\nlongaddr=yes\r\nifg = 65537\r\n")
write("fuzz_int_file", "bad_lines", b"\x03  SWAP = YES\nSWAP = Y\n\nBUS = , HEX\nIFG = 0\n; comment\nFLOATSWAP=NONE\n")


# ---------------------------------------------------------------- replies
def lrc(body):
    return (-sum(body)) & 0xFF


def record(kind, payload, pieces=1, unit=0, lower=False, bad_lrc=False, cuts=(), delays=None):
    head = kind | (4 if lower else 0) | (8 if bad_lrc else 0) | ((pieces - 1) << 4) | (unit << 6)
    out = bytes([head, len(payload)]) + bytes(payload)
    for c in cuts:
        out += struct.pack("<H", c)
    out += bytes(delays if delays is not None else [0] * pieces)
    return out


# op: 0 SingleRead, 1 BlockRead, 2 SingleWrite, 3 BlockWrite; gate: index into kGates
def reply_case(op, gate_index, count=1, mode_bits=0, timeout=2, seed=0x11, records=()):
    mode = op | mode_bits
    head = bytes([mode, gate_index]) + struct.pack("<H", count - 1) + bytes([timeout - 1, seed])
    return head + b"".join(records)


# Single read of holding register 1 (gate 0): the reply carries 0xABCD.
write("fuzz_reply", "single_read", reply_case(0, 0, records=[record(2, [0x03, 0x02, 0xAB, 0xCD])]))
# The same reply as raw text, in three pieces with delays.
write("fuzz_reply", "single_read_pieces",
      reply_case(0, 0, records=[record(0, b":010302ABCD82\r\n", pieces=3, unit=1, cuts=(5, 7), delays=[2, 3, 4])]))
# No reply, then an exception, then a good one.
write("fuzz_reply", "retries",
      reply_case(0, 0, records=[record(3, []), record(2, [0x83, 0x02]), record(2, [0x03, 0x02, 0x12, 0x34])]))
# 32-bit integer with SWAP (gate 9, mode bit 3).
write("fuzz_reply", "long_swap",
      reply_case(0, 9, mode_bits=8, records=[record(2, [0x03, 0x04, 0x12, 0x34, 0xAB, 0xCD], lower=True)]))
# Block of three holding registers.
write("fuzz_reply", "block_read",
      reply_case(1, 0, count=3, records=[record(2, [0x03, 0x06, 0, 1, 0, 2, 0, 3])]))
# Single write of a register: the echo.
write("fuzz_reply", "single_write", reply_case(2, 0, records=[record(2, [0x06, 0, 0, 0x12, 0x34])]))
# Bit update (gate 2): the register read, then the write's echo.
write("fuzz_reply", "bit_update",
      reply_case(2, 2, records=[record(2, [0x03, 0x02, 0x00, 0x03]), record(2, [0x06, 0, 0, 0, 7])]))
# Block of ten coils: the echo.
write("fuzz_reply", "block_write", reply_case(3, 4, count=10, records=[record(2, [0x0F, 0, 0, 0, 10])]))
# GTC block of eight bits (gate 12, mode bit 2): 21 data bytes.
write("fuzz_reply", "gtc_block_read",
      reply_case(1, 12, count=8, mode_bits=4, records=[record(2, [0x02, 21] + [0] * 20 + [0x81])]))
# GTC block write of sixteen bits: reset and set passes.
write("fuzz_reply", "gtc_block_write",
      reply_case(3, 12, count=16, mode_bits=4,
                 records=[record(2, [0x0F, 0, 2, 0, 16]), record(2, [0x0F, 0, 1, 0, 16])]))
# A damaged frame followed by its good copy, then the reply to the retry
# with another value: the flush before the retry must discard the copy.
write("fuzz_reply", "stale_copy",
      reply_case(0, 0, records=[record(2, [0x03, 0x02, 0x11, 0x11], bad_lrc=True),
                                record(2, [0x03, 0x02, 0x22, 0x22])]))
