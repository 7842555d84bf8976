"""The reader's idioms of the package, held against the command line where
they share its code: frame ranges as --frames reads them (one table for the
C++ and the Python tests), batches, timestamps, a source's metadata as
`probe --json` prints it, and sound block by block."""

import json
import os
import subprocess
import sys
import uuid
from fractions import Fraction

import numpy
import pytest

import moravane

CLI = os.environ.get("MORAVANE_CLI", "")
TABLE = os.path.join(os.path.dirname(__file__), "..", "data", "frame-ranges.tsv")
ERRORS = {"!syntax": ValueError, "!empty": ValueError, "!outside": IndexError}


def table_rows():
    with open(TABLE) as table:
        for number, line in enumerate(table, 1):
            if line.strip() and not line.startswith("#"):
                cells = line.rstrip("\n").split("\t") + [""]
                text = "" if cells[0] == '""' else cells[0]
                yield pytest.param(text, int(cells[1]), cells[2], cells[3], id="line%d:%s" % (number, text))


def cli(*arguments):
    if not CLI:
        pytest.skip("MORAVANE_CLI is not set: the command line is not built here")
    return subprocess.run([CLI, *arguments], check=True, capture_output=True, timeout=120).stdout


@pytest.mark.parametrize("text, count, expected, message", table_rows())
def test_frame_range_table(text, count, expected, message):
    if expected in ERRORS:
        with pytest.raises(ERRORS[expected]) as caught:
            moravane.frame_range(text, count)
        assert message in str(caught.value)
    else:
        assert list(moravane.frame_range(text, count)) == [int(n) for n in expected.split()]


# The same text renders the same frames in both: the command line's raw
# RGBA against a batch of the package.
@pytest.mark.parametrize("text", ["-3:", "5", "-1", "230:-2:3"])
def test_string_indices_render_what_the_command_line_renders(project, demo_project, text):
    source = project.source("Frame numbers")
    raw = cli("render", demo_project, "-s", "Frame numbers", "--frames", text, "--format", "raw", "-q", "-o", "-")
    batch = source.get_batch(text)
    assert batch.tobytes() == raw
    numbers = list(moravane.frame_range(text, len(source)))
    assert [source.timestamps(n) for n in numbers] == source.timestamps(text) == [Fraction(n, 24) for n in numbers]
    assert len(list(source.frames(text))) == len(numbers)


@pytest.mark.parametrize("name", ["Colour bars", "Frame numbers", "Solid orange", "Still", "Bars and tone", "Tone", "Chirp"])
def test_metadata_is_what_probe_prints(project, demo_project, name):
    metadata = project.source(name).metadata
    printed = json.loads(cli("probe", demo_project, "-s", name, "--json"))
    assert metadata == printed
    assert list(metadata) == list(printed)
    source = project.source(name)
    assert (metadata["name"], uuid.UUID(metadata["guid"])) == (name, source.id)
    assert metadata["nb_frames"] == len(source) and Fraction(metadata["r_frame_rate"]) == source.frame_rate


def test_batches_stack_copies_of_the_frames(project):
    source = project.source("Frame numbers")
    singles = numpy.stack([source[n].copy() for n in (3, 239, 5)])
    for key in ([3, -1, 5], (3, 239, 5), numpy.array([3, -1, 5], dtype=numpy.int16)):
        batch = source[key]
        assert batch.shape == (3, 360, 640, 4) and batch.flags.owndata
        numpy.testing.assert_array_equal(batch, singles)
    numpy.testing.assert_array_equal(source.batch(range(3, 6, 2), depth=8), singles[[0, 2]])
    assert source.get_batch("0:4", width=64, height=36, depth=16).shape == (4, 36, 64, 4)
    for key, kind in [([], ValueError), ([240], IndexError), ([True], TypeError), (numpy.array([[1]]), TypeError),
                      ([1.0], TypeError)]:
        with pytest.raises(kind):
            source[key]


def test_timestamps_are_exact_at_29_97(tmp_path):
    with moravane.link() as server:
        source = server.create_source(tmp_path / "ntsc.orraproj", (64, 36), 10, Fraction(30000, 1001))
        assert len(source) == 300
        assert source.timestamps(1) == Fraction(1001, 30000)
        assert source.timestamps([0, -1, 150]) == [0, Fraction(299 * 1001, 30000), Fraction(150 * 1001, 30000)]
        assert source.timestamps() == [Fraction(n * 1001, 30000) for n in range(300)]
        with pytest.raises(IndexError):
            source.timestamps(300)
        # Rates and times that no short decimal gives read back exactly.
        assert source.metadata["r_frame_rate"] == source.metadata["avg_frame_rate"] == "30000/1001"
        probe = json.loads(cli("probe", str(tmp_path / "ntsc.orraproj"), "-s", str(source.id), "--json"))
        assert source.metadata == probe
        source.project.close()


