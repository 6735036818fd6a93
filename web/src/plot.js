// A scrolling plot of several series over the last ten seconds, on a canvas.
const COLORS = ["#e53935", "#1e88e5", "#43a047", "#fb8c00", "#8e24aa", "#00897b", "#6d4c41"];
const WINDOW_S = 10;

export class Plot {
  constructor(canvas, title, names) {
    this.canvas = canvas;
    this.title = title;
    this.names = names;
    this.samples = []; // [t, values]
    this.levels = []; // horizontal lines: { value, series, dash }
  }

  // Horizontal lines (thresholds), each in the colour of its series; the
  // vertical range always includes them.
  setLevels(levels) {
    this.levels = levels;
  }

  add(t, values) {
    const last = this.samples[this.samples.length - 1];
    if (last && t - last[0] < 0.02) return; // 50 points per second are enough to draw
    this.samples.push([t, values.slice()]);
    while (this.samples.length && t - this.samples[0][0] > WINDOW_S) this.samples.shift();
  }

  draw() {
    const { canvas, samples } = this;
    if (canvas.width !== canvas.clientWidth || canvas.height !== canvas.clientHeight) {
      canvas.width = canvas.clientWidth;
      canvas.height = canvas.clientHeight;
    }
    const g = canvas.getContext("2d");
    const w = canvas.width, h = canvas.height;
    g.clearRect(0, 0, w, h);
    g.fillStyle = "#333";
    g.font = "12px sans-serif";
    g.fillText(this.title, 6, 14);
    const legend = Math.max(130, g.measureText(this.title).width + 16);
    this.names.forEach((name, i) => {
      g.fillStyle = COLORS[i];
      g.fillText(name, legend + i * 58, 14);
    });
    if (samples.length < 2) return;
    let lo = Infinity, hi = -Infinity;
    for (const [, values] of samples) for (const v of values) { lo = Math.min(lo, v); hi = Math.max(hi, v); }
    for (const { value } of this.levels) { lo = Math.min(lo, value); hi = Math.max(hi, value); }
    if (hi - lo < 1e-3) { lo -= 0.5; hi += 0.5; }
    const t1 = samples[samples.length - 1][0];
    const x = (t) => w - ((t1 - t) / WINDOW_S) * w;
    const y = (v) => h - 6 - ((v - lo) / (hi - lo)) * (h - 26);
    g.strokeStyle = "#ddd";
    g.beginPath(); g.moveTo(0, y(0)); g.lineTo(w, y(0)); g.stroke();
    g.fillStyle = "#777";
    g.fillText(hi.toFixed(2), w - 48, 28);
    g.fillText(lo.toFixed(2), w - 48, h - 8);
    for (const { value, series, dash } of this.levels) {
      g.strokeStyle = COLORS[series];
      g.setLineDash(dash);
      g.beginPath(); g.moveTo(0, y(value)); g.lineTo(w, y(value)); g.stroke();
    }
    g.setLineDash([]);
    this.names.forEach((_, i) => {
      g.strokeStyle = COLORS[i];
      g.beginPath();
      samples.forEach(([t, values], k) => (k ? g.lineTo(x(t), y(values[i])) : g.moveTo(x(t), y(values[i]))));
      g.stroke();
    });
  }
}
