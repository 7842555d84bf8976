"""Frames per second of 1920x1080 BGRA 8-bit colour bars into NumPy from
Python, against the C++ loop over the same kind of link (frames_bench's
Link: the reference server in another process, the host reading every byte
of every frame), measured in one run, alternating, so that both see the
same machine.

Both read each frame once (C++: a checksum over every 64-bit word; Python:
NumPy's sum over the frame seen as 64-bit words), so that neither wins by
leaving the frame alone. Python also reports the frames it gets without
reading them.

    /usr/bin/python3 bench/python/frames_bench.py --build build/default [--rounds 3] [--seconds 3]
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

PROJECT = """orra-project 1
project "Bench" {00000000-0000-4000-8000-000000000001}
source "Bars" {00000000-0000-4000-8000-000000000002}
 duration 25000 25
 size 1920 1080
 rate 25
 video bars
end
"""
FRAMES_IN_SOURCE = 25000


def cpp_link(build, seconds):
    """frames/s of frames_bench's Link, from its JSON report."""
    result = subprocess.run(
        [os.path.join(build, "bench", "frames", "frames_bench"), "--benchmark_filter=^Link/",
         "--benchmark_min_time=%g" % seconds, "--benchmark_format=json"],
        check=True, capture_output=True, text=True)
    report = json.loads(result.stdout)
    return report["benchmarks"][0]["frames/s"]


def python_link(project_path, seconds, read):
    import numpy

    import moravane

    with moravane.link() as server, server.open(project_path) as project:
        source = project.source("Bars")
        frames = source.frames(range(FRAMES_IN_SOURCE), channel_order="BGRA", depth=8)
        with frames:
            # The first frame faults the section in on both sides; as in
            # the C++ loop it is not timed.
            total = int(next(frames).reshape(-1).view(numpy.uint64).sum())
            count = 0
            start = time.perf_counter()
            deadline = start + seconds
            for frame in frames:
                if read:
                    total += int(frame.reshape(-1).view(numpy.uint64).sum())
                count += 1
                if count % 16 == 0 and time.perf_counter() >= deadline:
                    break
            elapsed = time.perf_counter() - start
    return count / elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build/default", help="the default preset's build folder")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=3.0)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    sys.path.insert(0, os.path.join(build, "python"))

    # A private runtime and configuration folder, with the reference server
    # registered there; the C++ program makes its own.
    root = tempfile.mkdtemp(prefix="moravane-pybench-")
    try:
        os.environ["XDG_RUNTIME_DIR"] = root
        os.environ["XDG_CONFIG_HOME"] = os.path.join(root, "config")
        subprocess.run([os.path.join(build, "server", "orra_linkserver_host"), "--register"], check=True,
                       capture_output=True)
        project_path = os.path.join(root, "bench.orraproj")
        with open(project_path, "w") as out:
            out.write(PROJECT)

        cpp, read, unread = [], [], []
        for _ in range(args.rounds):
            cpp.append(cpp_link(build, args.seconds))
            read.append(python_link(project_path, args.seconds, read=True))
            unread.append(python_link(project_path, args.seconds, read=False))
        print("load average before/after: see uptime; %s" % open("/proc/loadavg").read().strip())
        print("C++ Link (render + checksum)       frames/s: %s  median %.1f" %
              (", ".join("%.1f" % v for v in cpp), statistics.median(cpp)))
        print("Python (render + NumPy sum)        frames/s: %s  median %.1f" %
              (", ".join("%.1f" % v for v in read), statistics.median(read)))
        print("Python (render, frame not read)    frames/s: %s  median %.1f" %
              (", ".join("%.1f" % v for v in unread), statistics.median(unread)))
        print("Python / C++ (both reading): %.1f %%" % (100 * statistics.median(read) / statistics.median(cpp)))
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
