// kav serve against simulated arms, seen from the Foxglove WebSocket
// protocol's own client library: node serve.test.mjs PATH/TO/kav
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { mkdtempSync, mkdirSync, readFileSync, symlinkSync, writeFileSync } from "node:fs";
import { execFileSync } from "node:child_process";
import { request } from "node:http";
import { connect as tcpConnect } from "node:net";
import { tmpdir } from "node:os";
import { join } from "node:path";
import WebSocket from "ws";
import { connect, droppedFor, runServe, startServe, waitFor } from "./support.mjs";

const kav = process.argv[2];
const TOKEN = "s3cret-token";
const TOPICS = ["/joint_states", "/tf", "/robot_description", "/arm/status", "/diagnostics", "/arm/external_torques"];
const PROTECT = 2;
let watching; // --token, no control
let driving; // --allow-control
let meshes; // --urdf and --meshes in a folder of their own
const root = mkdtempSync(join(tmpdir(), "kav-serve-"));
const clients = [];

async function client(server, options = {}) {
  const headers = server === watching ? { Authorization: `Bearer ${TOKEN}`, ...options.headers } : options.headers;
  const c = await connect(server.url, { topics: TOPICS, ...options, headers });
  clients.push(c);
  return c;
}

const lastError = (c) => c.statuses.filter((s) => s.level === 2).at(-1)?.message ?? "";
const lastWarning = (c) => c.statuses.filter((s) => s.level === 1).at(-1)?.message ?? "";
const near = (a, b, tolerance) => b.every((v, i) => Math.abs(v - a[i]) <= tolerance);

before(async () => {
  // A package folder with the description, one mesh it names, a file it
  // does not name and a link that leads out of the folder.
  mkdirSync(join(root, "urdf"));
  mkdirSync(join(root, "meshes"));
  writeFileSync(join(root, "urdf", "arm.urdf"), readFileSync(new URL("../../share/urdf/vorlan_v1.1_aa.urdf", import.meta.url)));
  writeFileSync(join(root, "meshes", "link1.STL"), "solid link1\n");
  writeFileSync(join(root, "meshes", "secret.txt"), "not named\n");
  symlinkSync("/etc/passwd", join(root, "meshes", "link2.STL"));
  [watching, driving, meshes] = await Promise.all([
    startServe(kav, ["--sim", "--token", TOKEN]),
    startServe(kav, ["--sim", "--allow-control"]),
    startServe(kav, ["--sim", "--urdf", join(root, "urdf", "arm.urdf"), "--meshes", root]),
  ]);
});

after(async () => {
  for (const c of clients) c.close();
  const codes = await Promise.all([watching?.stop(), driving?.stop(), meshes?.stop()]);
  assert.deepEqual(codes, [0, 0, 0], "kav serve ends cleanly on SIGTERM");
});

test("advertises the channels with JSON schemas and offers client publishing", async () => {
  const c = await client(watching);
  await waitFor(() => c.serverInfo && c.channels.length === TOPICS.length, "serverInfo and advertise");
  assert.ok(c.serverInfo.capabilities.includes("clientPublish"));
  assert.equal(c.serverInfo.metadata.allow_control, "false");
  const byTopic = Object.fromEntries(c.channels.map((ch) => [ch.topic, ch]));
  assert.deepEqual(Object.keys(byTopic).sort(), [...TOPICS].sort());
  assert.equal(byTopic["/joint_states"].schemaName, "sensor_msgs/JointState");
  assert.equal(byTopic["/tf"].schemaName, "foxglove.FrameTransforms");
  assert.equal(byTopic["/robot_description"].schemaName, "std_msgs/String");
  assert.equal(byTopic["/arm/external_torques"].schemaName, "sensor_msgs/JointState");
  for (const ch of c.channels) {
    assert.equal(ch.encoding, "json");
    assert.equal(ch.schemaEncoding, "jsonschema");
    assert.equal(JSON.parse(ch.schema).type, "object");
  }
  const jointSchema = JSON.parse(byTopic["/joint_states"].schema).properties;
  assert.deepEqual(Object.keys(jointSchema).sort(), ["effort", "header", "name", "position", "velocity"]);
});

