// The plant page: one card per plant unit, built once from signals.json and updated in
// place from /api/snapshot after every completed cycle (Server-Sent Events, or polling
// of /api/status when the event stream is not available). No request leaves the program.
// The snapshot carries register counts; the device's signal model (/api/signals) turns
// them into values with their unit, flags what lies outside its range and bounds writes.
"use strict";

(function () {
  const STALE_AFTER_S = 61;  // the device's own staleness limit
  const POLL_MS = 500;
  const STATUS_EVERY_MS = 5000;
  const started = performance.now();

  const $ = (id) => document.getElementById(id);
  const el = (tag, cls, text) => {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  };

  // What a two-state signal shows for 0 and 1, and whether 1 needs attention.
  const LOOKS = {
    alarm: { off: "OK", on: "FAULT", onCls: "bad", offCls: "quiet" },
    run: { off: "STOP", on: "RUN", onCls: "good", offCls: "off" },
    auto: { off: "MANUAL", on: "AUTO", onCls: "info", offCls: "warn" },
    remote: { off: "LOCAL", on: "REMOTE", onCls: "info", offCls: "warn" },
    "": { off: "OFF", on: "ON", onCls: "good", offCls: "off" },
  };
  const FLASH = [{ color: "#4cc2ff" }, { color: "inherit" }];
  const KIND_GROUPS = { bit: "Status bits", input: "Inputs", enum: "States", value: "Values" };

  const state = {
    signals: [],
    byName: new Map(),  // name -> {meta, node, valueNode, last}
    model: {},  // name -> scaling and range of a value signal, for the device shown
    lastSnap: null,
    dataId: 1,
    devices: [],
    clockOffset: 0,  // server clock minus ours
    lastCompleted: 0,
    lastCycle: -1,
    writesEnabled: false,
    es: null,
    pollTimer: 0,
    fetching: false,
    again: false,
    firstDraw: false,
  };
  // Figures for the tests and for anyone curious: first draw, events, snapshots, trends.
  window.kv830 = { state, stats: { events: 0, snapshots: 0 } };

  // JSON from the server. A refusal comes as a line of text (or {"error": ...}) and
  // becomes the error's message; a write's outcome is JSON whatever its status.
  function getJson(url, options) {
    return fetch(url, Object.assign({ cache: "no-store" }, options || {})).then((r) =>
      r.text().then((t) => {
        let body = null;
        try {
          body = t ? JSON.parse(t) : null;
        } catch (e) {
          body = null;
        }
        if (!r.ok && !(body && body.outcome)) {
          const why = body && body.error ? body.error : t.trim() || r.status + " " + r.statusText;
          throw new Error(why);
        }
        if (body === null) throw new Error("not JSON");
        return body;
      }));
  }

  // ---- values in units ---------------------------------------------------------------
  // A millionth of a count of slack, as the gateway's write rule has: 0.1 * 3 is 0.3.
  const RANGE_SLACK = 1e-6;

  function engineering(m, v) {
    const counts = m.signed && v > 32767 ? v - 65536 : v;
    return counts * m.scale + m.offset;
  }

  function numberText(x, decimals) {
    const t = x.toFixed(decimals);
    return /^-[0.]*$/.test(t) ? t.slice(1) : t;  // never "-0.0"
  }

  function withUnit(m, text) {
    return m.unit_of_measurement ? text + " " + m.unit_of_measurement : text;
  }

  function inRange(m, x) {
    const slack = Math.abs(m.scale) * RANGE_SLACK;
    return x >= m.min - slack && x <= m.max + slack;
  }

  function rangeText(m) {
    return numberText(m.min, m.decimals) + " to " + withUnit(m, numberText(m.max, m.decimals));
  }

  function showValue(item, v) {
    const m = state.model[item.meta.name];
    const node = item.valueNode;
    if (!m || typeof v !== "number") {
      node.textContent = String(v);
      node.classList.remove("out");
      node.title = "";
      return;
    }
    const x = engineering(m, v);
    const out = !inRange(m, x);
    node.textContent = withUnit(m, numberText(x, m.decimals));
    node.classList.toggle("out", out);
    node.title = (out ? "outside " + rangeText(m) + "; " : "") + v + " counts";
  }

  function boundInput(input, m) {
    input.min = String(m.min);
    input.max = String(m.max);
    input.step = String(Math.pow(10, -m.decimals));
    input.title = rangeText(m);
    input.placeholder = m.unit_of_measurement;
  }

  // The model of the device shown: the write forms take its units and range.
  function loadModel() {
    return getJson("/api/signals?data_id=" + state.dataId).then((doc) => {
      state.model = (doc && doc.signals) || {};
      for (const item of state.byName.values()) {
        const m = state.model[item.meta.name];
        const input = item.node.querySelector && item.node.querySelector("form.w input");
        if (input && m) boundInput(input, m);
        item.last = undefined;
      }
      if (state.lastSnap) showSnapshot(state.lastSnap);
    }).catch(() => {
      state.model = {};  // counts, as the snapshot has them
    });
  }

  // ---- building the cards -------------------------------------------------------------
  function buildCards(meta) {
    state.signals = meta.signals;
    const groups = new Map();
    const hasUnits = meta.signals.some((s) => s.unit);
    const ordered = hasUnits
      ? meta.signals.slice().sort((a, b) => (a.unit_order || 0) - (b.unit_order || 0))
      : meta.signals;
    for (const s of ordered) {
      const g = hasUnits ? s.unit || "Other" : KIND_GROUPS[s.kind] || "Values";
      if (!groups.has(g)) groups.set(g, []);
      groups.get(g).push(s);
    }
    const main = $("units");
    main.textContent = "";
    for (const [name, rows] of groups) {
      const card = el("section", "unit");
      card.dataset.unit = name;
      card.appendChild(el("h2", "", name));
      const chips = el("div", "chips");
      const table = el("table", "vals");
      const body = el("tbody");
      for (const s of rows) {
        if (s.kind === "value") {
          body.appendChild(valueRow(s));
        } else {
          chips.appendChild(chip(s));
        }
      }
      if (chips.childNodes.length) card.appendChild(chips);
      if (body.childNodes.length) {
        table.appendChild(body);
        card.appendChild(table);
      }
      main.appendChild(card);
    }
  }

  function chip(s) {
    const c = el("span", "chip");
    c.dataset.signal = s.name;
    c.dataset.kind = s.kind;
    c.appendChild(el("i", "dot"));
    c.appendChild(el("span", "nm", s.name));
    const v = el("b", "st", "—");
    c.appendChild(v);
    c.title = s.name + (s.kind === "input" ? " (input " : " (register ") + s.source +
      (s.bit !== undefined ? " bit " + s.bit : "") + ")";
    state.byName.set(s.name, { meta: s, node: c, valueNode: v, last: undefined });
    return c;
  }

  function valueRow(s) {
    const tr = el("tr");
    tr.dataset.signal = s.name;
    tr.dataset.kind = s.kind;
    const name = el("th", "", s.name);
    name.scope = "row";
    const val = el("td", "v", "—");
    const act = el("td", "act");
    const trend = el("button", "tr", "trend");
    trend.type = "button";
    trend.title = "trend of " + s.name;
    trend.addEventListener("click", () => openTrend(s.name));
    act.appendChild(trend);
    tr.appendChild(name);
    tr.appendChild(val);
    tr.appendChild(act);
    if (s.setting) {
      tr.classList.add("setting");
      const form = el("form", "w");
      form.hidden = true;
      form.noValidate = true;  // the page's own check says why, in the setting's unit
      const input = el("input");
      input.type = "number";
      input.min = "0";
      input.max = "65535";
      input.step = "any";
      input.required = true;
      input.setAttribute("aria-label", "new value of " + s.name);
      if (state.model[s.name]) boundInput(input, state.model[s.name]);
      const btn = el("button", "", "set");
      btn.type = "submit";
      const out = el("output", "outcome");
      form.appendChild(input);
      form.appendChild(btn);
      form.appendChild(out);
      form.addEventListener("submit", (ev) => {
        ev.preventDefault();
        submitWrite(s, input, out);
      });
      act.appendChild(form);
    }
    state.byName.set(s.name, { meta: s, node: tr, valueNode: val, last: undefined });
    return tr;
  }

  // ---- live values --------------------------------------------------------------------
  function showSnapshot(snap) {
    window.kv830.stats.snapshots++;
    state.lastSnap = snap;
    const alarms = [];
    for (const [name, item] of state.byName) {
      const v = snap[name];
      if (v === undefined) continue;
      const s = item.meta;
      if (s.look === "alarm" && isOn(s, v)) alarms.push(name);
      if (item.last === v) continue;
      item.last = v;
      item.node.dataset.value = String(v);
      if (s.kind === "value") {
        showValue(item, v);
        // A short highlight of what changed, without forcing a layout per value.
        if (item.valueNode.animate) item.valueNode.animate(FLASH, 1200);
      } else {
        showChip(item, s, v);
      }
    }
    showAlarms(alarms);
    const t = snap[state.signalsUpdateKey || "更新时间"];
    if (t !== undefined) $("ctime").textContent = paddedTime(String(t));
    if (!state.firstDraw) {
      state.firstDraw = true;
      window.kv830.stats.firstDrawMs = performance.now() - started;
    }
  }

  function isOn(s, v) {
    if (s.kind === "enum") return v === (s.texts || [])[1];
    return Number(v) === 1;
  }

  function showChip(item, s, v) {
    const look = LOOKS[s.look] || LOOKS[""];
    const c = item.node;
    c.classList.remove("good", "bad", "info", "warn", "off", "quiet", "invalid");
    if (s.kind === "enum") {
      item.valueNode.textContent = String(v);
      if (v === s.invalid) c.classList.add("invalid");
      else c.classList.add(isOn(s, v) ? (s.look === "alarm" ? "bad" : "good") : "quiet");
      return;
    }
    const on = Number(v) === 1;
    item.valueNode.textContent = on ? look.on : look.off;
    c.classList.add(on ? look.onCls : look.offCls);
  }

  function showAlarms(names) {
    const box = $("alarms");
    box.textContent = "";
    box.classList.toggle("active", names.length > 0);
    if (!names.length) {
      box.appendChild(el("span", "ok", "No active faults or alarms"));
      return;
    }
    box.appendChild(el("b", "", names.length + (names.length === 1 ? " active fault: " : " active faults: ")));
    for (const n of names) box.appendChild(el("span", "alarm", n));
  }

  // ---- freshness ----------------------------------------------------------------------
  function device() {
    return state.devices.find((d) => d.data_id === state.dataId) || null;
  }

  function showStatus(st) {
    state.clockOffset = (st.now_unix_ms || Date.now()) - Date.now();
    state.devices = st.devices || [];
    state.writesEnabled = !!st.writes_enabled;
    const pick = $("device");
    if (state.devices.length > 1 && pick.options.length !== state.devices.length) {
      pick.textContent = "";
      for (const d of state.devices) {
        const o = el("option", "", "data id " + d.data_id);
        o.value = String(d.data_id);
        pick.appendChild(o);
      }
      pick.value = String(state.dataId);
      $("device-pick").hidden = false;
    }
    const d = device();
    if (d) {
      state.lastCompleted = d.last_completed_unix_ms || 0;
      // Totals since the start where the server keeps them, and the latest cycle's share.
      const answered = d.requests_answered !== undefined ? d.requests_answered : d.answered;
      const failed = d.requests_failed !== undefined ? d.requests_failed : d.failed;
      $("link").textContent = "link: " + answered + " answered · " + failed + " failed · " +
        (d.retries !== undefined ? d.retries + " retries · " : "") + d.reopens + " reopens" +
        " (last cycle " + d.answered + "/" + (d.answered + d.failed) + ")" +
        (d.link_up === false ? " · LINK DOWN" : "") + (d.from_history ? " · from history" : "");
      $("link").classList.toggle("bad", d.failed > 0 || d.link_up === false);
    }
    $("writes").hidden = !state.writesEnabled;
    for (const f of document.querySelectorAll("form.w")) f.hidden = !state.writesEnabled;
    showAge();
  }

  function showAge() {
    const d = device();
    const pill = $("state");
    if (!d || !state.lastCompleted) {
      pill.textContent = d ? "no data yet" : "connecting";
      pill.className = "pill wait";
      $("last").textContent = "—";
      $("age").textContent = "";
      setStale(!!d, d ? "no cycle has completed yet" : "");
      return;
    }
    const now = Date.now() + state.clockOffset;
    const age = Math.max(0, (now - state.lastCompleted) / 1000);
    $("last").textContent = localTime(state.lastCompleted);
    $("age").textContent = "(" + ageText(age) + " ago)";
    // The age on the server's clock decides, whatever the server's own health limits are.
    const stale = age > STALE_AFTER_S;
    pill.textContent = stale ? "STALE" : "LIVE";
    pill.className = "pill " + (stale ? "bad" : "good");
    setStale(stale, "no completed cycle for " + ageText(age) + "; the values below are old");
  }

  function setStale(on, text) {
    document.body.classList.toggle("is-stale", on);
    $("stale").hidden = !on;
    $("stale-text").textContent = text;
  }

  function localTime(ms) {
    const d = new Date(ms);
    return d.getFullYear() + "-" + pad2(d.getMonth() + 1) + "-" + pad2(d.getDate()) + " " +
      pad2(d.getHours()) + ":" + pad2(d.getMinutes()) + ":" + pad2(d.getSeconds());
  }

  // The device writes its time unpadded ("2026-12-8 9:05:0"): shown in the form of the
  // last cycle's time beside it, so that the header has one date format.
  function paddedTime(text) {
    const m = /^(\d{4})-(\d{1,2})-(\d{1,2}) (\d{1,2}):(\d{1,2}):(\d{1,2})$/.exec(text);
    if (!m) return text;
    return m[1] + "-" + pad2(+m[2]) + "-" + pad2(+m[3]) + " " + pad2(+m[4]) + ":" +
      pad2(+m[5]) + ":" + pad2(+m[6]);
  }

  function ageText(s) {
    if (s < 90) return Math.round(s) + " s";
    if (s < 5400) return Math.round(s / 60) + " min";
    if (s < 172800) return (s / 3600).toFixed(1) + " h";
    return (s / 86400).toFixed(1) + " d";
  }

  // ---- updates ------------------------------------------------------------------------
  // One refresh at a time; a cycle that arrives meanwhile asks for one more.
  function refresh(withSnapshot) {
    if (state.fetching) {
      state.again = state.again || withSnapshot;
      return;
    }
    state.fetching = true;
    const jobs = [getJson("/api/status").then(showStatus)];
    if (withSnapshot) {
      jobs.push(getJson("/api/snapshot?data_id=" + state.dataId).then(showSnapshot));
    }
    Promise.all(jobs).catch((e) => {
      $("state").textContent = "server: " + e.message;
      $("state").className = "pill bad";
    }).finally(() => {
      state.fetching = false;
      if (state.again) {
        state.again = false;
        refresh(true);
      }
    });
  }

  function listen() {
    if (!window.EventSource) {
      poll();
      return;
    }
    // The event carries the snapshot itself: one round trip less per cycle.
    const es = new EventSource("/api/events?snapshot=1&data_id=" + state.dataId);
    state.es = es;
    es.addEventListener("cycle", (ev) => {
      let c = null;
      try {
        c = JSON.parse(ev.data);
      } catch (e) {
        return;
      }
      if (c.data_id !== undefined && c.data_id !== state.dataId) return;
      window.kv830.stats.events++;
      if (c.completed && c.snapshot && typeof c.snapshot === "object") {
        showSnapshot(c.snapshot);
        refresh(false);
      } else {
        refresh(!!c.completed);
      }
    });
    es.onopen = () => {
      stopPolling();
      refresh(true);
    };
    es.onerror = () => {
      // A closed stream is not reopened by the browser; a reconnecting one may take a
      // while. Either way the page keeps up by polling meanwhile.
      poll();
    };
  }

  function poll() {
    if (state.pollTimer) return;
    state.pollTimer = setInterval(() => {
      if (state.es && state.es.readyState === 1) {
        stopPolling();
        return;
      }
      getJson("/api/status").then((st) => {
        showStatus(st);
        const d = device();
        const cycle = d ? d.cycle : -1;
        if (cycle !== state.lastCycle) {
          state.lastCycle = cycle;
          refresh(true);
        }
      }).catch(() => {
        $("state").textContent = "server unreachable";
        $("state").className = "pill bad";
      });
    }, POLL_MS);
  }

  function stopPolling() {
    if (state.pollTimer) clearInterval(state.pollTimer);
    state.pollTimer = 0;
  }

  // ---- writes -------------------------------------------------------------------------
  function submitWrite(s, input, out) {
    const token = $("token").value.trim();
    sessionStorage.setItem("kv830-token", token);
    const m = state.model[s.name];
    const value = m ? countsOf(m, input.value, out) : wholeCounts(input.value, out);
    out.className = "outcome";
    if (value === null) {
      out.classList.add("bad");
      return;
    }
    if (!token) {
      out.textContent = "enter the write token first";
      out.classList.add("bad");
      return;
    }
    out.textContent = "sending…";
    getJson("/api/write", {
      method: "POST",
      headers: { "Content-Type": "application/json", Authorization: "Bearer " + token },
      body: JSON.stringify({ data_id: state.dataId, register: s.source, values: [value] }),
    }).then((r) => {
      out.textContent = r.outcome + (r.reason ? ": " + r.reason : "");
      out.classList.add(r.outcome === "confirmed" ? "good" : "bad");
    }).catch((e) => {
      out.textContent = "refused: " + e.message;
      out.classList.add("bad");
    });
  }

  // The counts a value in the setting's unit is written as, or null with the refusal in
  // `out`: the controller is sent nothing outside the setting's range.
  function countsOf(m, text, out) {
    const x = Number(text);
    if (text.trim() === "" || !Number.isFinite(x)) {
      out.textContent = "a number in " + (m.unit_of_measurement || "the setting's unit");
      return null;
    }
    if (!inRange(m, x)) {
      out.textContent = "refused: " + withUnit(m, numberText(x, m.decimals)) + " is outside " +
        rangeText(m);
      return null;
    }
    const counts = Math.round((x - m.offset) / m.scale);
    const lo = m.signed ? -32768 : 0;
    const hi = m.signed ? 32767 : 65535;
    if (counts < lo || counts > hi) {
      out.textContent = "refused: does not fit the register";
      return null;
    }
    return counts < 0 ? counts + 65536 : counts;
  }

  function wholeCounts(text, out) {
    const value = Number(text);
    if (!Number.isInteger(value) || value < 0 || value > 65535) {
      out.textContent = "a whole number from 0 to 65535";
      return null;
    }
    return value;
  }

  // ---- trends -------------------------------------------------------------------------
  const trend = { name: "", range: 3600, seq: 0 };

  function openTrend(name) {
    trend.name = name;
    const m = state.model[name];
    $("trend-name").textContent = name + (m && m.unit_of_measurement ? " [" + m.unit_of_measurement + "]" : "");
    $("trend").hidden = false;
    loadTrend(trend.range);
  }

  function loadTrend(range) {
    trend.range = range;
    for (const b of document.querySelectorAll(".ranges button")) {
      b.classList.toggle("on", Number(b.dataset.range) === range);
    }
    const canvas = $("trend-canvas");
    const width = Math.max(200, Math.round(canvas.clientWidth || 800));
    const to = Date.now() + state.clockOffset;
    const from = to - range * 1000;
    const seq = ++trend.seq;
    const t0 = performance.now();
    $("trend-note").textContent = "loading…";
    // Times in unix seconds, to the millisecond.
    const url = "/api/history?signal=" + encodeURIComponent(trend.name) + "&from=" + (from / 1000).toFixed(3) +
      "&to=" + (to / 1000).toFixed(3) + "&points=" + width + "&data_id=" + state.dataId;
    getJson(url).then((h) => {
      if (seq !== trend.seq) return;
      const t1 = performance.now();
      const m = state.model[trend.name];
      const pts = (Array.isArray(h.points) ? h.points : []).map((p) => scaledPoint(m, p));
      drawTrend(canvas, pts, from, to, m ? m.unit_of_measurement : "");
      const t2 = performance.now();
      const st = { points: pts.length, fetchMs: t1 - t0, drawMs: t2 - t1, totalMs: t2 - t0, signal: trend.name };
      window.kv830.stats.trend = st;
      $("trend-note").textContent = pts.length + " points · loaded in " + Math.round(st.fetchMs) +
        " ms, drawn in " + Math.round(st.drawMs) + " ms" + (pts.length ? "" : " · no history in this window");
    }).catch((e) => {
      if (seq !== trend.seq) return;
      drawTrend(canvas, [], from, to, "");
      $("trend-note").textContent = "history: " + e.message;
      window.kv830.stats.trend = { error: e.message };
    });
  }

  // A bucket's counts in the signal's unit; a negative scale turns minimum and maximum.
  function scaledPoint(m, p) {
    if (!m) return p;
    const a = engineering(m, p[1]);
    const b = engineering(m, p[2]);
    return [p[0], Math.min(a, b), Math.max(a, b)];
  }

  // Each point is [time ms, minimum, maximum] of its bucket: the band keeps spikes.
  function drawTrend(canvas, pts, from, to, unit) {
    const dpr = window.devicePixelRatio || 1;
    const w = canvas.clientWidth || 800;
    const h = canvas.clientHeight || 300;
    canvas.width = Math.round(w * dpr);
    canvas.height = Math.round(h * dpr);
    const g = canvas.getContext("2d");
    g.setTransform(dpr, 0, 0, dpr, 0, 0);
    g.clearRect(0, 0, w, h);
    const css = getComputedStyle(document.body);
    const fg = css.getPropertyValue("--fg").trim() || "#ddd";
    const grid = css.getPropertyValue("--line").trim() || "#444";
    const accent = css.getPropertyValue("--accent").trim() || "#4af";
    const left = 64, right = 12, top = unit ? 24 : 12, bottom = 28;
    const pw = w - left - right, ph = h - top - bottom;
    let lo = Infinity, hi = -Infinity;
    for (const p of pts) {
      if (p[1] < lo) lo = p[1];
      if (p[2] > hi) hi = p[2];
    }
    if (!pts.length) {
      lo = 0;
      hi = 1;
    }
    if (hi === lo) {
      hi += 1;
      lo -= 1;
    }
    const pad = (hi - lo) * 0.05;
    lo -= pad;
    hi += pad;
    const x = (t) => left + ((t - from) / (to - from)) * pw;
    const y = (v) => top + (1 - (v - lo) / (hi - lo)) * ph;
    g.font = "12px system-ui, sans-serif";
    g.fillStyle = fg;
    g.strokeStyle = grid;
    g.lineWidth = 1;
    g.textAlign = "right";
    g.textBaseline = "middle";
    for (let i = 0; i <= 4; i++) {
      const v = lo + ((hi - lo) * i) / 4;
      const yy = Math.round(y(v)) + 0.5;
      g.beginPath();
      g.moveTo(left, yy);
      g.lineTo(w - right, yy);
      g.stroke();
      g.fillText(formatAxis(v, (hi - lo) / 4), left - 6, yy);
    }
    if (unit) {
      g.textBaseline = "top";
      g.fillText(unit, left - 6, 2);
    }
    g.textAlign = "center";
    g.textBaseline = "top";
    for (let i = 0; i <= 4; i++) {
      const t = from + ((to - from) * i) / 4;
      const d = new Date(t);
      const label = to - from > 86400000 * 1.5
        ? (d.getMonth() + 1) + "-" + d.getDate() + " " + pad2(d.getHours()) + ":00"
        : pad2(d.getHours()) + ":" + pad2(d.getMinutes());
      g.textAlign = i === 0 ? "left" : i === 4 ? "right" : "center";
      g.fillText(label, i === 0 ? left : i === 4 ? w - right : x(t), h - bottom + 8);
    }
    if (!pts.length) return;
    // The band between each bucket's minimum and maximum, then the line of its middle.
    g.fillStyle = accent;
    g.globalAlpha = 0.3;
    g.beginPath();
    for (let i = 0; i < pts.length; i++) {
      const px = x(pts[i][0]);
      if (i === 0) g.moveTo(px, y(pts[i][2]));
      else g.lineTo(px, y(pts[i][2]));
    }
    for (let i = pts.length - 1; i >= 0; i--) g.lineTo(x(pts[i][0]), y(pts[i][1]));
    g.closePath();
    g.fill();
    g.globalAlpha = 1;
    g.strokeStyle = accent;
    g.lineWidth = 1.5;
    g.beginPath();
    for (let i = 0; i < pts.length; i++) {
      const px = x(pts[i][0]);
      const py = y((pts[i][1] + pts[i][2]) / 2);
      if (i === 0) g.moveTo(px, py);
      else g.lineTo(px, py);
    }
    g.stroke();
    if (pts.length < 80) {
      g.fillStyle = accent;
      for (const p of pts) g.fillRect(x(p[0]) - 1.5, y((p[1] + p[2]) / 2) - 1.5, 3, 3);
    }
  }

  // As many places as tell the grid lines apart: 11.65 and 11.68, not 11.7 twice.
  function formatAxis(v, step) {
    const places = Math.min(6, Math.max(0, Math.ceil(-Math.log10(step))));
    return numberText(v, places);
  }

  function pad2(n) {
    return n < 10 ? "0" + n : String(n);
  }

  // ---- start --------------------------------------------------------------------------
  function start() {
    $("token").value = sessionStorage.getItem("kv830-token") || "";
    $("token").addEventListener("change", () => sessionStorage.setItem("kv830-token", $("token").value.trim()));
    $("device").addEventListener("change", () => {
      state.dataId = Number($("device").value);
      for (const item of state.byName.values()) item.last = undefined;
      state.lastSnap = null;
      if (state.es) state.es.close();
      state.es = null;
      loadModel().then(() => refresh(true));
      listen();
    });
    $("trend-close").addEventListener("click", () => {
      $("trend").hidden = true;
      trend.seq++;
    });
    $("trend").addEventListener("click", (ev) => {
      if (ev.target === $("trend")) $("trend-close").click();
    });
    document.addEventListener("keydown", (ev) => {
      if (ev.key === "Escape" && !$("trend").hidden) $("trend-close").click();
    });
    for (const b of document.querySelectorAll(".ranges button")) {
      b.addEventListener("click", () => loadTrend(Number(b.dataset.range)));
    }
    const q = new URLSearchParams(location.search);
    if (q.has("data_id")) state.dataId = Number(q.get("data_id")) || 1;
    boot();
    setInterval(showAge, 1000);
    setInterval(() => refresh(false), STATUS_EVERY_MS);
  }

  // The signal table, then the live data; retried until the server answers.
  function boot() {
    // The three requests at once: the first draw waits for one round trip, not three.
    const q = "/api/snapshot?data_id=" + state.dataId;
    const model = getJson("/api/signals?data_id=" + state.dataId).catch(() => null);
    Promise.all([getJson("/signals.json"), getJson("/api/status"), getJson(q).catch(() => null), model])
      .then(([meta, st, snap, doc]) => {
        state.signalsUpdateKey = meta.update_time;
        state.model = (doc && doc.signals) || {};
        buildCards(meta);
        showStatus(st);
        const switched = !device() && state.devices.length > 0;
        if (switched) state.dataId = state.devices[0].data_id;
        if (switched || !doc) {
          // Another device than asked for, or no model yet: its model, then its values.
          loadModel().then(() => refresh(true));
        } else if (snap) {
          showSnapshot(snap);
        } else {
          refresh(true);
        }
        listen();
      }).catch((e) => {
        $("units").textContent = "Cannot load the plant (" + e.message + "); trying again…";
        setTimeout(boot, 2000);
      });
  }

  start();
})();
