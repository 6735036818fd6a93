// kav serve under load, on loopback: node bench/serve-bench.mjs PATH/TO/kav
// Prints: /joint_states messages per second for each of four clients while a
// fifth subscribes and reads nothing for 10 s, the arm's cycle rate meanwhile,
// the kav serve process's CPU (from /proc; it holds the simulated arm, the
// control loop and the server), the latency from the control cycle's time
// stamp to a client's receipt (p50/p99), and, in Debian's chromium, the time
// from the page's move to its model moving and from its stop button to
// PROTECT on the page.
import { readdirSync, readFileSync } from "node:fs";
import { performance } from "node:perf_hooks";
import puppeteer from "puppeteer-core";
import WebSocket from "ws";
import { connect, startServe, waitFor } from "../test/support.mjs";

const kav = process.argv[2];
const SECONDS = 10;
const ticks = 100; // USER_HZ: the clock ticks of /proc/PID/stat on Linux
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const nowNs = () => BigInt(Math.round((performance.timeOrigin + performance.now()) * 1e6));

// User + system time of a process or thread from its stat file.
function cpuOf(stat) {
  const fields = readFileSync(stat, "utf8").split(") ")[1].split(" ");
  return (Number(fields[11]) + Number(fields[12])) / ticks; // utime, stime
}
const cpuSeconds = (pid) => cpuOf(`/proc/${pid}/stat`);

// The server's threads alone: civetweb's, the sampling thread and the writers.
function serverCpuSeconds(pid) {
  let sum = 0;
  for (const task of readdirSync(`/proc/${pid}/task`)) {
    try {
      const name = readFileSync(`/proc/${pid}/task/${task}/comm`, "utf8").trim();
      if (name.startsWith("civetweb") || name.startsWith("kav-serve")) sum += cpuOf(`/proc/${pid}/task/${task}/stat`);
    } catch {
      // the thread ended meanwhile
    }
  }
  return sum;
}

function percentile(sorted, p) {
  return sorted[Math.min(sorted.length - 1, Math.floor((p / 100) * sorted.length))];
}

const server = await startServe(kav, ["--sim", "--allow-control"]);
const pid = server.proc.pid;

// The process alone, with no client.
let cpu0 = cpuSeconds(pid);
await sleep(5000);
const idleCpu = (cpuSeconds(pid) - cpu0) / 5;

const clients = await Promise.all(
  [0, 1, 2, 3].map(() => connect(server.url, { topics: ["/joint_states", "/tf", "/arm/status", "/diagnostics"] })),
);
const latencies = [];
clients[0].onMessage = (topic, message) => {
  if (topic !== "/joint_states") return;
  const stamp = BigInt(message.header.stamp.sec) * 1000000000n + BigInt(message.header.stamp.nsec);
  latencies.push(Number(nowNs() - stamp) / 1e6);
};
const stalled = new WebSocket(server.url, ["foxglove.websocket.v1"]);
stalled.on("message", (data, binary) => {
  if (binary) return;
  const message = JSON.parse(data.toString());
  if (message.op !== "advertise") return;
  const busy = message.channels.filter((ch) => ch.topic === "/joint_states" || ch.topic === "/tf");
  stalled.send(JSON.stringify({ op: "subscribe", subscriptions: busy.map((ch, i) => ({ id: i, channelId: ch.id })) }));
  stalled._socket.pause();
});
await waitFor(() => clients.every((c) => c.counts["/joint_states"] > 0), "messages on every client");
await sleep(1000);

