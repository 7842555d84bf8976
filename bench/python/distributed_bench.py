#!/usr/bin/python3
"""Frames per second of moravane.distributed on a LocalCluster beside one
process doing the same work, in one run.

The same frames of the same source, rendered by the same worker-side code:
the one-process baseline runs moravane.distributed's chunk function over
every frame in this process (through one link); the cluster runs it per
chunk on its workers (each through its own link) and brings the results
back in order. Both talk to one reference server, which this program starts
by activation in a private XDG_RUNTIME_DIR/XDG_CONFIG_HOME and ends when it
is done.

    /usr/bin/python3 bench/python/distributed_bench.py [--workers 2] [--frames 480]
        [--size 640x360] [--outputs array,png] [--runs 3]
"""

import argparse
import ctypes
import os
import shutil
import signal
import sys
import tempfile
import time
from fractions import Fraction

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
PR_SET_CHILD_SUBREAPER = 36
# The cluster runs twice: with Dask's defaults, and with the settings that
# docs/python.md gives for render workers on one machine. Dask starts its
# workers with MALLOC_TRIM_THRESHOLD_=65536, which also turns off glibc's
# adaptive mmap threshold, so that every buffer of a frame is mapped,
# faulted in and unmapped again; and it compresses what workers send (lz4),
# which on one machine costs more than it saves.
SETTINGS = [
    ("Dask's defaults", {}),
    ("one-machine settings", {
        "distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": 64 << 20,
        "distributed.nanny.pre-spawn-environ.MALLOC_MMAP_THRESHOLD_": 16 << 20,
        "distributed.comm.compression": None,
    }),
]


def arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--workers", type=int, default=2, help="worker processes, one thread each (default 2)")
    parser.add_argument("--frames", type=int, default=480, help="frames per render (default 480)")
    parser.add_argument("--size", default="640x360", help="frame size WxH (default 640x360)")
    parser.add_argument("--outputs", default="array,png", help="array, png, y4m, nut (default array,png)")
    parser.add_argument("--chunk", type=int, default=None, help="frames per chunk (default: moravane's)")
    parser.add_argument("--runs", type=int, default=3, help="runs of each, alternating (default 3)")
    parser.add_argument("--server", default=os.environ.get(
        "MORAVANE_SERVER", os.path.join(ROOT, "build/default/server/orra_linkserver_host")))
    return parser.parse_args()


def private_world(server):
    """This process's own XDG folders with the server registered there; the
    servers that activation starts become this process's children."""
    root = tempfile.mkdtemp(prefix="moravane-bench-")
    os.environ["XDG_RUNTIME_DIR"] = root
    os.environ["XDG_CONFIG_HOME"] = os.path.join(root, "config")
    import subprocess

    subprocess.run([server, "--register"], check=True, capture_output=True)
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
    return root


def end_servers(server):
    """End the servers this run started (children of this process running
    the server's program), then wait for them."""
    program = os.path.realpath(server)
    me = os.getpid()
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as stat:
                parent = int(stat.read().rsplit(")", 1)[1].split()[1])
            if parent == me and os.path.realpath("/proc/%s/exe" % entry) == program:
                os.kill(int(entry), signal.SIGTERM)
                os.waitpid(int(entry), 0)
        except (OSError, ValueError, IndexError, ChildProcessError):
            continue


def timed(work):
    start = time.perf_counter()
    work()
    return time.perf_counter() - start


def main():
    options = arguments()
    width, height = (int(side) for side in options.size.split("x"))
    outputs = options.outputs.split(",")
    if not os.path.exists(options.server):
        sys.exit("no server at %s (build orra_linkserver_host, or give --server)" % options.server)
    try:
        import moravane
    except ImportError:
        sys.path.insert(0, os.path.join(ROOT, "build/default/python"))
        import moravane
    import dask
    import moravane.distributed as md
    from dask.distributed import Client, LocalCluster

    root = private_world(options.server)
    try:
        project_path = os.path.join(root, "bench.orraproj")
        with moravane.link() as server:  # this process starts the server, in its own environment
            made = server.create_source(project_path, (width, height), Fraction(options.frames, 24), 24)
            ident = (project_path, str(made.id), {})
            made.project.close()
        folder = os.path.join(root, "out")
        frames = range(options.frames)
        print("%d frames %dx%d, %d workers of one thread; frames/s" % (options.frames, width, height,
                                                                         options.workers))
        print("load before: %.2f %.2f %.2f" % os.getloadavg())
        medians = []
        for label, environment in SETTINGS:
            saved = dict(os.environ)  # the nanny writes its workers' environment into this process's
            try:
                with dask.config.set(environment):
                    cluster = LocalCluster(n_workers=options.workers, threads_per_worker=1, processes=True,
                                           dashboard_address=None)
                client = Client(cluster)
                try:
                    # Run 0 is not counted: neither side pays for its first imports and links.
                    for run in range(options.runs + 1):
                        for output in outputs:
                            target = _target(folder, output)
                            _reset(folder)
                            alone = timed(lambda: _one_process(md, ident, frames, output, target))
                            _reset(folder)
                            spread = timed(lambda: md.render(client, ident[:2], frames, output=output, path=target,
                                                             chunk=options.chunk))
                            if run == 0:
                                continue
                            medians.append((label, output, options.frames / alone, options.frames / spread))
                            print("%-22s run %d %-5s one process %7.1f   cluster %7.1f" % (
                                label, run, output, options.frames / alone, options.frames / spread))
                finally:
                    client.close()
                    cluster.close()
            finally:
                os.environ.clear()
                os.environ.update(saved)
        print("load after: %.2f %.2f %.2f" % os.getloadavg())
        print("medians:")
        for label, _ in SETTINGS:
            for output in outputs:
                rows = [row for row in medians if row[:2] == (label, output)]
                alone = sorted(row[2] for row in rows)[len(rows) // 2]
                spread = sorted(row[3] for row in rows)[len(rows) // 2]
                print("  %-22s %-5s one process %7.1f   cluster %7.1f   x%.2f" % (
                    label, output, alone, spread, spread / alone))
        moravane._forget_shared(whole_link=True)
    finally:
        end_servers(options.server)
        shutil.rmtree(root, ignore_errors=True)


def _target(folder, output):
    if output == "array":
        return None
    return os.path.join(folder, "{index:06d}.png" if output == "png" else "clip." + output)


def _reset(folder):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)


def _one_process(md, ident, frames, output, target):
    """What the cluster does, in this process: every frame through the
    worker's chunk function, one chunk."""
    if output in ("array", "png"):
        return md._render_chunk(ident, frames, output, target, 0)
    stream = {"rate": Fraction(1), "aspect": Fraction(1), "depth": 8, "field_order": "progressive", "first": 0,
              "segment": target}
    return md._render_chunk(ident, frames, output, stream, 0)


if __name__ == "__main__":
    main()