test("streams joint states of the arm at home, transforms and the description", async () => {
  const c = await client(watching);
  await waitFor(() => c.counts["/joint_states"] > 50 && c.last["/tf"] && c.last["/robot_description"], "messages");
  const js = c.last["/joint_states"];
  assert.deepEqual(js.name, ["joint1", "joint2", "joint3", "joint4", "joint5", "joint6", "gripper"]);
  for (const field of ["position", "velocity", "effort"]) assert.equal(js[field].length, 7);
  // The simulated arm is brought up and homed: every joint near zero.
  assert.ok(near(js.position.slice(0, 6), [0, 0, 0, 0, 0, 0], 0.02), `home pose, got ${js.position}`);
  const seen = c.counts["/joint_states"];
  await waitFor(() => c.counts["/joint_states"] > seen + 100, "joint states to keep flowing");
  const tf = c.last["/tf"].transforms;
  assert.deepEqual(tf.map((t) => t.child_frame_id).sort(), ["link1", "link2", "link3", "link4", "link5", "link6"]);
  const link1 = tf.find((t) => t.child_frame_id === "link1");
  assert.equal(link1.parent_frame_id, "base_link");
  assert.ok(Math.abs(link1.translation.z - 0.0603) < 1e-9, "joint1's origin from the description");
  const description = readFileSync(new URL("../../share/urdf/vorlan_v1.1_aa.urdf", import.meta.url), "utf8");
  assert.equal(c.last["/robot_description"].data, description);
});

test("without --allow-control only stop is obeyed; malformed input gets errors", async () => {
  const c = await client(watching);
  await waitFor(() => c.last["/arm/status"], "/arm/status");
  const before = c.last["/arm/status"].state;
  assert.notEqual(before, 5);
  c.send({ op: "set_state", state: 5 });
  await waitFor(() => lastError(c).includes("--allow-control"), "a refusal naming --allow-control");
  for (const [bad, says] of [
    ["not json at all", "not JSON"],
    [{ op: "move_joints", target: [0, 0, 0] }, "six"],
    [{ op: "fly" }, "unknown op"],
    [{ op: "gripper" }, "position"],
  ]) {
    c.send(bad);
    await waitFor(() => lastError(c).includes(says), `an error saying "${says}"`);
  }
  c.ws.send("{garbage");
  await waitFor(() => lastError(c).includes("malformed"), "an error for garbage text");
  c.ws.send(Buffer.from([0xff, 1, 2]));
  await waitFor(() => lastError(c).includes("malformed binary"), "an error for a garbage binary message");
  c.ws.send(Buffer.from([1, 99, 0, 0, 0, 0x7b]));
  await waitFor(() => lastError(c).includes("not advertised"), "an error for an unknown client channel");
  const afterwards = c.counts["/joint_states"];
  await waitFor(() => c.counts["/joint_states"] > afterwards + 20, "the server to keep streaming");
  assert.equal(c.last["/arm/status"].state, before, "nothing reached the arm");
  c.send({ op: "stop" });
  await waitFor(() => c.last["/arm/status"].state === PROTECT, "stop to select PROTECT");
});

test("both subprotocol names are accepted", async () => {
  for (const name of ["foxglove.websocket.v1", "foxglove.sdk.v1"]) {
    const c = await client(watching, { subprotocol: name });
    assert.equal(c.ws.protocol, name);
    await waitFor(() => c.counts["/joint_states"] > 5, `joint states over ${name}`);
  }
});

test("a token guards every request", async () => {
  const status = async (path, headers = {}) => (await fetch(watching.http + path, { headers })).status;
  assert.equal(await status("/"), 401);
  assert.equal(await status("/robot/description.urdf"), 401);
  assert.equal(await status(`/?token=${TOKEN}`), 200);
  assert.equal(await status("/robot/description.urdf", { Authorization: `Bearer ${TOKEN}` }), 200);
  assert.equal(await status("/robot/description.urdf", { Authorization: "Bearer wrong" }), 401);
  await assert.rejects(connect(watching.url), /HTTP 401/);
  const viaQuery = await connect(`${watching.url}?token=${TOKEN}`, { topics: ["/joint_states"] });
  clients.push(viaQuery);
  await waitFor(() => viaQuery.counts["/joint_states"] > 0, "joint states with ?token=");
  const open = await runServe(kav, ["--sim", "--listen", "0.0.0.0"]);
  assert.equal(open.code, 2);
  assert.match(open.errors, /needs --token/);
});

