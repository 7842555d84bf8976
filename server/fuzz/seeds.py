#!/usr/bin/env python3
"""Writes the server fuzzer's seeds that go beyond the parser into
server/fuzz/corpus/: one project per kind of source, a still image, and
runs of operations that render video and audio with options set. Their
layout is the one fuzz/ProjectParserFuzz.cpp reads."""
import os
import struct
import zlib

OPS = ["low", "premultiply", "field", "roi", "depth", "order", "step", "bounds", "rowbytes", "downsample",
       "guides", "maxmem", "rate", "channels", "encoding", "bytes", "idle", "temporary", "purge", "cachefinal",
       "startvideo", "render", "endvideo", "startaudio", "nextaudio", "endaudio", "root", "walk", "describe",
       "source", "server", "showsource", "close", "create"]


def op(name, *values):
    values = list(values) + [0] * (4 - len(values))
    return bytes([OPS.index(name)]) + struct.pack("<4i", *values)


def png(width, height):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b"".join(
        b"\0" + b"".join(bytes((x * 40 % 256, y * 40 % 256, 128, 200)) for x in range(width)) for y in range(height))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def project(video, audio="", size="64 36"):
    return (f'orra-project 1\nproject "Seed" {{00000000-0000-4000-8000-000000000001}}\n'
            f'source "S" {{00000000-0000-4000-8000-000000000002}}\n  duration 2 1\n  size {size}\n  rate 25\n'
            f'  video {video}\n' + (f"  audio {audio}\n" if audio else "") + "end\n").encode()


video = (op("bounds", 64, 36) + op("roi", 8, 4, 40, 30) + op("downsample", 2, 3) + op("depth", 16) +
         op("order", 1) + op("premultiply", 1) + op("field", 2) + op("rowbytes", 256) + op("maxmem") +
         op("cachefinal", 1) + op("startvideo", 1 << 20) + op("render", 0, 25) + op("render", 1, 25) +
         op("endvideo") + op("startvideo", 1 << 20) + op("render", 1, 25) + op("endvideo") + op("purge"))
float_video = op("depth", 32) + op("low", 1) + op("guides", 1) + op("step", 1, 50) + op("startvideo", 1 << 22) + \
    op("render", 3, 50) + op("endvideo")
audio = (op("rate", 44100, 1) + op("channels", 1) + op("encoding", 0) + op("bytes", 2) +
         op("startaudio", 0, 1, 480, 65536) + op("nextaudio") + op("nextaudio") + op("endaudio") +
         op("encoding", 1) + op("bytes", 4) + op("channels", 6) + op("startaudio", 1, 2, 0, 8192) +
         op("nextaudio") + op("endaudio"))
budgets = op("idle", 1000) + op("temporary", 10) + op("cachefinal", 1) + op("startvideo", 1 << 20) + \
    op("render", 0, 1) + op("endvideo") + op("idle", 1 << 24) + op("purge")
walk = (op("root") + op("describe") + op("walk", 1) + op("describe") + op("walk", 0, 1) + op("describe") +
        op("walk", 1) + op("walk", 0, 0) + op("source", 5) + op("server") + op("showsource", 1, 0, 0x4000, 0x80) +
        op("showsource", 0) + op("create", 320, 240, 0x0101, 0x00010005) + op("create", -1, 0, 0, 0) +
        op("close", 0) + op("close", 1) + op("describe") + op("source", 0) + op("startvideo", 1 << 20))
nested = (b'orra-project 1\nproject "Tree" {00000000-0000-4000-8000-000000000001}\n'
          b'bin "A" {00000000-0000-4000-8000-000000000002}\n'
          b'  source "S" {00000000-0000-4000-8000-000000000003}\n    duration 2 1\n    size 16 9\n    rate 25\n'
          b'    video bars\n  end\n  bin "B" {00000000-0000-4000-8000-000000000004}\n  end\nend\n'
          b'source "T" {00000000-0000-4000-8000-000000000005}\n  duration 1 1\n  rate 25\n  audio sine 440\nend\n')
image = png(4, 3)
seeds = {
    "serve-bars-chirp": (project("bars", "chirp 100 1000.5"), b"", video + audio),
    "serve-framenumber-sine": (project("framenumber", "sine 440"), b"", float_video + audio),
    "serve-solid": (project("solid 255 128 0 128", "silence"), b"", video + budgets),
    "serve-image": (project('image "image.png"', size="4 3"), image, video + float_video + budgets),
    "serve-image-broken": (project('image "image.png"', size="4 3"), image[:40], video),
    "serve-walk": (nested, b"", walk),
}
folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
for name, (text, still, ops) in seeds.items():
    with open(os.path.join(folder, name), "wb") as out:
        out.write(text + b"\0" + struct.pack("<H", len(still)) + still + ops)
