// The dashboard page of kav serve: the arm in 3D from its description, the
// joints live, plots (the external torques with their thresholds among them),
// state buttons, a stop button, joint sliders, contact, the reflex and a
// recover button, the error list and the connection. Everything comes from the server that served the
// page: the description and meshes over HTTP, the rest over the Foxglove
// WebSocket protocol.
import * as THREE from "three";
import { OrbitControls } from "three/examples/jsm/controls/OrbitControls.js";
import { STLLoader } from "three/examples/jsm/loaders/STLLoader.js";
import URDFLoader from "urdf-loader";
import { FoxgloveClient } from "@foxglove/ws-protocol";
import { Plot } from "./plot.js";

const JOINTS = ["joint1", "joint2", "joint3", "joint4", "joint5", "joint6", "gripper"];
// The joint limits of the arm (config::kJointLower / kJointUpper).
const LOWER = [-3.14, -0.1, -0.1, -1.29, -1.4835, -1.7453];
const UPPER = [2.618, 3.6, 3.0, 1.29, 1.4835, 1.7453];
const STATES = ["SOFT", "GO_HOME", "PROTECT", "G_COMPENSATION", "END_CONTROL", "POSITION_CONTROL"];

const kav = { robot: null, jointState: null, externalTorques: null, status: null, connected: false, controlAllowed: false };
window.kav = kav;
const $ = (id) => document.getElementById(id);
const decoder = new TextDecoder();
const encoder = new TextEncoder();

// ------------------------------------------------------------------ 3D view
const view = $("view");
const renderer = new THREE.WebGLRenderer({ antialias: true, preserveDrawingBuffer: true });
renderer.setPixelRatio(window.devicePixelRatio);
view.appendChild(renderer.domElement);
const scene = new THREE.Scene();
scene.background = new THREE.Color(0xdfe3e8);
const camera = new THREE.PerspectiveCamera(45, 1, 0.01, 20);
camera.position.set(0.5, 0.42, 0.55);
const controls = new OrbitControls(camera, renderer.domElement);
controls.target.set(0, 0.17, 0);
controls.update();
scene.add(new THREE.HemisphereLight(0xffffff, 0x667788, 2.0));
const sun = new THREE.DirectionalLight(0xffffff, 1.5);
sun.position.set(1, 2, 1.5);
scene.add(sun);
scene.add(new THREE.GridHelper(1, 20, 0x889099, 0xb8bfc6));

let dirty = true; // the scene changed since it was last drawn
let drawn = 0;
kav.redraw = () => (dirty = true);

function resize() {
  const { clientWidth: w, clientHeight: h } = view;
  renderer.setSize(w, h, false);
  camera.aspect = w / Math.max(h, 1);
  camera.updateProjectionMatrix();
  dirty = true;
}
window.addEventListener("resize", resize);
resize();
// Drawn when something changed, at most 30 times a second: the view runs
// beside the arm's own processes, often on the same computer.
controls.addEventListener("change", () => (dirty = true));
(function draw(now) {
  if (dirty && !(now - drawn < 33)) {
    renderer.render(scene, camera);
    dirty = false;
    drawn = now;
  }
  requestAnimationFrame(draw);
})();

// Meshes the server does not have are drawn as links between the joints.
let meshesMissing = 0;
function addStandIns(robot) {
  const material = new THREE.MeshStandardMaterial({ color: 0x90a4ae, metalness: 0.3, roughness: 0.5 });
  const jointBall = new THREE.MeshStandardMaterial({ color: 0xff8f00 });
  for (const joint of Object.values(robot.joints)) {
    const parent = joint.parent;
    const length = joint.position.length();
    if (length > 1e-6) {
      const bone = new THREE.Mesh(new THREE.CylinderGeometry(0.012, 0.012, length, 16), material);
      bone.position.copy(joint.position).multiplyScalar(0.5);
      bone.quaternion.setFromUnitVectors(new THREE.Vector3(0, 1, 0), joint.position.clone().normalize());
      parent.add(bone);
    }
    const ball = new THREE.Mesh(new THREE.SphereGeometry(0.02, 20, 12), jointBall);
    joint.add(ball);
  }
}

