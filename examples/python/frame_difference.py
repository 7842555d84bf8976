"""A frame-difference loop: how much each frame of a source differs from
the one before, the way a cut or motion detector starts.

    python3 frame_difference.py PROJECT SOURCE [--frames A:B] [--downsample N]

Each frame arrives as a view of the shared section (no copy); only the
previous frame is kept, as a float copy, to compare the next one against.
"""

import argparse

import numpy

import moravane


def main():
    parser = argparse.ArgumentParser(description="Mean absolute difference between consecutive frames.")
    parser.add_argument("project")
    parser.add_argument("source", help="name or GUID of the source")
    parser.add_argument("--frames", default="0:48", help="A:B compares frames A up to B (excluded)")
    parser.add_argument("--downsample", type=int, default=4, help="render smaller to compare faster")
    args = parser.parse_args()
    first, _, end = args.frames.partition(":")
    first, end = int(first), int(end)

    with moravane.link() as server, server.open(args.project) as project:
        source = project.source(args.source)
        previous = None
        frames = source.frames(range(first, end), depth=32, downsample=args.downsample)
        for number, frame in zip(range(first, end), frames):
            rgb = frame[:, :, :3]
            if previous is not None:
                change = float(numpy.abs(rgb - previous).mean())
                print("frame %6d  change %.4f%s" % (number, change, "  <- cut" if change > 0.25 else ""))
            previous = rgb.copy()


if __name__ == "__main__":
    main()
