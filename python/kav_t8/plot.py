"""Plots a recording made by ``kav record``.

    python3 -m kav_t8.plot FILE.h5|FILE.mcap [--out FILE.png]

One picture: per joint the commanded against the measured position, the
tracking error of every joint, and a histogram of the intervals between
commands. Exit status 0 on success, 2 on bad usage, 1 when the file cannot be
read or the picture written.
"""

import argparse
import os
import sys

from .recording import JOINTS, Recording


def _broken(times, values, gap=0.05):
    """times and values with a NaN wherever consecutive times lie more than
    gap seconds apart, so that a line is not drawn across a pause."""
    import numpy as np

    if len(times) < 2:
        return times, values
    breaks = np.nonzero(np.diff(times) > gap)[0] + 1
    return (np.insert(np.asarray(times, dtype=float), breaks, np.nan),
            np.insert(np.asarray(values, dtype=float), breaks, np.nan))


def plot(recording, out):
    """Draws recording (a Recording) into the picture file out."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np

    figure = plt.figure(figsize=(14, 16), layout="constrained")
    grid = figure.add_gridspec(len(JOINTS), 2)
    figure.suptitle(f"{os.path.basename(recording.path)}: bus {recording.bus}, "
                    f"started {recording.start_time.isoformat()}")
    axes = None
    for row, joint in enumerate(JOINTS):
        axes = figure.add_subplot(grid[row, 0], sharex=axes)
        t, commanded = recording.commanded_position(joint)
        fb = recording.feedback[joint]
        axes.plot(fb["time"], fb["position"], color="tab:blue", linewidth=1.2, label="measured")
        axes.plot(*_broken(t, commanded), color="tab:orange", linewidth=1.0, linestyle="--", label="commanded")
        axes.set_ylabel(f"{joint}\n[rad]")
        axes.grid(alpha=0.3)
        if row == 0:
            axes.set_title("position: commanded (set-points of position commands) and measured")
            axes.legend(loc="upper right", fontsize="small")
    axes.set_xlabel("time [s]")

    error_axes = figure.add_subplot(grid[0:4, 1])
    for joint in JOINTS:
        t, error = recording.tracking_error(joint)
        if len(t):
            error_axes.plot(*_broken(t, error * 1000.0), linewidth=0.9, label=joint)
    error_axes.set_title("tracking error: commanded minus measured position")
    error_axes.set_xlabel("time [s]")
    error_axes.set_ylabel("[mrad]")
    error_axes.grid(alpha=0.3)
    error_axes.legend(loc="upper right", fontsize="small", ncol=2)

    histogram_axes = figure.add_subplot(grid[4:, 1])
    intervals = np.concatenate([recording.command_intervals(j) for j in JOINTS]) * 1000.0
    if len(intervals):
        histogram_axes.hist(intervals, bins=100, color="tab:green")
        p50, p99 = np.percentile(intervals, [50, 99])
        histogram_axes.set_title(f"intervals between commands to one motor (all motors)\n"
                                 f"median {p50:.2f} ms, p99 {p99:.2f} ms, max {intervals.max():.2f} ms")
    else:
        histogram_axes.set_title("intervals between commands: none recorded")
    histogram_axes.set_yscale("log")
    histogram_axes.set_xlabel("interval [ms]")
    histogram_axes.set_ylabel("commands")
    histogram_axes.grid(alpha=0.3)
    figure.savefig(out, dpi=90)
    plt.close(figure)


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python3 -m kav_t8.plot",
        description="Plot a recording made by kav record: commanded against measured "
                    "position per joint, tracking error, intervals between commands.")
    parser.add_argument("recording", help="the recording (FILE.h5 or FILE.mcap)")
    parser.add_argument("--out", help="the picture to write (default: the recording with .png)")
    options = parser.parse_args(argv)
    out = options.out or os.path.splitext(options.recording)[0] + ".png"
    try:
        recording = Recording(options.recording)
    except (OSError, KeyError, ValueError) as error:
        print(f"kav plot: cannot read {options.recording} as a recording: {error}", file=sys.stderr)
        return 1
    try:
        plot(recording, out)
    except (OSError, ValueError) as error:
        print(f"kav plot: cannot write {out}: {error}", file=sys.stderr)
        return 1
    print(f"wrote {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
