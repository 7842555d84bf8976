"""A frame-difference loop: how much each frame of a source differs from
the one before, the way a cut or motion detector starts.

    python3 frame_difference.py PROJECT SOURCE [--frames RANGE] [--downsample N]

RANGE as `moravane-cli render --frames` takes it (A:B frames A up to B,
B excluded; A: to the end; -48: the last 48 frames; ...).

Each frame arrives as a view of the shared section it was rendered into
(no copy) and keeps its picture while it lives, so the previous frame is
simply kept to compare the next one against: the render alternates between
two sections.
"""

import argparse

import numpy

import moravane


def main():
    parser = argparse.ArgumentParser(description="Mean absolute difference between consecutive frames.")
    parser.add_argument("project")
    parser.add_argument("source", help="name or GUID of the source")
    parser.add_argument("--frames", default="0:48", help="the frames compared: A:B (B excluded), A:, -N: ...")
    parser.add_argument("--downsample", type=int, default=4, help="render smaller to compare faster")
    args = parser.parse_args()

    with moravane.link() as server, server.open(args.project) as project:
        source = project.source(args.source)
        try:
            numbers = moravane.frame_range(args.frames, len(source))
        except (ValueError, IndexError) as error:
            parser.error("--frames: %s" % error)  # exit 2, as the command line's wrong usage
        previous = None
        frames = source.frames(numbers, depth=32, downsample=args.downsample)
        for number, frame in zip(numbers, frames):
            rgb = frame[:, :, :3]
            if previous is not None:
                change = float(numpy.abs(rgb - previous).mean())
                print("frame %6d  change %.4f%s" % (number, change, "  <- cut" if change > 0.25 else ""))
            previous = rgb


if __name__ == "__main__":
    main()
