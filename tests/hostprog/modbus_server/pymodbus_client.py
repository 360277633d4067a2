#!/usr/bin/python3
"""Debian's pymodbus as a Modbus TCP client: HOST PORT UNIT, then one request per argument
("r:FIRST:COUNT" registers, "i:FIRST:COUNT" inputs, "w:ADDRESS:V[,V...]" a write), each
answered by one line: the values, "written", or "exception N"."""
import sys

from pymodbus.client import ModbusTcpClient

client = ModbusTcpClient(sys.argv[1], port=int(sys.argv[2]), timeout=3)
unit = int(sys.argv[3])
if not client.connect():
    sys.exit("no connection")
for ask in sys.argv[4:]:
    kind, first, rest = ask.split(":")
    if kind == "r":
        reply = client.read_holding_registers(int(first), int(rest), slave=unit)
    elif kind == "i":
        reply = client.read_discrete_inputs(int(first), int(rest), slave=unit)
    else:
        values = [int(v) for v in rest.split(",")]
        reply = client.write_registers(int(first), values, slave=unit)
    if reply.isError():
        print("exception", getattr(reply, "exception_code", "?"))
    elif kind == "r":
        print(*reply.registers)
    elif kind == "i":
        print(*[int(b) for b in reply.bits[: int(rest)]])
    else:
        print("written")
client.close()