test("a stalled client loses its oldest messages, the others keep theirs", async () => {
  const watcher = await client(watching);
  // A raw client that subscribes and then reads nothing.
  const stalled = new WebSocket(watching.url, ["foxglove.websocket.v1"], { headers: { Authorization: `Bearer ${TOKEN}` } });
  let id;
  stalled.on("message", (data, binary) => {
    if (binary) return;
    const message = JSON.parse(data.toString());
    if (message.op === "serverInfo") id = message.metadata.client_id;
    if (message.op === "advertise") {
      // Many subscriptions to the busy channels fill the socket's buffers soon.
      const busy = message.channels.filter((ch) => ch.topic === "/joint_states" || ch.topic === "/tf");
      const subscriptions = [];
      for (let i = 0; i < 32; ++i) subscriptions.push({ id: i, channelId: busy[i % busy.length].id });
      stalled.send(JSON.stringify({ op: "subscribe", subscriptions }));
      stalled._socket.pause();
    }
  });
  await waitFor(() => id !== undefined, "the stalled client's serverInfo");
  const start = watcher.counts["/joint_states"] ?? 0;
  await waitFor(() => droppedFor(watcher.last["/diagnostics"], id) > 0, "drops counted for the stalled client", 40000);
  const [received, dropped] = [watcher.counts["/joint_states"], droppedFor(watcher.last["/diagnostics"], id)];
  await waitFor(() => watcher.counts["/joint_states"] > Math.max(received, start) + 200, "the other client to keep receiving");
  await waitFor(() => droppedFor(watcher.last["/diagnostics"], id) > dropped, "the stalled client's drops to grow");
  assert.equal(droppedFor(watcher.last["/diagnostics"], watcher.serverInfo.metadata.client_id), 0);
  stalled.terminate();
});

test("with --allow-control commands drive the arm; a foreign page may only stop it", async () => {
  const c = await client(driving);
  await waitFor(() => c.last["/arm/status"] && c.last["/joint_states"], "status and joint states");
  const target = [0.3, 0.5, 0.4, 0.1, 0.2, -0.1];
  const foreign = await client(driving, { headers: { Origin: "http://elsewhere.example" } });
  assert.equal(foreign.serverInfo.metadata.foreign_origin, "true");
  foreign.send({ op: "move_joints", target });
  await waitFor(() => lastError(foreign).includes("another site"), "the foreign page's move to be refused");
  c.send({ op: "move_joints", target, speed_scale: 1.0 });
  await waitFor(() => near(c.last["/joint_states"].position, target, 0.02),
    () => `the arm at ${target}: at ${c.last["/joint_states"].position}, status ${JSON.stringify(c.statuses)}`);
  assert.equal(c.last["/arm/status"].state, 5);
  assert.equal(lastError(c), "");
  foreign.send({ op: "stop" });
  await waitFor(() => c.last["/arm/status"].state === PROTECT, "the foreign page's stop to select PROTECT");
});

// Sends @p bytes as one text frame (whatever they are) and resolves to the next status.
function nextStatus(c, bytes, options = {}) {
  const seen = c.statuses.length;
  c.ws.send(bytes, { binary: false, ...options });
  return waitFor(() => c.statuses[seen], "a status message");
}

test("client text is quoted back as a short excerpt of valid UTF-8", async () => {
  const c = await client(driving);
  const cut = Buffer.from(`{"op":"${"é".repeat(50)}`).subarray(0, -1); // ends inside a character
  const huge = `{"op":"${"ß".repeat(100000)}"}`;
  for (const text of [cut, Buffer.from([...Buffer.from('{"op":"'), 0xe9, 0xff]), huge]) {
    const { message } = await nextStatus(c, text);
    assert.ok(message.length < 400, `a short status, got ${message.length} characters`);
  }
  // Topic, encoding and op of a command are quoted the same way.
  const channel = c.client.advertise({ topic: "ü".repeat(5000), encoding: "json", schemaName: "x" });
  c.client.sendMessage(channel, Buffer.from("{}"));
  await waitFor(() => lastError(c).startsWith("no client channel") && lastError(c).length < 400, "an excerpt of the topic");
  c.send({ op: "😀".repeat(5000) });
  await waitFor(() => lastError(c).startsWith("/arm/command refused: unknown op") && lastError(c).length < 400, "an excerpt of the op");
  assert.equal(c.ws.readyState, WebSocket.OPEN, "every status was valid UTF-8 (ws closes on invalid text)");
});