function loadRobot() {
  const loader = new URDFLoader();
  loader.packages = (pkg) => `/robot/packages/${pkg}`;
  loader.loadMeshCb = (url, manager, material, done) => {
    new STLLoader(manager).load(
      url,
      (geometry) => done(new THREE.Mesh(geometry, material)),
      undefined,
      () => {
        ++meshesMissing;
        done(new THREE.Group());
      },
    );
  };
  loader.manager.onLoad = () => {
    if (meshesMissing > 0 && kav.robot && !kav.robot.userData.standIns) {
      kav.robot.userData.standIns = true;
      addStandIns(kav.robot);
      dirty = true;
      note(`${meshesMissing} meshes not on the server: links drawn as bars`);
    }
  };
  loader.load("/robot/description.urdf", (robot) => {
    robot.rotation.x = -Math.PI / 2; // the description is z-up
    scene.add(robot);
    kav.robot = robot;
    dirty = true;
    if (kav.jointState) applyJoints(kav.jointState);
  }, undefined, (error) => note(`cannot load the robot description: ${error}`));
}

function applyJoints(state) {
  if (!kav.robot) return;
  state.name.forEach((name, i) => {
    if (kav.robot.joints[name] && kav.robot.setJointValue(name, state.position[i])) dirty = true;
  });
}

// --------------------------------------------------------- table and plots
const rows = JOINTS.map((name, j) => {
  const tr = document.createElement("tr");
  tr.innerHTML = `<td>${name}</td><td></td><td></td><td></td><td></td>`;
  if (j < 6) {
    const slider = document.createElement("input");
    Object.assign(slider, { type: "range", min: LOWER[j], max: UPPER[j], step: 0.001, value: 0 });
    slider.id = `slider-${name}`;
    slider.title = name;
    tr.cells[4].appendChild(slider);
  }
  $("joints").tBodies[0].appendChild(tr);
  return tr;
});
const sliders = JOINTS.slice(0, 6).map((name) => $(`slider-${name}`));
let slidersTouched = false;
sliders.forEach((s) => s.addEventListener("input", () => (slidersTouched = true)));
const plots = {
  position: new Plot($("plot-position"), "positions [rad]", JOINTS),
  velocity: new Plot($("plot-velocity"), "velocities [rad/s]", JOINTS),
  effort: new Plot($("plot-effort"), "currents [A]", JOINTS),
  torque: new Plot($("plot-torque"), "external torques [N·m]", JOINTS.slice(0, 6)),
};
(function redraw() {
  for (const plot of Object.values(plots)) plot.draw();
  if (kav.jointState) {
    const s = kav.jointState;
    rows.forEach((tr, j) => {
      tr.cells[1].textContent = s.position[j]?.toFixed(4);
      tr.cells[2].textContent = s.velocity[j]?.toFixed(3);
      tr.cells[3].textContent = s.effort[j]?.toFixed(3);
    });
    if (!slidersTouched) sliders.forEach((slider, j) => (slider.value = s.position[j]));
  }
  setTimeout(() => requestAnimationFrame(redraw), 50);
})();

// ------------------------------------------------------------------ status
function note(text) {
  const li = document.createElement("li");
  li.textContent = `${new Date().toLocaleTimeString()} ${text}`;
  $("messages").prepend(li);
  while ($("messages").children.length > 8) $("messages").lastChild.remove();
}

function showStatus(status) {
  kav.status = status;
  $("arm-state").textContent = `state: ${status.state_name} (${status.state})` +
    (status.control_active ? "" : ", control ended");
  $("arm-state").className = status.control_active ? "state-good" : "state-bad";
  const list = $("errors");
  list.replaceChildren();
  for (const error of status.error_codes) {
    const li = document.createElement("li");
    li.textContent = `${error.code}: ${error.meaning}` + (error.count > 1 ? ` (×${error.count})` : "");
    list.appendChild(li);
  }
  if (status.error_codes.length === 0) list.innerHTML = `<li class="none">none</li>`;
  $("contact").textContent = status.contact ? "CONTACT" : "no contact";
  $("contact").className = status.contact ? "on" : "";
  $("reflex").hidden = !status.reflex;
  $("reflex").textContent = status.reflex ? `Reflex: ${status.reflex_message}` : "";
  const { lower, upper } = status.collision_thresholds;
  plots.torque.setLevels([
    ...lower.flatMap((value, series) => [{ value, series, dash: [2, 3] }, { value: -value, series, dash: [2, 3] }]),
    ...upper.flatMap((value, series) => [{ value, series, dash: [8, 4] }, { value: -value, series, dash: [8, 4] }]),
  ]);
  updateRecover();
}