const rates = [];
clients[0].onMessage = ((inner) => (topic, message) => {
  inner(topic, message);
  if (topic === "/diagnostics") {
    const arm = message.status.find((s) => s.name === "kav serve: arm");
    rates.push(Number(arm.values.find((v) => v.key === "cycle_rate_hz").value));
  }
})(clients[0].onMessage);
latencies.length = 0;
const start = clients.map((c) => c.counts["/joint_states"]);
cpu0 = cpuSeconds(pid);
const server0 = serverCpuSeconds(pid);
const t0 = performance.now();
await sleep(SECONDS * 1000);
const elapsed = (performance.now() - t0) / 1000;
const cpu = (cpuSeconds(pid) - cpu0) / elapsed;
const serverCpu = (serverCpuSeconds(pid) - server0) / elapsed;
const perClient = clients.map((c, i) => (c.counts["/joint_states"] - start[i]) / elapsed);
const diagnostics = clients[0].last["/diagnostics"];
const dropped = diagnostics.status
  .filter((s) => s.name.startsWith("kav serve: client"))
  .map((s) => `${s.name.slice(11)}: ${s.values.find((v) => v.key === "dropped").value} dropped`);
latencies.sort((a, b) => a - b);
rates.sort((a, b) => a - b);

console.log(`kav serve --sim, four clients (/joint_states, /tf, /arm/status, /diagnostics) and one that reads nothing, ${elapsed.toFixed(1)} s`);
console.log(`/joint_states per client [messages/s]: ${perClient.map((r) => r.toFixed(1)).join(", ")}`);
console.log(`arm cycle rate [Hz] (from /diagnostics, 1 s windows): min ${rates[0]?.toFixed(1)}, median ${percentile(rates, 50)?.toFixed(1)}`);
console.log(`server threads' CPU [% of one core]: ${(100 * serverCpu).toFixed(1)} (civetweb, sampling, writers)`);
console.log(`whole process CPU [% of one core]: ${(100 * cpu).toFixed(1)} with the clients, ${(100 * idleCpu).toFixed(1)} without any (simulated arm and control loop included)`);
console.log(`latency control cycle -> client [ms]: p50 ${percentile(latencies, 50).toFixed(2)}, p99 ${percentile(latencies, 99).toFixed(2)}, max ${latencies.at(-1).toFixed(2)} (${latencies.length} messages)`);
console.log(`per connection: ${dropped.join("; ")}`);
stalled.terminate();
for (const c of clients) c.close();

// The page: move -> the model moving, stop button -> PROTECT on the page.
const browser = await puppeteer.launch({
  executablePath: "/usr/bin/chromium",
  headless: true,
  args: ["--no-sandbox", "--use-angle=swiftshader", "--enable-unsafe-swiftshader"],
});
const page = await browser.newPage();
await page.goto(`${server.http}/`);
await page.waitForFunction(() => window.kav?.robot && window.kav.jointState && window.kav.controlAllowed && window.kav.status, { timeout: 30000 });
const moves = [];
const stops = [];
for (let round = 0; round < 5; ++round) {
  const target = round % 2 ? [0, 0, 0, 0, 0, 0] : [0.3, 0.5, 0.4, 0.1, 0.2, -0.1];
  moves.push(
    await page.evaluate(async (target) => {
      const before = window.kav.robot.joints.joint2.angle;
      const t = performance.now();
      window.kav.send({ op: "move_joints", target, speed_scale: 1.0 });
      while (Math.abs(window.kav.robot.joints.joint2.angle - before) < 0.001) await new Promise((r) => setTimeout(r, 1));
      return performance.now() - t;
    }, target),
  );
  await sleep(3000);
  stops.push(
    await page.evaluate(async () => {
      const t = performance.now();
      document.getElementById("stop").click();
      while (window.kav.status.state !== 2) await new Promise((r) => setTimeout(r, 1));
      return performance.now() - t;
    }),
  );
  await sleep(300);
}
moves.sort((a, b) => a - b);
stops.sort((a, b) => a - b);
console.log(`page: move_joints -> its model moving [ms]: median ${percentile(moves, 50).toFixed(0)}, max ${moves.at(-1).toFixed(0)} (5 moves)`);
console.log(`page: stop button -> PROTECT shown on the page [ms]: median ${percentile(stops, 50).toFixed(0)}, max ${stops.at(-1).toFixed(0)} (5 stops)`);
await browser.close();
await server.stop();
