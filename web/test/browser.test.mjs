// The dashboard in Debian's chromium, headless, driven by puppeteer-core,
// against kav serve --sim --allow-control:
//   node browser.test.mjs PATH/TO/kav SCREENSHOT.png
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { mkdirSync } from "node:fs";
import { dirname } from "node:path";
import puppeteer from "puppeteer-core";
import { connect, startServe, waitFor } from "./support.mjs";

const [kav, screenshot] = process.argv.slice(2);
const PROTECT = 2;
let server, browser, page, arm;
const outside = [];

before(async () => {
  // One after the other: chromium's start is heavy, and the arm's bring-up
  // beside it would only share two cores with it.
  server = await startServe(kav, ["--sim", "--allow-control"]);
  browser = await puppeteer.launch({
    executablePath: "/usr/bin/chromium",
    headless: true,
    args: ["--no-sandbox", "--use-angle=swiftshader", "--enable-unsafe-swiftshader", "--window-size=1400,1040"],
    defaultViewport: { width: 1400, height: 1040 },
  });
  page = await browser.newPage();
  page.on("request", (request) => {
    if (!request.url().startsWith(server.http) && !request.url().startsWith("data:")) outside.push(request.url());
  });
  arm = await connect(server.url, { topics: ["/joint_states", "/arm/status"] });
});

after(async () => {
  arm?.close();
  await browser?.close();
  assert.equal(await server?.stop(), 0);
});

test("the page loads from the server alone and draws the arm", async () => {
  await page.goto(`${server.http}/`, { waitUntil: "load" });
  await page.waitForFunction(() => window.kav?.robot && window.kav.jointState && window.kav.connected && window.kav.controlAllowed, { timeout: 30000 });
  await page.waitForFunction(() => window.kav.robot.userData.standIns || window.kav.robot.children.length > 0, { timeout: 30000 });
  // Pixels that change when the model is hidden: the model is drawn.
  const changed = await page.evaluate(async () => {
    const canvas = document.querySelector("#view canvas");
    const frame = () => new Promise((r) => setTimeout(() => requestAnimationFrame(() => requestAnimationFrame(r)), 100));
    const pixels = () => {
      const copy = document.createElement("canvas");
      copy.width = canvas.width;
      copy.height = canvas.height;
      const g = copy.getContext("2d");
      g.drawImage(canvas, 0, 0);
      return g.getImageData(0, 0, copy.width, copy.height).data;
    };
    window.kav.robot.visible = false;
    window.kav.redraw();
    await frame();
    const without = pixels();
    window.kav.robot.visible = true;
    window.kav.redraw();
    await frame();
    const withRobot = pixels();
    let count = 0;
    for (let i = 0; i < without.length; i += 4) {
      if (Math.abs(without[i] - withRobot[i]) + Math.abs(without[i + 1] - withRobot[i + 1]) > 30) ++count;
    }
    return count;
  });
  assert.ok(changed > 1000, `the model covers ${changed} pixels`);
  assert.deepEqual(outside, [], "requests outside the server");
});

test("the model follows a move the sliders send", async () => {
  const target = [0.4, 0.6, 0.5, -0.2, 0.3, 0.25];
  await page.evaluate((target) => {
    target.forEach((value, j) => (document.getElementById(`slider-joint${j + 1}`).value = value));
    document.getElementById("speed").value = "1";
    document.getElementById("move").click();
  }, target);
  // Within the tracking error the arm holds against gravity.
  await waitFor(() => target.every((v, j) => Math.abs(v - arm.last["/joint_states"].position[j]) < 0.02),
    () => `the arm at the sliders' target ${target}: at ${arm.last["/joint_states"].position}, ` +
      `status ${JSON.stringify(arm.last["/arm/status"])}, messages ${JSON.stringify(arm.statuses)}`, 30000);
  // The arm has arrived; the page's model shows where it is.
  const deviation = async () => {
    const angles = await page.evaluate(() =>
      [1, 2, 3, 4, 5, 6].map((j) => window.kav.robot.joints[`joint${j}`].angle));
    const q = arm.last["/joint_states"].position;
    return Math.max(...angles.map((a, j) => Math.abs(a - q[j])));
  };
  const end = Date.now() + 20000;
  let worst = await deviation();
  while (worst > 0.002 && Date.now() < end) {
    await new Promise((r) => setTimeout(r, 50));
    worst = await deviation();
  }
  assert.ok(worst <= 0.002, `the model's joints are ${worst} rad from the arm's`);
  assert.equal(arm.last["/arm/status"].state, 5);
  mkdirSync(dirname(screenshot), { recursive: true });
  await page.screenshot({ path: screenshot });
});

test("the torque plot draws the external torques; Recover waits for a reflex or a fault", async () => {
  await page.waitForFunction(() => window.kav.externalTorques && window.kav.status, { timeout: 20000 });
  const seen = await page.evaluate(() => {
    const canvas = document.getElementById("plot-torque");
    // Below the title row: only the samples and the thresholds draw there.
    const pixels = canvas.getContext("2d").getImageData(0, 20, canvas.width, canvas.height - 20).data;
    let inked = 0;
    for (let i = 3; i < pixels.length; i += 4) if (pixels[i] > 0) ++inked;
    const recover = document.getElementById("recover");
    return {
      torques: window.kav.externalTorques.effort.length,
      inked,
      recover: recover.tagName,
      disabled: recover.disabled,
      contact: document.getElementById("contact").textContent,
      banner: document.getElementById("reflex").hidden,
    };
  });
  assert.equal(seen.torques, 6);
  assert.ok(seen.inked > 500, `the torque plot is drawn (${seen.inked} pixels)`);
  assert.equal(seen.recover, "BUTTON");
  // Control allowed, but neither a reflex nor a fault holds the arm.
  assert.deepEqual([seen.disabled, seen.contact, seen.banner], [true, "no contact", true]);
});

test("the stop button puts the arm in PROTECT", async () => {
  await page.click("#stop");
  await waitFor(() => arm.last["/arm/status"].state === PROTECT, "PROTECT after the stop button", 20000);
  assert.deepEqual(outside, [], "requests outside the server");
});