// Recover is offered when control is allowed and a reflex or a fault holds the arm.
function updateRecover() {
  const held = kav.status && (kav.status.reflex || !kav.status.control_active);
  $("recover").disabled = !(kav.controlAllowed && held);
}

function setControl(allowed, why) {
  kav.controlAllowed = allowed;
  $("control").textContent = allowed ? "control: allowed" : `control: stop only (${why})`;
  for (const element of [...sliders, $("move"), $("speed"), ...$("states").children]) element.disabled = !allowed;
  updateRecover();
}

// -------------------------------------------------------------- connection
let client = null;
let commandChannel = null;

function send(command) {
  if (!client || commandChannel == null) {
    note("not connected: command not sent");
    return false;
  }
  client.sendMessage(commandChannel, encoder.encode(JSON.stringify(command)));
  return true;
}
kav.send = send;

function connect() {
  const url = `${location.protocol === "https:" ? "wss" : "ws"}://${location.host}/${location.search}`;
  client = new FoxgloveClient({ ws: new WebSocket(url, [FoxgloveClient.SUPPORTED_SUBPROTOCOL]) });
  const topics = new Map();
  client.on("open", () => {
    kav.connected = true;
    $("connection").textContent = "connected";
    $("connection").className = "state-good";
    commandChannel = client.advertise({ topic: "/arm/command", encoding: "json", schemaName: "kav/ArmCommand" });
  });
  client.on("serverInfo", (info) => {
    const meta = info.metadata ?? {};
    if (meta.foreign_origin === "true") setControl(false, "page of another site");
    else setControl(meta.allow_control === "true", "kav serve without --allow-control");
  });
  client.on("advertise", (channels) => {
    for (const channel of channels) {
      if (["/joint_states", "/arm/status", "/arm/external_torques"].includes(channel.topic)) {
        topics.set(client.subscribe(channel.id), channel.topic);
      }
    }
  });
  client.on("message", ({ subscriptionId, data }) => {
    const message = JSON.parse(decoder.decode(data));
    const topic = topics.get(subscriptionId);
    if (topic === "/joint_states") {
      kav.jointState = message;
      applyJoints(message);
      const t = message.header.stamp.sec + message.header.stamp.nsec * 1e-9;
      plots.position.add(t, message.position);
      plots.velocity.add(t, message.velocity);
      plots.effort.add(t, message.effort);
    } else if (topic === "/arm/external_torques") {
      kav.externalTorques = message;
      plots.torque.add(message.header.stamp.sec + message.header.stamp.nsec * 1e-9, message.effort);
    } else if (topic === "/arm/status") {
      showStatus(message);
    }
  });
  client.on("status", (status) => note(status.message));
  client.on("close", () => {
    kav.connected = false;
    commandChannel = null;
    $("connection").textContent = "disconnected: retrying";
    $("connection").className = "state-bad";
    setTimeout(connect, 1000);
  });
  client.on("error", () => {});
}

// ------------------------------------------------------------------ buttons
$("stop").addEventListener("click", () => send({ op: "stop" }));
$("recover").addEventListener("click", () => send({ op: "recover" }));
STATES.forEach((name, state) => {
  if (name === "END_CONTROL") return; // needs a pose, not a button
  const button = document.createElement("button");
  button.textContent = name;
  button.addEventListener("click", () => send({ op: "set_state", state }));
  $("states").appendChild(button);
});
$("move").addEventListener("click", () => {
  send({ op: "move_joints", target: sliders.map((s) => Number(s.value)), speed_scale: Number($("speed").value) });
  slidersTouched = false;
});
sliders.forEach((slider) => slider.addEventListener("change", () => $("move").click()));

setControl(false, "connecting");
loadRobot();
connect();
