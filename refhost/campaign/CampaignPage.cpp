// The campaign page: one file, no network. The data is embedded as JSON in
// place of the marker; the map is drawn on a canvas from the bins' grid
// indices, so no map library or tiles are needed.
#include "refhost/campaign/CampaignPage.h"

namespace {

const char* const Page = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Campaign</title>
<style>
body { font: 14px/1.4 system-ui, sans-serif; margin: 16px; color: #222; }
h1 { font-size: 20px; margin: 0 0 8px; }
h2 { font-size: 16px; margin: 20px 0 6px; }
#map { border: 1px solid #aaa; background: #f4f4f0; }
table { border-collapse: collapse; font-size: 12px; }
th, td { border: 1px solid #ccc; padding: 2px 6px; text-align: right; }
th:first-child, td:first-child { text-align: left; }
tr.total td { font-weight: bold; background: #eef; }
.legend span { display: inline-block; width: 14px; height: 14px; vertical-align: middle; margin: 0 4px 0 10px; }
#note { color: #a40; }
.scroll { overflow-x: auto; }
</style>
</head>
<body>
<h1>Campaign</h1>
<div id="summary"></div>
<div id="note"></div>
<p>Colour by
<select id="metric">
<option value="level">median level</option>
<option value="drops">dropped calls</option>
<option value="cell">best serving cell</option>
</select>
<span id="legend" class="legend"></span></p>
<canvas id="map" width="900" height="600"></canvas>
<div id="hover">&nbsp;</div>
<h2>KPIs per drive and in total</h2>
<div class="scroll"><table id="kpis"></table></div>
<h2>Serving cells across the drives</h2>
<div class="scroll"><table id="cells"></table></div>
<script>
const data = /*CAMPAIGN_DATA*/null;
const bands = [[-70, '#1a9641', '-70 dBm and above'], [-85, '#e6e600', '-85 to -71'],
               [-95, '#fdae61', '-95 to -86'], [-200, '#d7191c', 'below -95']];
const cellColours = ['#1f77b4', '#ff7f0e', '#2ca02c', '#d62728', '#9467bd', '#8c564b', '#e377c2',
                     '#7f7f7f', '#bcbd22', '#17becf'];
const cellNames = [...new Set(data.bins.map(b => b.best_cell).filter(c => c))].sort();
function colour(bin, metric) {
  if (metric === 'level') {
    if (bin.level_median_dbm === null) return '#bbbbbb';
    return bands.find(b => bin.level_median_dbm >= b[0])[1];
  }
  if (metric === 'drops') return bin.call_drops > 0 ? '#d7191c' : bin.call_setups > 0 ? '#1a9641' : '#cfcfcf';
  const i = cellNames.indexOf(bin.best_cell);
  return i < 0 ? '#bbbbbb' : cellColours[i % cellColours.length];
}
function legend(metric) {
  let items;
  if (metric === 'level') items = bands.map(b => [b[1], b[2]]).concat([['#bbbbbb', 'no level']]);
  else if (metric === 'drops') items = [['#d7191c', 'a drop'], ['#1a9641', 'set-ups, no drop'], ['#cfcfcf', 'no call']];
  else items = cellNames.map((c, i) => [cellColours[i % cellColours.length], c]);
  document.getElementById('legend').innerHTML = '';
  for (const [c, t] of items) {
    const s = document.createElement('span');
    s.style.background = c;
    document.getElementById('legend').append(s, document.createTextNode(t));
  }
}
const canvas = document.getElementById('map');
const ctx = canvas.getContext('2d');
let view = null;
function draw() {
  const metric = document.getElementById('metric').value;
  legend(metric);
  ctx.clearRect(0, 0, canvas.width, canvas.height);
  if (!data.bins.length) return;
  const xs = data.bins.map(b => b.bin_x), ys = data.bins.map(b => b.bin_y);
  const minX = Math.min(...xs), maxX = Math.max(...xs), minY = Math.min(...ys), maxY = Math.max(...ys);
  const cell = Math.max(1, Math.min((canvas.width - 20) / (maxX - minX + 1), (canvas.height - 20) / (maxY - minY + 1)));
  view = {minX, maxY, cell};
  for (const b of data.bins) {
    const x = 10 + (b.bin_x - minX) * cell, y = 10 + (maxY - b.bin_y) * cell;
    ctx.globalAlpha = b.sparse ? 0.35 : 1;
    ctx.fillStyle = colour(b, metric);
    ctx.fillRect(x, y, Math.max(1, cell - (cell > 4 ? 1 : 0)), Math.max(1, cell - (cell > 4 ? 1 : 0)));
  }
  ctx.globalAlpha = 1;
}
canvas.addEventListener('mousemove', e => {
  if (!view) return;
  const r = canvas.getBoundingClientRect();
  const bx = view.minX + Math.floor((e.clientX - r.left - 10) / view.cell);
  const by = view.maxY - Math.floor((e.clientY - r.top - 10) / view.cell);
  const b = data.bins.find(b => b.bin_x === bx && b.bin_y === by);
  document.getElementById('hover').textContent = b ?
    `bin ${bx},${by}: ${b.samples} samples from ${b.drives} drive(s), level median ${b.level_median_dbm} dBm ` +
    `(p10 ${b.level_p10_dbm}, p90 ${b.level_p90_dbm}), quality median ${b.quality_median}, ` +
    `best cell ${b.best_cell || '-'}, set-ups ${b.call_setups}, drops ${b.call_drops}, ` +
    `handover failures ${b.handover_failures}${b.sparse ? ' (sparse)' : ''}` : '\u00a0';
});
document.getElementById('metric').addEventListener('change', draw);
function fmt(v) {
  if (v === null || v === undefined) return '\u2013';
  if (typeof v === 'number' && !Number.isInteger(v)) return v.toFixed(3);
  if (typeof v === 'object') return JSON.stringify(v);
  return String(v);
}
function flat(o, prefix, out) {
  for (const [k, v] of Object.entries(o)) {
    const key = prefix ? prefix + '_' + k : k;
    // Lists (the level bands) stay in the GeoPackage; the tables show numbers.
    if (Array.isArray(v)) continue;
    if (v && typeof v === 'object') flat(v, key, out); else out[key] = v;
  }
  return out;
}
function table(id, rows, totalRow, first) {
  const t = document.getElementById(id);
  const keys = [...new Set(first.concat(rows.flatMap(r => Object.keys(r))))];
  const head = t.insertRow();
  for (const k of keys) { const th = document.createElement('th'); th.textContent = k; head.append(th); }
  rows.forEach((r, i) => {
    const tr = t.insertRow();
    if (totalRow && i === rows.length - 1) tr.className = 'total';
    for (const k of keys) tr.insertCell().textContent = fmt(r[k]);
  });
}
const kpiRows = data.drives.map(d => flat(d.kpi, '', {drive: d.drive}));
kpiRows.push(flat(data.total, '', {drive: 'total'}));
table('kpis', kpiRows, true, ['drive']);
table('cells', data.cells.map(c => flat(c, '', {})), false, ['mcc', 'mnc', 'lac', 'ci', 'arfcn', 'bsic']);
const samples = data.bins.reduce((s, b) => s + b.samples, 0);
document.getElementById('summary').textContent =
  `${data.drives.length} drive(s), ${samples} positioned samples in ${data.bins.length} bins of ` +
  `${data.bin_metres} m (EPSG:${data.epsg}); bins with fewer than ${data.min_samples} samples are drawn faint.`;
const notes = data.duplicates.concat(data.skipped.map(s => s + ' was skipped: not a session'));
document.getElementById('note').textContent = notes.join('; ');
draw();
</script>
</body>
</html>
)PAGE";

}  // namespace

std::string CampaignPageTemplate() { return Page; }
