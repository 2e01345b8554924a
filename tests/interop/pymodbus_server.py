#!/usr/bin/python3
"""A Modbus ASCII controller served by pymodbus, for the interoperability tests.

pymodbus (3.0) serves a serial port that it opens by name, so two
pseudo-terminals are joined back to back here: pymodbus opens the terminal
side of the first, the driver under test opens the terminal side of the
second, and this script copies bytes between the two master sides. Both
terminal sides stay open here as well, so that neither master ever sees a
hang-up while the driver closes and reopens its end. The line is 8N1 with
pymodbus' defaults; a pseudo-terminal has no real framing anyway.

The first line on stdout is the path the driver opens. After it, one command
per line on stdin, one reply line on stdout ("ok ..." or "err ..."):

  get TABLE ADDR [COUNT]    values at Modbus addresses as on the wire (0-based)
  set TABLE ADDR V [V ...]  store values at Modbus addresses as on the wire
  raw TABLE ADDR [COUNT]    values at the data block's own addresses
  fill TABLE VALUE          every cell of the table
  f32 TABLE ADDR ORDER      the 32-bit float in two registers from ADDR, as
                            pymodbus' payload decoder reads it; ORDER is the
                            word order, big (high word first) or little
  i32 TABLE ADDR ORDER      the same for a signed 32-bit integer
  setf32 / seti32 TABLE ADDR ORDER VALUE
                            two registers from pymodbus' payload builder
  disable FC / enable FC    make the server forget / relearn a function code
  requests                  complete request frames received since the last
                            'clear', as a count
  clear                     forget the frames received
  quit

TABLE is co (coils), di (discrete inputs), hr (holding registers) or ir
(input registers). Values are decimal.

Address convention of pymodbus 3.0: with the default zero_mode=False the
slave context adds 1 to every address from the wire before it looks into a
data block, so the blocks are made to start at address 1 and hold SIZE
values: wire addresses 0 to SIZE-1 are in the store, SIZE and above are
answered with exception 2 (illegal data address). 'get'/'set' go through
the same context methods as the requests do; 'raw' shows the block's own
numbering.
"""

import argparse
import asyncio
import logging
import os
import sys
import tty

from pymodbus.constants import Endian
from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.payload import BinaryPayloadBuilder, BinaryPayloadDecoder
from pymodbus.server import StartAsyncSerialServer
from pymodbus.transaction import ModbusAsciiFramer

# Read function code of each table: ModbusSlaveContext picks the block by it.
TABLE_FUNCTION = {"co": 1, "di": 2, "hr": 3, "ir": 4}
# Data block keys of ModbusSlaveContext.store.
TABLE_STORE = {"co": "c", "di": "d", "hr": "h", "ir": "i"}


class Bridge:
    """Copies bytes between two pty masters; counts the driver's frames."""

    def __init__(self, loop, server_master, driver_master):
        self.loop = loop
        self.server_master = server_master
        self.driver_master = driver_master
        self.frames = 0
        for fd in (server_master, driver_master):
            os.set_blocking(fd, False)
        loop.add_reader(driver_master, self._forward, driver_master, server_master, True)
        loop.add_reader(server_master, self._forward, server_master, driver_master, False)

    def _forward(self, source, target, from_driver):
        try:
            data = os.read(source, 4096)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            return
        if from_driver:
            self.frames += data.count(b"\n")
        while data:
            try:
                written = os.write(target, data)
                data = data[written:]
            except (BlockingIOError, InterruptedError):
                os.sched_yield()


WORD_ORDER = {"big": Endian.Big, "little": Endian.Little}


def parse_table(word):
    if word not in TABLE_FUNCTION:
        raise ValueError(f"unknown table {word}")
    return word


