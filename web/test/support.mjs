// Shared by the Node tests and the benchmark: start kav serve, connect a
// Foxglove WebSocket client to it, wait for conditions.
import { spawn } from "node:child_process";
import protocol from "@foxglove/ws-protocol";
import WebSocket from "ws";

const { FoxgloveClient } = protocol;
const decoder = new TextDecoder();

/** Starts `kav serve ARGS --port 0` and resolves once it prints its address. */
export function startServe(kav, args, { startTimeoutMs = 60000 } = {}) {
  const proc = spawn(kav, ["serve", "--port", "0", ...args], { stdio: ["ignore", "pipe", "pipe"] });
  let output = "";
  let errors = "";
  proc.stderr.on("data", (chunk) => (errors += chunk));
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`kav serve did not start: ${errors}`)), startTimeoutMs);
    proc.on("exit", (code) => {
      clearTimeout(timer);
      reject(new Error(`kav serve exited with ${code}: ${errors}`));
    });
    proc.stdout.on("data", (chunk) => {
      output += chunk;
      const found = /Foxglove ws:\/\/([\d.]+):(\d+)/.exec(output);
      if (!found) return;
      clearTimeout(timer);
      proc.removeAllListeners("exit");
      const server = {
        proc,
        host: `${found[1]}:${found[2]}`,
        url: `ws://${found[1]}:${found[2]}/`,
        http: `http://${found[1]}:${found[2]}`,
        stop: () =>
          new Promise((done) => {
            if (proc.exitCode !== null) return done(proc.exitCode);
            proc.on("exit", (code) => done(code));
            proc.kill("SIGTERM");
          }),
      };
      resolve(server);
    });
  });
}

/** Runs `kav serve ARGS` expecting it to end by itself; resolves to its status and standard error. */
export function runServe(kav, args) {
  const proc = spawn(kav, ["serve", ...args], { stdio: ["ignore", "pipe", "pipe"] });
  let errors = "";
  proc.stderr.on("data", (chunk) => (errors += chunk));
  return new Promise((resolve) => proc.on("exit", (code) => resolve({ code, errors })));
}

/**
 * A Foxglove client that subscribes to @p topics and keeps, per topic, the
 * message count and the last message; status messages are collected.
 */
export function connect(url, { topics = [], subprotocol = FoxgloveClient.SUPPORTED_SUBPROTOCOL, headers } = {}) {
  const ws = new WebSocket(url, [subprotocol], { headers });
  const client = new FoxgloveClient({ ws });
  const state = {
    ws,
    client,
    serverInfo: null,
    channels: [],
    counts: {},
    last: {},
    stamps: {},
    statuses: [],
    onMessage: null,
    commandChannel: null,
    send(command) {
      const text = typeof command === "string" ? command : JSON.stringify(command);
      client.sendMessage(state.commandChannel, new TextEncoder().encode(text));
    },
    close() {
      client.close();
    },
  };
  const bySubscription = new Map();
  client.on("serverInfo", (info) => (state.serverInfo = info));
  client.on("status", (status) => state.statuses.push(status));
  client.on("advertise", (channels) => {
    state.channels.push(...channels);
    for (const channel of channels) {
      if (topics.includes(channel.topic)) bySubscription.set(client.subscribe(channel.id), channel.topic);
    }
  });
  client.on("message", ({ subscriptionId, timestamp, data }) => {
    const topic = bySubscription.get(subscriptionId);
    const message = JSON.parse(decoder.decode(data));
    state.counts[topic] = (state.counts[topic] ?? 0) + 1;
    state.last[topic] = message;
    if (state.onMessage) state.onMessage(topic, message, timestamp);
  });
  return new Promise((resolve, reject) => {
    ws.once("unexpected-response", (_request, response) => reject(new Error(`HTTP ${response.statusCode}`)));
    ws.once("error", reject);
    client.on("open", () => {
      state.commandChannel = client.advertise({ topic: "/arm/command", encoding: "json", schemaName: "kav/ArmCommand" });
    });
    client.on("serverInfo", () => resolve(state));
  });
}

/** Polls @p condition every 20 ms until it holds; fails after @p timeoutMs saying @p what (a text or a function giving one). */
export async function waitFor(condition, what, timeoutMs = 20000) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    const value = condition();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out waiting for ${typeof what === "function" ? what() : what}`);
    await new Promise((r) => setTimeout(r, 20));
  }
}

/** The drop count /diagnostics reports for client @p id, or undefined. */
export function droppedFor(diagnostics, id) {
  const entry = diagnostics?.status.find((s) => s.name === `kav serve: client ${id}`);
  const value = entry?.values.find((v) => v.key === "dropped");
  return value ? Number(value.value) : undefined;
}
