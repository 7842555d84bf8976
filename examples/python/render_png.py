"""Render frames of a source to PNG files with only NumPy and the standard
library.

    python3 render_png.py PROJECT SOURCE [--frames RANGE] [--output FOLDER]

SOURCE is a source's name or GUID. RANGE means what it means to
`moravane-cli render --frames` (the same code reads it): N one frame, A:B
frames A up to B (B excluded), A:B:STEP, A: to the end, and negative
numbers from the end (-10: the last ten). The frames are written as
OUTPUT/frame-NNNNNN.png, 8-bit RGBA at the source's size.
"""

import argparse
import os
import struct
import zlib

import moravane


def write_png(path, rgba):
    """An 8-bit RGBA image (height, width, 4) as a PNG file."""
    height, width, _ = rgba.shape

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    # Every row starts with filter type 0 (none); the frame is read once,
    # straight out of the shared section.
    rows = b"".join(b"\0" + rgba[y].tobytes() for y in range(height))
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows, 6)) +
                  chunk(b"IEND", b""))


def main():
    parser = argparse.ArgumentParser(description="Render frames of a source to PNG files.")
    parser.add_argument("project")
    parser.add_argument("source", help="name or GUID of the source")
    parser.add_argument("--frames", default="0", help="N, A:B (B excluded), A:B:STEP, A:, -N from the end")
    parser.add_argument("--output", default=".", help="folder of the PNG files")
    args = parser.parse_args()
    os.makedirs(args.output, exist_ok=True)

    with moravane.link() as server, server.open(args.project) as project:
        source = project.source(args.source)
        try:
            numbers = moravane.frame_range(args.frames, len(source))
        except (ValueError, IndexError) as error:
            parser.error("--frames: %s" % error)  # exit 2, as the command line's wrong usage
        with source.frames(numbers, depth=8, channel_order="RGBA") as frames:
            for number, frame in zip(numbers, frames):
                write_png(os.path.join(args.output, "frame-%06d.png" % number), frame)
    print("wrote %d PNG files to %s" % (len(numbers), args.output))


if __name__ == "__main__":
    main()
