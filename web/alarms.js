// The alarm list at the top of the page: active alarms first, faults before alarms, with
// since-when and how long, acknowledged or not, and the latest events below; from
// /api/alarms, acknowledged through /api/alarms/ack with the write token.
"use strict";

(function () {
  const EVERY_MS = 2000;
  const EVENTS = 200;
  const $ = (id) => document.getElementById(id);
  const el = (tag, cls, text) => {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  };
  const pad2 = (n) => (n < 10 ? "0" : "") + n;
  const local = (iso) => {
    const d = new Date(iso);
    return d.getFullYear() + "-" + pad2(d.getMonth() + 1) + "-" + pad2(d.getDate()) + " " +
      pad2(d.getHours()) + ":" + pad2(d.getMinutes()) + ":" + pad2(d.getSeconds());
  };
  const span = (s) => {
    if (s < 90) return Math.round(s) + " s";
    if (s < 5400) return Math.round(s / 60) + " min";
    if (s < 172800) return (s / 3600).toFixed(1) + " h";
    return (s / 86400).toFixed(1) + " d";
  };
  const box = $("alarm-list");
  let busy = false;

  function dataId() {
    const pick = $("device");
    return pick && pick.value ? Number(pick.value) : (window.kv830 ? window.kv830.state.dataId : 1);
  }

  function writesOn() {
    return !$("writes").hidden;
  }

  function acknowledge(body, out) {
    const token = ($("token").value || "").trim();
    if (!token) {
      out.textContent = "enter the write token first";
      return;
    }
    body.data_id = dataId();
    body.command_id = "page-" + Date.now() + "-" + Math.floor(Math.random() * 1e6);
    out.textContent = "…";
    fetch("/api/alarms/ack", {
      method: "POST",
      headers: { "Content-Type": "application/json", Authorization: "Bearer " + token },
      body: JSON.stringify(body),
    }).then((r) => r.text().then((t) => {
      let o = {};
      try { o = JSON.parse(t); } catch (e) { o = { reason: t.trim() }; }
      out.textContent = r.ok ? "" : (o.reason || ("HTTP " + r.status));
      load();
    })).catch((e) => { out.textContent = e.message; });
  }

  function row(a, now) {
    const tr = el("tr", (a.active ? "on" : "off") + (a.acknowledged ? " acked" : " unacked"));
    tr.appendChild(el("td", "prio " + a.priority, a.priority));
    tr.appendChild(el("td", "sig", a.signal));
    tr.appendChild(el("td", "", a.chattering ? "chattering" : a.active ? "active" : "cleared " + local(a.cleared)));
    tr.appendChild(el("td", "", local(a.since)));
    // How long it stood: until now, or until it cleared.
    const until = a.active || !a.cleared ? now : Date.parse(a.cleared);
    tr.appendChild(el("td", "", span(Math.max(0, (until - Date.parse(a.since)) / 1000))));
    const ack = el("td", "ack");
    if (a.acknowledged) {
      ack.textContent = "acknowledged";
    } else if (writesOn()) {
      const b = el("button", "", "acknowledge");
      const out = el("span", "out");
      b.type = "button";
      b.addEventListener("click", () => acknowledge({ signal: a.signal }, out));
      ack.append(b, out);
    } else {
      ack.textContent = "unacknowledged";
    }
    tr.appendChild(ack);
    return tr;
  }

  function show(v) {
    const now = Date.now();
    box.textContent = "";
    const head = el("div", "alarm-head");
    const waiting = v.active.filter((a) => !a.acknowledged).length;
    head.appendChild(el("h2", "", "Alarms: " + v.active.filter((a) => a.active).length + " active, " +
      waiting + " unacknowledged"));
    if (waiting > 0 && writesOn()) {
      const b = el("button", "", "acknowledge all");
      const out = el("span", "out");
      b.type = "button";
      b.addEventListener("click", () => acknowledge({ all: true }, out));
      head.append(b, out);
    }
    box.appendChild(head);
    if (v.active.length) {
      const t = el("table", "alarm-table");
      const h = el("tr");
      for (const c of ["priority", "signal", "state", "since", "for", ""]) h.appendChild(el("th", "", c));
      t.appendChild(h);
      for (const a of v.active) t.appendChild(row(a, now));
      box.appendChild(t);
    }
    const d = el("details", "alarm-events");
    d.open = box.dataset.open !== "0";
    d.addEventListener("toggle", () => { box.dataset.open = d.open ? "1" : "0"; });
    d.appendChild(el("summary", "", "Latest events (" + v.events.length + ")"));
    const t = el("table", "alarm-table");
    for (const e of v.events.slice().reverse()) {
      const tr = el("tr", e.state);
      tr.appendChild(el("td", "", local(e.time)));
      tr.appendChild(el("td", "prio " + e.priority, e.priority));
      tr.appendChild(el("td", "sig", e.signal));
      tr.appendChild(el("td", "", e.state + (e.changes ? " (" + e.changes + " changes)" : "")));
      tr.appendChild(el("td", "", e.by));
      t.appendChild(tr);
    }
    d.appendChild(t);
    box.appendChild(d);
  }

  function load() {
    if (busy) return;
    busy = true;
    fetch("/api/alarms?events=" + EVENTS + "&data_id=" + dataId(), { cache: "no-store" })
      .then((r) => (r.ok ? r.json() : null))
      .then((v) => { if (v) show(v); })
      .catch(() => {})
      .finally(() => { busy = false; });
  }

  load();
  setInterval(load, EVERY_MS);
})();
