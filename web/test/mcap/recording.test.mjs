// MCAP recordings of kav record read back by the format's own reader
// (@mcap/core, zstd through fzstd): a simulated arm driven by kav play, two
// recorders on its bus, one stopped with Ctrl-C and read through its index
// with every CRC checked, the other killed with SIGKILL and read from its
// start up to its last complete chunk.
//
//   KAV_TOOL=build/kav node --test web/test/mcap/
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import readline from "node:readline";
import { test } from "node:test";
import zlib from "node:zlib";

import { McapIndexedReader, McapStreamReader } from "@mcap/core";
import { decompress } from "fzstd";

const KAV = process.env.KAV_TOOL ?? "kav";
const JOINTS = ["joint1", "joint2", "joint3", "joint4", "joint5", "joint6", "gripper"];
const decompressHandlers = { zstd: (data, size) => decompress(data, new Uint8Array(Number(size))) };

// A running kav with its standard output collected line by line.
class Kav {
  constructor(...args) {
    this.args = args;
    this.process = spawn(KAV, args, { stdio: ["ignore", "pipe", "pipe"] });
    this.lines = [];
    this.errors = "";
    this.waiters = new Set();
    this.exited = new Promise((resolve) => this.process.on("exit", (code, signal) => resolve({ code, signal })));
    this.process.stderr.on("data", (data) => (this.errors += data));
    readline.createInterface({ input: this.process.stdout }).on("line", (line) => {
      this.lines.push(line);
      for (const waiter of this.waiters) waiter();
    });
  }

  // The first line from index `from` on that satisfies `predicate`; its index is `lineIndex`.
  waitFor(predicate, { from = 0, seconds = 30 } = {}) {
    return new Promise((resolve, reject) => {
      const check = () => {
        for (let i = from; i < this.lines.length; ++i) {
          const match = predicate(this.lines[i]);
          if (match) {
            this.waiters.delete(check);
            clearTimeout(timer);
            return resolve({ match, line: this.lines[i], lineIndex: i });
          }
        }
        from = this.lines.length;
      };
      const timer = setTimeout(() => {
        this.waiters.delete(check);
        reject(new Error(`kav ${this.args[0]}: no expected line in ${seconds} s; last: ` +
          `${this.lines.slice(-3).join(" | ")}; stderr: ${this.errors}`));
      }, seconds * 1000);
      this.waiters.add(check);
      check();
    });
  }

  stop(signal) {
    if (this.process.exitCode === null && this.process.signalCode === null) this.process.kill(signal);
    return this.exited;
  }
}

// kav sim's status: the frames the arm accepted and sent, and all frames the bus carried.
const simCounts = (line) => {
  const found = /frames in (\d+) out (\d+) .*\| bus frames (\d+)/.exec(line);
  return found && { in: Number(found[1]), out: Number(found[2]), bus: Number(found[3]) };
};
const recorded = (line) => {
  const found = /(\d+) commands, (\d+) feedback, (\d+) frames/.exec(line);
  return found && { commands: Number(found[1]), feedback: Number(found[2]), frames: Number(found[3]) };
};

// The simulated run: returns the bus's frame counts, the two files and what
// the killed recorder reported before it was killed.
async function recordARun(folder) {
  const bus = `unix:@kav-mcap-${process.pid}`;
  const waypoints = path.join(folder, "waypoints.json");
  fs.writeFileSync(waypoints, JSON.stringify({
    description: "vorlan_v1.1_aa",
    waypoints: [{ joints: [0.3, 0.3, 0.3, -0.3, 0.3, 0.3], gripper: 0.0 }],
  }));
  const full = path.join(folder, "run.mcap");
  const cut = path.join(folder, "killed.mcap");
  const sim = new Kav("sim", "--address", bus, "--status", "0.2");
  const started = [];
  try {
    await sim.waitFor(simCounts);
    const recorder = new Kav("record", "--can", bus, full);
    const victim = new Kav("record", "--can", bus, "--out", cut);
    started.push(recorder, victim);
    await recorder.waitFor(recorded);  // both have joined the bus
    await victim.waitFor(recorded);
    const play = new Kav("play", "--can", bus, waypoints);
    started.push(play);
    // The victim dies once it reported frames written (its chunks close before it reports).
    const { match: beforeKill } = await victim.waitFor((line) => recorded(line)?.frames > 0 && recorded(line));
    assert.equal((await victim.stop("SIGKILL")).signal, "SIGKILL");
    assert.equal((await play.exited).code, 0, play.errors);
    // The bus is quiet once the arm's counts stay the same for a second.
    let total = null;
    for (let from = sim.lines.length, same = 0; same < 5;) {
      const { match, lineIndex } = await sim.waitFor(simCounts, { from });
      same = total && match.bus === total.bus ? same + 1 : 0;
      total = match;
      from = lineIndex + 1;
    }
    await recorder.waitFor((line) => recorded(line)?.frames === total.bus, { seconds: 20 });
    assert.equal((await recorder.stop("SIGINT")).code, 0, recorder.errors);
    return { total, full, cut, beforeKill };
  } finally {
    for (const kav of started) await kav.stop("SIGKILL");
    await sim.stop("SIGINT");
  }
}

