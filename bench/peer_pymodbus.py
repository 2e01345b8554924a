#!/usr/bin/python3
"""The peer of the end-to-end benchmark: Debian's pymodbus 3.0 serial client
with the ASCII framer (8N1) doing the same holding-register reads as
sarn_e2e_bench against the same simulator (plcsim --pty --fill).

Prints one JSON line per repetition in the same form as sarn_e2e_bench.
Run with /usr/bin/python3, where Debian's python3-pymodbus lives.
"""
import argparse
import json
import resource
import sys
import time

from pymodbus.client import ModbusSerialClient
from pymodbus.framer.ascii_framer import ModbusAsciiFramer


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", required=True, help="pty served by plcsim --pty --fill")
    parser.add_argument("--regs", type=int, default=1, help="registers per read (1 to 125)")
    parser.add_argument("--count", type=int, default=1000, help="timed reads per repetition (0: set-up only)")
    parser.add_argument("--reps", type=int, default=1)
    parser.add_argument("--warmup", type=int, default=20)
    parser.add_argument("--pace-baud", type=int, default=0, help="the simulator's pacing, for the record only")
    args = parser.parse_args()

    client = ModbusSerialClient(port=args.port, framer=ModbusAsciiFramer, baudrate=9600, bytesize=8,
                                parity="N", stopbits=1, timeout=1, retries=0)
    if not client.connect():
        sys.exit(f"peer_pymodbus: cannot open {args.port}")

    failures = 0

    def read():
        nonlocal failures
        reply = client.read_holding_registers(0, args.regs, slave=1)
        if reply.isError() or reply.registers[-1] != args.regs:
            failures += 1

    for _ in range(args.warmup):
        read()
    for _ in range(args.reps if args.count else 0):
        each = []
        ru0 = resource.getrusage(resource.RUSAGE_THREAD)
        cpu0 = time.thread_time_ns()
        wall0 = last = time.monotonic_ns()
        for _ in range(args.count):
            read()
            now = time.monotonic_ns()
            each.append(now - last)
            last = now
        wall = time.monotonic_ns() - wall0
        cpu = time.thread_time_ns() - cpu0
        ru1 = resource.getrusage(resource.RUSAGE_THREAD)
        each.sort()
        n = args.count
        print(json.dumps({
            "client": "pymodbus", "regs": args.regs, "count": n, "pace_baud": args.pace_baud,
            "request_chars": 17, "reply_chars": 11 + 4 * args.regs,
            "wall_us": round(wall / n / 1e3, 3), "median_us": round(each[n // 2] / 1e3, 3),
            "cpu_us": round(cpu / n / 1e3, 3), "tps": round(n * 1e9 / wall, 1),
            "vcsw": round((ru1.ru_nvcsw - ru0.ru_nvcsw) / n, 2),
            "ivcsw": round((ru1.ru_nivcsw - ru0.ru_nivcsw) / n, 2), "failures": failures,
        }), flush=True)
    client.close()
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
