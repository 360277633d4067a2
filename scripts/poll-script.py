#!/usr/bin/python3
"""The plain script a plant engineer would write instead of kv830-host: the controller's 17
blocks over Modbus TCP with pymodbus, every value published as JSON over MQTT with paho, once
a second. compare-cpu.sh runs it beside kv830-host to compare their CPU per cycle.

usage: poll-script.py MODBUS_PORT MQTT_PORT CYCLES
"""
import json
import sys
import time

import paho.mqtt.client as mqtt
from pymodbus.client import ModbusTcpClient

# (first register or input, count, kind): the controller's address map in reading order.
BLOCKS = [(0, 3, "hr"), (3, 10, "hr"), (19, 34, "hr"), (61, 12, "hr"), (75, 64, "hr"),
          (139, 1, "hr"), (140, 1, "hr"), (141, 1, "hr"), (142, 24, "hr"), (166, 10, "hr"),
          (176, 38, "hr"), (214, 1, "hr"), (243, 1, "hr"), (244, 1, "hr"), (245, 1, "hr"),
          (246, 40, "hr"), (0, 81, "di")]


def main():
    modbus_port, mqtt_port, cycles = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
    client = ModbusTcpClient("127.0.0.1", port=modbus_port, timeout=1)
    if not client.connect():
        sys.exit("poll-script: no Modbus server on port %d" % modbus_port)
    broker = mqtt.Client(client_id="poll-script")
    broker.connect("127.0.0.1", mqtt_port, keepalive=30)
    broker.loop_start()
    start = time.monotonic()
    for cycle in range(cycles):
        values = {}
        for first, count, kind in BLOCKS:
            if kind == "hr":
                reply = client.read_holding_registers(first, count, slave=1)
                words = reply.registers
            else:
                reply = client.read_discrete_inputs(first, count, slave=1)
                words = [int(b) for b in reply.bits[:count]]
            for i, word in enumerate(words):
                values["%s%d" % (kind, first + i)] = word
        broker.publish("script/cycle", json.dumps({"number": cycle + 1, "values": values}), qos=1)
        time.sleep(max(0.0, start + cycle + 1 - time.monotonic()))
    broker.loop_stop()
    broker.disconnect()
    client.close()


if __name__ == "__main__":
    main()