function fileReadable(handle, size) {
  return {
    size: async () => BigInt(size),
    read: async (offset, length) => {
      const buffer = Buffer.alloc(Number(length));
      await handle.read(buffer, 0, buffer.length, Number(offset));
      return new Uint8Array(buffer.buffer, buffer.byteOffset, buffer.length);
    },
  };
}

const text = new TextDecoder();

test("kav record writes MCAP that the format's reader checks and reads", { timeout: 120000 }, async (t) => {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), "kav-mcap-"));
  t.after(() => fs.rmSync(folder, { recursive: true, force: true }));
  const run = await recordARun(folder);
  const busFrames = run.total.bus;
  const frames = [];  // the raw frames of the complete file, in order

  await t.test("the indexed reader finds every frame of the bus, with CRCs checked", async () => {
    const bytes = fs.readFileSync(run.full);
    const handle = await fs.promises.open(run.full);
    try {
      const reader = await McapIndexedReader.Initialize({  // checks the summary's CRC
        readable: fileReadable(handle, bytes.length), decompressHandlers,
      });
      assert.equal(zlib.crc32(bytes.subarray(0, Number(reader.dataEndOffset))), reader.dataSectionCrc);
      const topics = new Map([...reader.channelsById.values()].map((c) => [c.id, c.topic]));
      assert.deepEqual([...topics.values()].sort(),
        ["/frames", ...JOINTS.flatMap((j) => [`/commands/${j}`, `/feedback/${j}`])].sort());
      for (const channel of reader.channelsById.values()) {
        assert.equal(channel.messageEncoding, "json");
        const schema = reader.schemasById.get(channel.schemaId);
        assert.equal(schema.encoding, "jsonschema");
        assert.equal(JSON.parse(text.decode(schema.data)).type, "object");
      }
      const counts = new Map();
      for await (const message of reader.readMessages({ validateCrcs: true })) {
        const topic = topics.get(message.channelId);
        counts.set(topic, (counts.get(topic) ?? 0) + 1);
        if (topic === "/frames") frames.push(text.decode(message.data));
      }
      assert.equal(counts.get("/frames"), busFrames);
      const sum = (prefix) => JOINTS.reduce((n, j) => n + (counts.get(`${prefix}/${j}`) ?? 0), 0);
      assert.equal(sum("/commands"), run.total.in);
      assert.equal(sum("/feedback"), run.total.out);
      const statistics = reader.statistics;
      assert.equal(statistics.messageCount, BigInt(busFrames + run.total.in + run.total.out));
      for (const [id, count] of statistics.channelMessageCounts) assert.equal(count, BigInt(counts.get(topics.get(id)) ?? 0));
      assert.equal(statistics.chunkCount, reader.chunkIndexes.length);
      assert.ok(reader.chunkIndexes.length >= 3);
      for (const chunk of reader.chunkIndexes) {
        assert.ok(chunk.messageEndTime - chunk.messageStartTime <= 1000000000n, "a chunk spans at most a second");
        assert.equal(chunk.compression, "zstd");
      }
      const [metadata] = [...reader.metadataIndexes];
      assert.equal(metadata.name, "recording");
      const first = JSON.parse(frames[0]);
      assert.ok(Number.isInteger(first.id) && first.data.length <= 8);
    } finally {
      await handle.close();
    }
  });

  await t.test("a file whose writer was killed reads up to its last chunk", () => {
    const reader = new McapStreamReader({ decompressHandlers, validateCrcs: true, includeChunks: true });
    reader.append(fs.readFileSync(run.cut));
    const topics = new Map();
    const cutFrames = [];
    let chunks = 0;
    for (let record; (record = reader.nextRecord());) {
      if (record.type === "Channel") topics.set(record.id, record.topic);
      if (record.type === "Message" && topics.get(record.channelId) === "/frames") cutFrames.push(text.decode(record.data));
      if (record.type === "Chunk") ++chunks;
    }
    assert.equal(reader.done(), false, "no footer: the writer was killed");
    assert.ok(chunks > 0);
    // Every frame it reported before it was killed is there, the same frames
    // as in the complete recording of the same bus.
    assert.ok(cutFrames.length >= run.beforeKill.frames, `${cutFrames.length} < ${run.beforeKill.frames}`);
    assert.deepEqual(cutFrames, frames.slice(0, cutFrames.length));
  });
});