class Controller:
    """The command interpreter on stdin/stdout."""

    def __init__(self, loop, context, server, bridge, size, stopped):
        self.loop = loop
        self.context = context
        self.server = server
        self.bridge = bridge
        self.size = size
        self.stopped = stopped
        self.disabled = {}
        self.pending = b""
        loop.add_reader(sys.stdin.fileno(), self._on_input)

    def _lookup(self):
        # ServerDecoder keeps its function table in a private attribute.
        return self.server.decoder._ServerDecoder__lookup  # pylint: disable=protected-access

    def _on_input(self):
        data = os.read(sys.stdin.fileno(), 65536)
        if not data:
            self.stopped.set()
            return
        self.pending += data
        while b"\n" in self.pending:
            line, self.pending = self.pending.split(b"\n", 1)
            try:
                reply = self.execute(line.decode().split())
            except Exception as exc:  # pylint: disable=broad-except
                reply = f"err {exc}"
            sys.stdout.write(reply + "\n")
            sys.stdout.flush()

    def execute(self, words):
        if not words:
            return "err empty command"
        command, args = words[0], words[1:]
        if command == "get":
            table = parse_table(args[0])
            count = int(args[2]) if len(args) > 2 else 1
            values = self.context.getValues(TABLE_FUNCTION[table], int(args[1]), count)
            return "ok " + " ".join(str(int(v)) for v in values)
        if command == "set":
            table = parse_table(args[0])
            address = int(args[1])
            values = [int(v) for v in args[2:]]
            if table in ("co", "di"):
                values = [bool(v) for v in values]
            if not self.context.validate(TABLE_FUNCTION[table], address, len(values)):
                return "err outside the store"
            self.context.setValues(TABLE_FUNCTION[table], address, values)
            return "ok"
        if command == "raw":
            block = self.context.store[TABLE_STORE[parse_table(args[0])]]
            address = int(args[1])
            count = int(args[2]) if len(args) > 2 else 1
            if not block.validate(address, count):
                return "err outside the block"
            return "ok " + " ".join(str(int(v)) for v in block.getValues(address, count))
        if command == "fill":
            table = parse_table(args[0])
            value = int(args[1])
            values = [bool(value)] * self.size if table in ("co", "di") else [value] * self.size
            self.context.setValues(TABLE_FUNCTION[table], 0, values)
            return "ok"
        if command in ("f32", "i32"):
            table = parse_table(args[0])
            registers = self.context.getValues(TABLE_FUNCTION[table], int(args[1]), 2)
            decoder = BinaryPayloadDecoder.fromRegisters(registers, byteorder=Endian.Big,
                                                         wordorder=WORD_ORDER[args[2]])
            if command == "f32":
                return f"ok {decoder.decode_32bit_float()!r}"
            return f"ok {decoder.decode_32bit_int()}"
        if command in ("setf32", "seti32"):
            table = parse_table(args[0])
            builder = BinaryPayloadBuilder(byteorder=Endian.Big, wordorder=WORD_ORDER[args[2]])
            if command == "setf32":
                builder.add_32bit_float(float(args[3]))
            else:
                builder.add_32bit_int(int(args[3]))
            self.context.setValues(TABLE_FUNCTION[table], int(args[1]), builder.to_registers())
            return "ok"
        if command == "disable":
            code = int(args[0])
            lookup = self._lookup()
            if code in lookup:
                self.disabled[code] = lookup.pop(code)
            return "ok"
        if command == "enable":
            code = int(args[0])
            if code in self.disabled:
                self._lookup()[code] = self.disabled.pop(code)
            return "ok"
        if command == "requests":
            return f"ok {self.bridge.frames}"
        if command == "clear":
            self.bridge.frames = 0
            return "ok"
        if command == "quit":
            self.stopped.set()
            return "ok"
        return f"err unknown command {command}"


async def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=4000, help="values in each table")
    parser.add_argument("--verbose", action="store_true", help="show pymodbus' own log on stderr")
    options = parser.parse_args()
    # pymodbus logs every exception reply it sends as an error; the tests
    # provoke those on purpose.
    logging.getLogger("pymodbus").setLevel(logging.DEBUG if options.verbose else logging.CRITICAL)

    server_master, server_slave = os.openpty()
    driver_master, driver_slave = os.openpty()
    for fd in (server_slave, driver_slave):
        tty.setraw(fd)
    server_path = os.ttyname(server_slave)
    driver_path = os.ttyname(driver_slave)

    blocks = {name: ModbusSequentialDataBlock(1, [0] * options.size) for name in ("di", "co", "hr", "ir")}
    slave = ModbusSlaveContext(**blocks)
    context = ModbusServerContext(slaves=slave, single=True)
    server = await StartAsyncSerialServer(context=context, framer=ModbusAsciiFramer, port=server_path,
                                          baudrate=9600, bytesize=8, parity="N", stopbits=1,
                                          defer_start=True)
    await server.start()
    if server.transport is None:
        print(f"err cannot open {server_path}", flush=True)
        return 1

    loop = asyncio.get_running_loop()
    stopped = asyncio.Event()
    bridge = Bridge(loop, server_master, driver_master)
    Controller(loop, slave, server, bridge, options.size, stopped)
    print(driver_path, flush=True)
    await stopped.wait()
    await server.shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
