// The gateway's status page: a first paint from /api/points, then live
// changes from the event stream at /events. Every text from the gateway
// goes into the page as text (textContent), never as markup.
'use strict';

(function () {
  const linesEl = document.getElementById('lines');
  const linkEl = document.getElementById('link');
  const brokerEl = document.getElementById('broker');
  const problemsEl = document.getElementById('problems');
  const filterEl = document.getElementById('filter');

  const lines = new Map();  // name -> { el, head parts, tbody, rows: Map(address -> row) }
  let skewMs = 0;           // the gateway's clock minus ours
  let stream = null;
  let lastMessage = 0;
  let retryTimer = 0;

  function el(tag, cls, text) {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }
  function setText(e, text) {
    if (e.textContent !== text) e.textContent = text;
  }

  function formatValue(p) {
    if (p.value === null || p.value === undefined) return '—';
    const v = Number(p.value.toPrecision(7));
    return p.units ? v + ' ' + p.units : String(v);
  }
  function formatAge(ms) {
    if (ms === null || ms === undefined) return '—';
    const s = Math.max(0, Math.round((Date.now() + skewMs - ms) / 1000));
    if (s < 90) return s + ' s ago';
    if (s < 5400) return Math.round(s / 60) + ' min ago';
    return Math.round(s / 3600) + ' h ago';
  }
  function hex(status) {
    return '0x' + status.toString(16).toUpperCase().padStart(4, '0');
  }

  function lineEntry(name) {
    let line = lines.get(name);
    if (line) return line;
    const section = el('section');
    const head = el('div', 'linehead');
    const title = el('h2', '', name);
    const state = el('span', 'badge');
    const device = el('span', 'device');
    const counts = el('span', 'counts');
    head.append(title, state, device, counts);
    const table = el('table');
    const thead = el('thead');
    const tr = el('tr');
    for (const h of ['Address', 'Name', 'Value', 'Status', 'Availability', 'Last reading']) {
      tr.append(el('th', '', h));
    }
    thead.append(tr);
    const tbody = el('tbody');
    table.append(thead, tbody);
    const empty = el('p', 'empty', 'No units yet.');
    section.append(head, table, empty);
    linesEl.append(section);
    line = { section, state, device, counts, tbody, empty, rows: new Map() };
    lines.set(name, line);
    return line;
  }

  function showLine(name, device, state) {
    const line = lineEntry(name);
    setText(line.device, device);
    const open = state === 'open';
    setText(line.state, open ? '✔ open' : state === 'opening' ? '… opening' : '✖ ' + state);
    line.state.className = 'badge ' + (open ? 'good' : 'bad');
  }

  function showPoint(lineName, p) {
    const line = lineEntry(lineName);
    let row = line.rows.get(p.address);
    if (!row) {
      const tr = el('tr');
      row = {
        tr,
        addr: el('td', 'addr', p.address),
        name: el('td', 'name'),
        value: el('td', 'value'),
        status: el('td', 'status'),
        avail: el('td', 'avail'),
        age: el('td', 'age'),
        mark: el('span', 'mark'),
        code: el('span', 'code'),
        bits: el('span', 'bits'),
        data: p,
      };
      row.status.append(row.mark, row.code, row.bits);
      tr.append(row.addr, row.name, row.value, row.status, row.avail, row.age);
      line.tbody.append(tr);
      line.rows.set(p.address, row);
      line.empty.hidden = true;
    }
    row.data = p;
    const offline = p.availability === 'offline';
    const kind = offline ? 'offline' : p.alarm ? 'alarm' : p.availability === 'online' ? 'ok' : 'wait';
    row.tr.className = kind;
    setText(row.name, p.name || '');
    setText(row.value, formatValue(p));
    setText(row.mark, p.alarm ? '⚠ ALARM ' : '');
    setText(row.code, p.value === null && p.status === 0 ? '' : hex(p.status));
    setText(row.bits, p.bits.join(', '));
    setText(row.avail, offline ? '✖ offline' : p.availability === 'online' ? '✔ online' : '… waiting');
    row.avail.title = p.state_text || '';
    setText(row.age, formatAge(p.reading_ms));
    filterRow(row);
    countLine(line);
  }

  function filterRow(row) {
    const p = row.data;
    const needle = filterEl.value.trim().toLowerCase();
    const problem = p.alarm || p.availability === 'offline';
    const hide = (problemsEl.checked && !problem) ||
      (needle !== '' && !p.address.includes(needle) && !(p.name || '').toLowerCase().includes(needle));
    row.tr.classList.toggle('hidden', hide);
  }

  function countLine(line) {
    let alarm = 0;
    let offline = 0;
    for (const row of line.rows.values()) {
      if (row.data.availability === 'offline') offline++;
      else if (row.data.alarm) alarm++;
    }
    setText(line.counts, line.rows.size + ' units · ' + alarm + ' in alarm · ' + offline + ' offline');
  }

  function showBroker(state) {
    setText(brokerEl, 'broker: ' + state);
    brokerEl.className = 'badge ' + (state === 'connected' ? 'good' : 'bad');
  }

  // A snapshot replaces everything: after a restart of the gateway the
  // lines and units may differ.
  function showSnapshot(doc) {
    skewMs = doc.now_ms - Date.now();
    showBroker(doc.broker);
    const seen = new Set();
    for (const l of doc.lines) {
      seen.add(l.name);
      showLine(l.name, l.device, l.state);
      const line = lines.get(l.name);
      const addresses = new Set(l.points.map((p) => p.address));
      for (const [address, row] of line.rows) {
        if (!addresses.has(address)) {
          row.tr.remove();
          line.rows.delete(address);
        }
      }
      for (const p of l.points) showPoint(l.name, p);
      line.empty.hidden = line.rows.size > 0;
      countLine(line);
    }
    for (const [name, line] of lines) {
      if (!seen.has(name)) {
        line.section.remove();
        lines.delete(name);
      }
    }
  }

  function onEvent(doc) {
    switch (doc.type) {
      case 'snapshot': showSnapshot(doc); break;
      case 'point': showPoint(doc.line, doc.point); break;
      case 'line': showLine(doc.line, doc.device, doc.state); break;
      case 'broker': showBroker(doc.broker); break;
    }
  }

  function live(on, why) {
    document.body.classList.toggle('stale', !on);
    setText(linkEl, on ? '● live' : '⚠ ' + why + ' — values may be stale');
    linkEl.className = 'badge ' + (on ? 'good' : 'bad');
  }

  function connect() {
    retryTimer = 0;
    if (stream) stream.close();
    stream = new EventSource('events');
    stream.addEventListener('heartbeat', () => {
      lastMessage = Date.now();
      live(true);
    });
    stream.onmessage = (m) => {
      lastMessage = Date.now();
      live(true);
      try {
        onEvent(JSON.parse(m.data));
      } catch (e) {
        console.error('status page: bad event', e);
      }
    };
    stream.onerror = () => {
      live(false, 'disconnected');
      // The browser retries a broken stream by itself; one it gave up on
      // (a refusal such as "too many open event streams") is ours to open again.
      if (stream.readyState === EventSource.CLOSED && !retryTimer) {
        retryTimer = setTimeout(connect, 5000);
      }
    };
  }

  function tick() {
    for (const line of lines.values()) {
      for (const row of line.rows.values()) setText(row.age, formatAge(row.data.reading_ms));
    }
    // The gateway sends a heartbeat every 15 s; silence longer than that
    // means a connection that broke without closing.
    if (stream && lastMessage && Date.now() - lastMessage > 40000) {
      live(false, 'no word from the gateway');
      lastMessage = 0;
      connect();
    }
  }

  function refilter() {
    for (const line of lines.values()) for (const row of line.rows.values()) filterRow(row);
  }
  problemsEl.addEventListener('change', refilter);
  filterEl.addEventListener('input', refilter);

  live(false, 'connecting');
  fetch('api/points', { cache: 'no-store' })
    .then((r) => r.json())
    .then(showSnapshot)
    .catch(() => live(false, 'cannot reach the gateway'))
    .finally(connect);
  setInterval(tick, 1000);
})();
