#!/usr/bin/env python3
"""Renders a Home Assistant template with Jinja as Home Assistant's MQTT integration does:
value_json from the payload file, value from the third argument (a number) if given."""
import json
import sys

import jinja2

template, payload_file = sys.argv[1], sys.argv[2]
with open(payload_file, encoding="utf-8") as f:
    payload = f.read()
variables = {"value_json": json.loads(payload), "value": payload}
if len(sys.argv) > 3:
    variables["value"] = float(sys.argv[3])
print(jinja2.Environment().from_string(template).render(**variables))
