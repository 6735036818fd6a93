#!/usr/bin/env python3
"""Plots the trajectory that bench_motion ran: commanded and measured
position of each joint, and the tracking error, from its CSV output.

    build/bench_motion --csv /tmp/motion.csv
    /usr/bin/python3 bench/plot_motion.py /tmp/motion.csv docs/motion-trajectory.png

Needs matplotlib (Debian: python3-matplotlib).
"""

import csv
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def main(source, target):
    with open(source, newline="", encoding="utf-8") as file:
        rows = [{k: float(v) for k, v in row.items()} for row in csv.DictReader(file)]
    t = [row["t"] for row in rows]
    figure, axes = plt.subplots(3, 2, figsize=(11, 8.5), sharex=True)
    for j, axis in enumerate(axes.flat, start=1):
        commanded = [row[f"commanded_{j}"] for row in rows]
        measured = [row[f"measured_{j}"] for row in rows]
        axis.plot(t, commanded, label="commanded (sampled trajectory)", linewidth=1.6)
        axis.plot(t, measured, "--", label="measured (simulated joint)", linewidth=1.2)
        axis.set_title(f"joint {j}", fontsize=10)
        axis.set_ylabel("position [rad]")
        axis.grid(alpha=0.3)
        error = axis.twinx()
        error.plot(t, [1e3 * (c - m) for c, m in zip(commanded, measured)], color="tab:red", linewidth=0.7,
                   alpha=0.6)
        error.set_ylabel("error [mrad]", color="tab:red", fontsize=8)
        error.tick_params(axis="y", labelcolor="tab:red", labelsize=7)
    for axis in axes[-1]:
        axis.set_xlabel("time since the trajectory started [s]")
    handles, labels = axes.flat[0].get_legend_handles_labels()
    handles.append(plt.Line2D([], [], color="tab:red", linewidth=0.7))
    labels.append("tracking error (right axis)")
    figure.legend(handles, labels, loc="lower center", ncol=3)
    figure.suptitle("followJointTrajectory through five points (cubic spline), simulated arm")
    figure.tight_layout(rect=(0, 0.05, 1, 0.97))
    figure.savefig(target, dpi=90)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: plot_motion.py CSV PNG")
    main(sys.argv[1], sys.argv[2])
