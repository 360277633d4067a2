#!/usr/bin/env python3
"""Renders discovery components' templates with Jinja as Home Assistant does: argv is the
discovery and snapshot files, then component ids; prints each state and, for a number,
the write command that setting it to that state publishes, one line each."""
import json
import sys

import jinja2

discovery, snapshot = (json.load(open(f, encoding="utf-8")) for f in sys.argv[1:3])
for c in (discovery["cmps"][cid] for cid in sys.argv[3:]):
    state = jinja2.Template(c["value_template"]).render(value_json=snapshot)
    print(state, jinja2.Template(c.get("command_template", "")).render(value=float(state)))