test("frames: fragments are reassembled, RSV bits and duplicate keys refused", async () => {
  const c = await client(driving);
  await waitFor(() => c.last["/arm/status"], "/arm/status");
  const subscribe = JSON.stringify({ op: "subscribe", subscriptions: [{ id: 900, channelId: 999 }] });
  c.ws.send(subscribe.slice(0, 10), { fin: false, binary: false });
  c.ws.send(subscribe.slice(10), { fin: true, binary: false });
  await waitFor(() => lastError(c) === "subscribe: no channel 999", "the fragmented operation to be read whole");
  c.send('{"op": "stop", "op": "move_joints", "target": [0, 0, 0, 0, 0, 0]}');
  await waitFor(() => lastError(c).includes('"op" appears twice'), "a duplicate key refused");
  const closed = new Promise((done) => c.ws.once("close", done));
  c.ws._socket.write(Buffer.from([0xc1, 0x80, 1, 2, 3, 4])); // a text frame with RSV1 set
  assert.equal(await closed, 1002);
});

test("connections are bounded per origin; the own page still gets through and stops the arm", async () => {
  const foreign = { headers: { Origin: "http://other.example" } };
  const held = [];
  for (let i = 0; i < 8; ++i) held.push(await client(driving, foreign));
  await assert.rejects(connect(driving.url, foreign));
  const own = await client(driving, { headers: { Origin: driving.http } });
  assert.equal(own.serverInfo.metadata.foreign_origin, "false");
  own.send({ op: "set_state", state: 5 });
  await waitFor(() => own.last["/arm/status"]?.state === 5, "POSITION_CONTROL");
  own.send({ op: "stop" });
  await waitFor(() => own.last["/arm/status"].state === PROTECT, "the own page's stop");
  // Addresses in /diagnostics only for loopback clients of the own origin.
  const hardware = (c) => c.last["/diagnostics"].status.filter((s) => s.name.startsWith("kav serve: client")).map((s) => s.hardware_id);
  await waitFor(() => own.last["/diagnostics"] && held[0].last["/diagnostics"], "/diagnostics");
  assert.ok(hardware(own).includes("127.0.0.1"));
  assert.ok(!hardware(held[0]).includes("127.0.0.1"), `no addresses for a foreign page: ${hardware(held[0])}`);
  for (const c of held) c.close();
  // A request whose headers never end is cut off by the server.
  const slow = tcpConnect(Number(driving.host.split(":")[1]), "127.0.0.1", () => slow.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
  slow.resume();
  await new Promise((done) => slow.on("close", done));
});

test("only the description and the meshes it names are served, to loopback Host names", async () => {
  const get = (server, path, host) =>
    new Promise((done, fail) => {
      const [hostname, port] = server.host.split(":");
      request({ hostname, port, path, headers: host ? { Host: host } : {} }, (response) => {
        response.resume();
        done(response.statusCode);
      }).on("error", fail).end();
    });
  assert.equal(await get(meshes, "/robot/description.urdf"), 200);
  assert.equal(await get(meshes, "/robot/packages/vorlan_v1.1_aa/meshes/link1.STL"), 200);
  for (const path of ["/robot/packages/vorlan_v1.1_aa/meshes/secret.txt", "/robot/packages/vorlan_v1.1_aa/urdf/arm.urdf",
    "/robot/packages/vorlan_v1.1_aa/meshes/link2.STL", "/robot/packages/vorlan_v1.1_aa/%2e%2e/urdf/arm.urdf"]) {
    assert.equal(await get(meshes, path), 404, path);
  }
  assert.equal(await get(meshes, "/robot/description.urdf", `elsewhere.example:${meshes.host.split(":")[1]}`), 421);
  assert.equal(await get(meshes, "/robot/description.urdf", `localhost:${meshes.host.split(":")[1]}`), 200);
  const fifo = join(root, "arm.fifo");
  execFileSync("mkfifo", [fifo]);
  for (const [path, code, says] of [["/dev/zero", 1, /not a regular file/], [fifo, 1, /not a regular file/],
    [root, 2, /is actually a directory/]]) {
    const refused = await runServe(kav, ["--sim", "--urdf", path]);
    assert.equal(refused.code, code, path);
    assert.match(refused.errors, says, path);
  }
});

test("--listen ::1 is refused, saying why, when civetweb has no IPv6", async () => {
  const ipv6 = await runServe(kav, ["--sim", "--listen", "::1"]);
  assert.notEqual(ipv6.code, 0);
  assert.match(ipv6.errors, /built without IPv6/);
});

test("targets outside their ranges are clamped, and the sender is told so", async () => {
  const c = await client(driving);
  await waitFor(() => c.last["/arm/status"], "/arm/status");
  c.send({ op: "gripper", position: 1e300 });
  await waitFor(() => lastWarning(c).includes("the gripper's target 1e+300 rad is outside [0, 5], clamped to 5 rad"),
    () => `a warning for the gripper, got ${JSON.stringify(c.statuses.at(-1))}`);
  c.send({ op: "joint_positions", positions: [0, -0.2, 0, 0, 0, 0] });
  await waitFor(() => lastWarning(c) === "/arm/command: joint 2's target -0.2 rad is outside [-0.1, 3.6], clamped to -0.1 rad",
    () => `a warning for joint 2, got ${JSON.stringify(c.statuses.at(-1))}`);
  await waitFor(() => near(c.last["/joint_states"].position.slice(0, 3), [0, -0.1, 0], 0.02),
    () => `the arm at the clamped target, at ${JSON.stringify(c.last["/joint_states"].position)} with status ${JSON.stringify(c.last["/arm/status"])}`);
  const warnings = c.statuses.filter((s) => s.level === 1).length;
  c.send({ op: "joint_positions", positions: [0, 0, 0, 0, 0, 0] });
  c.send({ op: "stop" });
  await waitFor(() => c.last["/arm/status"].state === PROTECT, "stop");
  assert.equal(c.statuses.filter((s) => s.level === 1).length, warnings, "no warning for targets within range");
  assert.equal(lastError(c), "");
});

test("collisions: torques, contact, reflex and thresholds are published; recover needs --allow-control", async () => {
  const w = await client(watching);
  await waitFor(() => w.last["/arm/status"] && w.last["/arm/external_torques"], "/arm/status and /arm/external_torques");
  const torques = w.last["/arm/external_torques"];
  assert.deepEqual(torques.name, ["joint1", "joint2", "joint3", "joint4", "joint5", "joint6"]);
  assert.deepEqual([torques.position, torques.velocity], [[], []]);
  const status = w.last["/arm/status"];
  const { lower, upper } = status.collision_thresholds;
  assert.equal(lower.length, 6);
  assert.equal(upper.length, 6);
  lower.forEach((l, j) => assert.ok(l > 0 && l < upper[j], `joint ${j + 1}: contact ${l} below reflex ${upper[j]}`));
  // An earlier test stopped this arm: in PROTECT it sags onto its end stops,
  // whose torque the observer reads as from outside (as it is), and contact
  // may be flagged; a reflex never fires in that state.
  torques.effort.forEach((t, j) => assert.ok(Number.isFinite(t), `joint ${j + 1}: ${t} N·m`));
  assert.equal(typeof status.contact, "boolean");
  assert.equal(status.reflex, false);
  assert.equal(status.reflex_message, "");
  const before = status.state;
  w.send({ op: "recover" });
  await waitFor(() => lastError(w).includes("--allow-control"), "recover refused without --allow-control");
  assert.equal(w.last["/arm/status"].state, before, "nothing reached the arm");

  const d = await client(driving);
  await waitFor(() => d.last["/arm/status"], "/arm/status");
  d.send({ op: "stop" });
  await waitFor(() => d.last["/arm/status"].state === PROTECT, "PROTECT");
  const foreign = await client(driving, { headers: { Origin: "http://elsewhere.example" } });
  foreign.send({ op: "recover" });
  await waitFor(() => lastError(foreign).includes("another site"), "a foreign page's recover refused");
  d.send({ op: "recover" });
  const outcome = await waitFor(() => d.statuses.find((s) => s.message.includes("recover")), "the recover's outcome");
  assert.deepEqual([outcome.level, outcome.message],
    [0, "/arm/command: recovered, holding the present pose in POSITION_CONTROL"]);
  await waitFor(() => d.last["/arm/status"].state === 5 && d.last["/arm/status"].error_codes.some((e) => e.code === 176),
    () => `POSITION_CONTROL and code 176 after the recovery, got ${JSON.stringify(d.last["/arm/status"])}`);
  assert.equal(d.last["/arm/status"].control_active, true);
  assert.equal(d.last["/arm/status"].reflex, false);
  // A stop right behind a recover is not lost: during the recovery it
  // follows it, else it is obeyed at once.
  const seen = d.statuses.length;
  d.send({ op: "recover" });
  d.send({ op: "stop" });
  await waitFor(() => d.statuses.slice(seen).some((s) => s.message.includes("recovered")), "the second recover's outcome");
  await waitFor(() => d.last["/arm/status"].state === PROTECT, "PROTECT from the stop sent during the recovery");
  assert.deepEqual(d.statuses.slice(seen).filter((s) => s.level === 2), [], "no command failed");
});