def section_mappings():
    """Views of named sections in this process: their files lie in the
    private runtime folder of conftest.py."""
    with open("/proc/self/maps") as maps:
        return sum(os.environ["XDG_RUNTIME_DIR"] in line for line in maps)


# blocksize, source, start, seconds, rate, channels, dtype: whole blocks,
# a short last block, and a source that ends before the time asked for.
BLOCKS = [
    (4800, "Chirp", 0, None, 48000, 2, "float32"),
    (1000, "Tone", Fraction(1, 2), 2.25, 44100, 1, "int16"),
    (7, "Chirp", Fraction(399, 100), None, 1000, 3, "float32"),
    (300, "Tone", 9, 3, 1000, 1, "int16"),
]


@pytest.mark.parametrize("blocksize, name, start, seconds, rate, channels, dtype", BLOCKS)
def test_audio_blocks_are_audio_in_pieces(project, blocksize, name, start, seconds, rate, channels, dtype):
    source = project.source(name)
    whole = source.audio(start=start, seconds=seconds, rate=rate, channels=channels, dtype=dtype)
    mapped = section_mappings()
    assert mapped >= 1  # the section `whole` views: what a leak would add to
    blocks = list(source.audio_blocks(blocksize, start=start, seconds=seconds, rate=rate, channels=channels,
                                      dtype=dtype))
    assert [len(b) for b in blocks[:-1]] == [blocksize] * (len(blocks) - 1) and 0 < len(blocks[-1]) <= blocksize
    assert all(b.shape[1:] == (channels,) and b.dtype == numpy.dtype(dtype) for b in blocks)
    numpy.testing.assert_array_equal(numpy.concatenate(blocks), whole)
    del blocks
    assert section_mappings() == mapped


def test_audio_blocks_end_their_render_early(project):
    mapped = section_mappings()
    with project.source("Tone").audio_blocks(480) as blocks:
        first = next(blocks)
        assert blocks.running and first.shape == (480, 2) and section_mappings() == mapped + 1
    assert not blocks.running and list(blocks) == []
    del blocks
    assert section_mappings() == mapped


# Checked before anything reaches the server: with the link closed, a call
# that asked it anything would raise LinkError instead.
@pytest.mark.parametrize("call, kind, text", [
    (lambda s: s.audio_blocks(0), ValueError, "blocksize"),
    (lambda s: s.audio_blocks(10000001), ValueError, "blocksize"),
    (lambda s: s.audio_blocks(4.5), TypeError, "blocksize"),
    (lambda s: s.audio_blocks(480, channels=0), ValueError, "channels"),
    (lambda s: s.audio_blocks(480, dtype="int8"), ValueError, "dtype"),
    (lambda s: s.audio(seconds=-1), ValueError, "seconds"),
])
def test_bad_arguments_fail_before_any_remote_call(demo_project, call, kind, text):
    with moravane.link() as server, server.open(demo_project) as project:
        source = project.source("Tone")
    with pytest.raises(moravane.LinkError):
        source.has_audio
    with pytest.raises(kind, match=text):
        call(source)


@pytest.mark.parametrize("call", [lambda s: s.audio(), lambda s: s.audio_blocks(480)])
def test_sound_of_a_source_without_audio_is_a_value_error(project, call):
    with pytest.raises(ValueError, match="'Colour bars' has no audio"):
        call(project.source("Colour bars"))


# The examples' --frames is the command line's: "238:" runs to the end.
@pytest.mark.parametrize("frames, code, written", [
    ("238:", 0, [238, 239]),
    ("-3::2", 0, [237, 239]),
    ("238:241", 2, []),
    ("2:x", 2, []),
])
def test_examples_take_frame_ranges_as_the_command_line_does(demo_project, tmp_path, frames, code, written):
    example = os.path.join(os.path.dirname(demo_project), "..", "python", "render_png.py")
    run = subprocess.run([sys.executable, example, demo_project, "Frame numbers", "--frames=" + frames, "--output",
                          str(tmp_path)], capture_output=True, text=True, timeout=120)
    assert run.returncode == code, run.stderr
    assert sorted(os.listdir(tmp_path)) == ["frame-%06d.png" % n for n in written]
    assert code == 0 or "--frames: " in run.stderr
