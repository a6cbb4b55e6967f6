// The live view: follows the session's stream (/events) and hands each entry
// to the report's own drawing (window.OrvikReport), so what is seen live is
// what report.html shows afterwards. Adds the panels only a running session
// has: radio, call and KPIs, signalling, line and GPS, counters.
(function () {
  'use strict';
  if (!window.EventSource || location.protocol.indexOf('http') !== 0) return;

  // Without the report's hook (an older page) entries are only counted.
  var report = window.OrvikReport || (function () {
    var listeners = [], records = 0, events = 0;
    return {
      add: function (e) {
        if (e.type === 'record') document.body.setAttribute('data-records', ++records);
        if (e.type === 'event') document.body.setAttribute('data-events', ++events);
        listeners.forEach(function (fn) { fn(e); });
      },
      onEntry: function (fn) { listeners.push(fn); },
      setKpis: function () {},
      setCurrent: function () {}
    };
  })();

  var live = document.getElementById('live');
  if (!live) {
    live = document.createElement('section');
    live.id = 'live';
    (document.querySelector('main') || document.body).insertBefore(live, (document.querySelector('main') || document.body).firstChild);
  }
  live.hidden = false;
  live.classList.add('wide');
  live.innerHTML =
    '<style>#live .panes{display:grid;grid-template-columns:300px 1fr 1fr;gap:12px}' +
    '#live h3{font-size:13px;margin:0 0 4px}#live .down{color:#b00;font-weight:bold}' +
    '#live ol{list-style:none;margin:0;padding:0;height:150px;overflow-y:auto;font:12px monospace}' +
    '#live dl{display:grid;grid-template-columns:auto 1fr;gap:1px 10px;margin:0;font-size:12px}' +
    '#live dd{margin:0;font-variant-numeric:tabular-nums}</style>' +
    '<h2>Live <span id="live-state" class="note">connecting</span></h2><div class="panes">' +
    '<div><h3>Radio</h3><canvas id="live-radio" width="300" height="150"></canvas></div>' +
    '<div><h3>Call and KPIs</h3><dl id="live-call"></dl><h3 style="margin-top:8px">Line and GPS</h3><dl id="live-line"></dl></div>' +
    '<div><h3>Signalling</h3><ol id="live-messages"></ol></div></div>' +
    '<h3 style="margin-top:8px">Counters</h3><dl id="live-counters" style="grid-template-columns:repeat(8,auto)"></dl>';

  var radio = null, messages = [], callState = '', lastEvent = '', status = null, dirty = false;
  var bands = [[-70, '#1a9e3f'], [-85, '#e6c81e'], [-95, '#f07d14'], [-999, '#d7191c']];

  // Messages that go one way only; the call control ones go both ways and
  // are left without an arrow.
  var uplink = /^(MEASUREMENT REPORT|CM SERVICE REQUEST|CM REESTABLISHMENT REQUEST|PAGING RESPONSE|LOCATION UPDATING REQUEST|IMSI DETACH INDICATION|.* COMPLETE|.* RESPONSE|HANDOVER FAILURE|ASSIGNMENT FAILURE|CLASSMARK CHANGE|CHANNEL MODE MODIFY ACKNOWLEDGE|EMERGENCY SETUP)$/;
  var downlink = /^(SYSTEM INFORMATION .*|PAGING REQUEST .*|IMMEDIATE ASSIGNMENT.*|.* COMMAND|CHANNEL RELEASE|CHANNEL MODE MODIFY|CM SERVICE (ACCEPT|REJECT)|LOCATION UPDATING (ACCEPT|REJECT)|AUTHENTICATION (REQUEST|REJECT)|IDENTITY REQUEST|MM INFORMATION|CLASSMARK ENQUIRY|PHYSICAL INFORMATION)$/;
  function directionOf(name) {
    if (name === 'RELEASE COMPLETE' || name === 'MODIFY COMPLETE') return '';
    return uplink.test(name) ? '\u2191' : downlink.test(name) ? '\u2193' : '';
  }

  function colourOf(dbm) {
    for (var i = 0; i < bands.length; i++) if (dbm >= bands[i][0]) return bands[i][1];
    return bands[bands.length - 1][1];
  }
  function esc(s) { var d = document.createElement('div'); d.textContent = String(s); return d.innerHTML; }
  function pairs(list) {
    return list.map(function (p) { return '<dt>' + esc(p[0]) + '</dt><dd>' + esc(p[1]) + '</dd>'; }).join('');
  }
  function ratio(v) { return v === null || v === undefined ? '-' : (v * 100).toFixed(1) + ' %'; }

  function onEntry(e) {
    if (e.type === 'record') {
      var r = e.idle || e.dedicated_report;
      if (r) radio = { arfcn: r.arfcn, bsic: r.bsic, rxlev: r.rxlev !== undefined ? r.rxlev : r.rxlev_full,
                       rxqual: r.rxqual_full, neighbours: (r.neighbours || []).slice(0, 6), time: e.time1 };
      callState = e.call_state;
      if (e.longitude !== null && e.latitude !== null) report.setCurrent(e.longitude, e.latitude);
      if (e.message_name) {
        messages.push([e.time1.substr(11, 8), e.direction || directionOf(e.message_name), e.message_name]);
        if (messages.length > 200) messages.shift();
      }
    } else if (e.type === 'fix') {
      report.setCurrent(e.longitude, e.latitude);
    } else if (e.type === 'event') {
      lastEvent = e.kind || e.event || '';
    }
    dirty = true;
  }

  function drawRadio() {
    var c = document.getElementById('live-radio'), g = c.getContext('2d');
    g.clearRect(0, 0, c.width, c.height);
    if (!radio) return;
    var serving = 'S ' + radio.arfcn + '/' + radio.bsic;
    var rows = [[serving, radio.rxlev, true, radio.rxqual]].concat(radio.neighbours.map(function (n) {
      return [n.arfcn + '/' + n.bsic, n.rxlev, false];
    }));
    g.font = '11px sans-serif';
    rows.forEach(function (row, i) {
      var y = 4 + i * 20, dbm = row[1] - 110, w = Math.max(2, Math.round(row[1] / 63 * 170));
      g.fillStyle = '#222';
      g.fillText(row[0], 2, y + 12);
      g.fillStyle = colourOf(dbm);
      g.fillRect(72, y + 2, w, row[2] ? 14 : 11);
      g.fillStyle = '#222';
      g.fillText(dbm + ' dBm' + (row[3] !== undefined ? ', RXQUAL ' + row[3] : ''), 72 + w + 4, y + 12);
    });
  }

  function drawPanels() {
    if (!dirty) return;
    dirty = false;
    drawRadio();
    var k = (status && status.kpi) || {};
    document.getElementById('live-call').innerHTML = pairs([
      ['call', callState || '-'], ['last event', lastEvent || '-'],
      ['attempts', k.call_attempts !== undefined ? k.call_attempts : '-'],
      ['set-up success', ratio(k.call_setup_success_ratio)], ['drops', k.call_drops !== undefined ? k.call_drops : '-'],
      ['handover success', ratio(k.handover_success_ratio)]]);
    if (status) {
      document.getElementById('live-line').innerHTML = pairs([
        ['line', status.line_up ? 'up' : 'DOWN'],
        ['GPS', status.gps_problem || (status.fix_age_s === null ? 'no fix yet' : 'fix ' + status.fix_age_s + ' s ago')]]);
      document.getElementById('live-line').firstElementChild.nextElementSibling.className = status.line_up ? '' : 'down';
      document.getElementById('live-counters').innerHTML = pairs([
        ['elapsed', status.elapsed_s + ' s'], ['records', status.records], ['frames/s', status.frames_per_second],
        ['bytes', status.bytes_received], ['rejected', status.frames_rejected], ['gaps', status.gaps],
        ['fixes', status.fixes], ['queue', Math.round(100 * status.queue_fill_bytes / status.queue_capacity_bytes) + ' %']]);
    }
    var list = document.getElementById('live-messages');
    list.innerHTML = messages.slice(-60).map(function (m) {
      return '<li>' + esc(m[0]) + ' ' + esc(m[1] || '\u00a0') + ' ' + esc(m[2]) + '</li>';
    }).join('');
    list.scrollTop = list.scrollHeight;
  }

  report.onEntry(onEntry);
  var state = document.getElementById('live-state');
  var source = new EventSource('events');
  source.onopen = function () { state.textContent = 'following the session'; };
  source.onerror = function () { state.textContent = 'reconnecting'; };
  // One message may carry many entries, one per line: the session so far.
  source.onmessage = function (m) {
    m.data.split('\n').forEach(function (line) { if (line) report.add(JSON.parse(line)); });
  };
  source.addEventListener('status', function (m) {
    status = JSON.parse(m.data);
    if (status.kpi) report.setKpis(status.kpi);
    dirty = true;
  });
  source.addEventListener('trimmed', function () { state.textContent = 'the oldest entries were no longer kept'; });
  source.addEventListener('end', function () {
    source.close();
    state.textContent = 'the session has ended';
  });
  (function frame() { drawPanels(); requestAnimationFrame(frame); })();
})();
