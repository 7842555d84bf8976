"""The Python package against the reference server process, started by
activation in the private world of conftest.py: what the demo sources hold
and render, that frames are views of the section, how every failure comes
back, and that the GIL is free while the server works."""

import os
import struct
import subprocess
import zlib
import signal
import sys
import threading
import time
import uuid
from fractions import Fraction

import numpy
import pytest

import moravane
from conftest import server_processes

E_FAIL = 0x80004005 - (1 << 32)
E_INVALIDARG = 0x80070057 - (1 << 32)
E_UNEXPECTED = 0x8000FFFF - (1 << 32)
FILE_NOT_FOUND = 0x80070002 - (1 << 32)
ALREADY_EXISTS = 0x800700B7 - (1 << 32)
SERVER_UNAVAILABLE = 0x800706BA - (1 << 32)

GUID = "4D0A7E10-6A1B-4C2D-8E3F-0000000000%s"
SCALE = {8: 255, 16: 65535, 32: 1.0}
DTYPE = {8: numpy.uint8, 16: numpy.uint16, 32: numpy.float32}

# name, GUID suffix, duration, size, fps, has_video, has_audio
DEMO_SOURCES = [
    ("Colour bars", "10", 10, (640, 360), 24, True, False),
    ("Frame numbers", "11", 10, (640, 360), 24, True, False),
    ("Solid orange", "12", 10, (320, 180), 24, True, False),
    ("Still", "13", 10, (640, 360), 24, True, False),
    ("Bars and tone", "14", 10, (1280, 720), 25, True, True),
    ("Tone", "20", 10, None, 24, False, True),
    ("Chirp", "21", 4, None, 24, False, True),
]


def test_item_tree_of_the_demo_project(project):
    assert project.name == "Demo"
    assert os.path.samefile(project.path, os.path.join(os.environ["MORAVANE_DEMO_DIR"], "demo.orraproj"))
    assert [item.name for item in project] == ["Pictures", "Sounds"]
    walked = [(item.name, item.is_source, item.is_container) for item in project.walk()]
    assert walked == [
        ("Pictures", False, True),
        ("Colour bars", True, False),
        ("Frame numbers", True, False),
        ("Solid orange", True, False),
        ("Still", True, False),
        ("Bars and tone", True, False),
        ("Sounds", False, True),
        ("Tone", True, False),
        ("Chirp", True, False),
        ("Notes", False, False),
    ]
    notes = list(project.walk())[-1]
    assert notes.id == uuid.UUID(GUID % "30")
    assert notes.parent.name == "Sounds"
    assert notes.as_source() is None
    assert [source.name for source in project.sources()] == [row[0] for row in DEMO_SOURCES]


# `key in project` asks for a source, as `project[key]` finds one: a bin or
# an item that renders nothing is not one.
CONTAINS = [
    ("Colour bars", True),
    (GUID % "10", True),
    (uuid.UUID(GUID % "21"), True),
    ("Pictures", False),
    ("Notes", False),
    (uuid.UUID(GUID % "30"), False),
    ("colour bars", False),
    (uuid.UUID(int=1), False),
    (10, False),
]


def test_reader_idioms(project, demo_project):
    import moravane

    assert moravane.__version__.count(".") == 2
    assert [(key in project) for key, _ in CONTAINS] == [expected for _, expected in CONTAINS]
    # A source's block ends the render that source[i] keeps running; the
    # source renders on after it, from a new one.
    with project["Colour bars"] as bars:
        first = bars[3].copy()
    numpy.testing.assert_array_equal(bars[3], first)
    bars.close()
    # moravane.open's project owns its link: closing one lets go of both.
    with moravane.open(demo_project) as opened:
        assert "Tone" in opened
        numpy.testing.assert_array_equal(opened["Colour bars"][3], first)
        server = opened.server
    with pytest.raises(moravane.LinkError) as lost:
        server.version
    assert lost.value.should_reconnect
    with pytest.raises(moravane.LinkError):
        moravane.open(os.path.join(os.path.dirname(demo_project), "missing.orraproj"))

@pytest.mark.parametrize("name, suffix, duration, size, fps, video, audio", DEMO_SOURCES)
def test_metadata_of_every_demo_source(project, name, suffix, duration, size, fps, video, audio):
    by_name = project.source(name)
    for source in (by_name, project.source(uuid.UUID(GUID % suffix)), project["{%s}" % (GUID % suffix)]):
        assert source.id == uuid.UUID(GUID % suffix)
        assert source.name == name
    source = by_name
    assert source.duration == Fraction(duration) and isinstance(source.duration, Fraction)
    assert source.pixel_aspect == 1 and isinstance(source.pixel_aspect, Fraction)
    assert source.fps == fps and source.frame_rate == fps
    assert (source.has_video, source.has_audio) == (video, audio)
    assert len(source) == duration * fps
    if size is not None:
        assert source.size == size
        assert source.bit_depth == 8
        assert source[0].shape == (size[1], size[0], 4)
    assert isinstance(source.timestamp, int)
    assert not source.is_newer_than(source.timestamp)


# Which of R, G, B each of the seven bars turns on.
BARS = [(1, 1, 1), (1, 1, 0), (0, 1, 1), (0, 1, 0), (1, 0, 1), (1, 0, 0), (0, 0, 1)]
# Where R, G, B, A land in memory for each channel order.
PLACES = {"RGBA": [0, 1, 2, 3], "BGRA": [2, 1, 0, 3], "ARGB": [1, 2, 3, 0]}


@pytest.mark.parametrize("depth", [8, 16, 32])
@pytest.mark.parametrize("order", ["RGBA", "BGRA", "ARGB"])
def test_colour_bars_are_exact(project, depth, order):
    with project.source("Colour bars").frames([5], depth=depth, channel_order=order) as frames:
        frame = next(frames)
    assert frame.shape == (360, 640, 4) and frame.dtype == DTYPE[depth]
    on = {8: 191, 16: 49151, 32: numpy.float32(0.75)}[depth]
    columns = numpy.arange(640) * 7 // 640
    expected = numpy.zeros((640, 4), DTYPE[depth])
    for channel in range(3):
        expected[:, PLACES[order][channel]] = numpy.array([bar[channel] for bar in BARS])[columns] * on
    expected[:, PLACES[order][3]] = SCALE[depth]
    for row in (0, 180, 359):
        numpy.testing.assert_array_equal(frame[row], expected)


# Options that change the frame's shape or layout: what the array must be,
# as a slice of the plain frame at the same time.
LAYOUTS = [
    ({"width": 320, "height": 180, "low_quality": True}, (180, 320), lambda full: full[::2, ::2]),
    ({"downsample": 2, "low_quality": True}, (180, 320), lambda full: full[::2, ::2]),
    ({"downsample": (4, 2), "low_quality": True}, (180, 160), lambda full: full[::2, ::4]),
    ({"region": (100, 50, 420, 290)}, (240, 320), lambda full: full[50:290, 100:420]),
    ({"row_bytes": 640 * 4 + 64}, (360, 640), lambda full: full),
]


@pytest.mark.parametrize("options, shape, expected", LAYOUTS)
def test_layout_options_shape_the_array(project, options, shape, expected):
    source = project.source("Still")
    # Low quality also picks the image's nearest pixel: the plain frame must
    # be rendered the same way.
    full = source.frames([3], low_quality=options.get("low_quality", False)).render(3).copy()
    with source.frames([3], **options) as frames:
        frame = next(frames)
        assert frame.shape == shape + (4,)
        assert frame.strides == (options.get("row_bytes", shape[1] * 4), 4, 1)
        numpy.testing.assert_array_equal(frame, expected(full))


def decode_number(frame, depth):
    """The frame number that the pattern shows, read at the block centres."""
    height, width = frame.shape[:2]
    band = 3 * height // 4
    number = 0
    for bit in range(24):
        x = (2 * (bit % 8) + 1) * width // 16
        y = (2 * (bit // 8) + 1) * band // 6
        if frame[y, x, 0] / SCALE[depth] > 0.5:
            number |= 1 << bit
    return number


@pytest.mark.parametrize("depth", [8, 16, 32])
def test_frame_number_pattern_shows_every_frame_asked(project, depth):
    source = project.source("Frame numbers")
    wanted = [0, 1, 2, 23, 100, 170, 239]
    seen = [decode_number(frame, depth) for frame in source.frames(wanted, depth=depth)]
    assert seen == wanted
    # Indexing, negative indexing and slices reach the same frames.
    assert decode_number(source[-1], 8) == 239
    assert [decode_number(f, 8) for f in source[10:40:7]] == [10, 17, 24, 31, 38]
    batch = source.batch([3, 5, 7], depth=depth, width=320, height=180)
    assert batch.shape == (3, 180, 320, 4) and batch.dtype == DTYPE[depth]
    assert [decode_number(f, depth) for f in batch] == [3, 5, 7]


def address(frame):
    return frame.__array_interface__["data"][0]


def test_frames_are_values_without_a_copy(project):
    source = project.source("Frame numbers")
    with source.frames(range(100)) as frames:
        kept = list(frames)
        # One section per kept frame, each frame a view of its own.
        assert frames.sections == 100
    assert [decode_number(f, 8) for f in kept] == list(range(100))
    assert len({address(f) for f in kept}) == 100
    assert all(not f.flags.owndata and not f.flags.writeable and f.base.section for f in kept)
    for index in (0, 42, 99):
        numpy.testing.assert_array_equal(kept[index], source[index])
    with pytest.raises(ValueError):
        kept[0][0, 0, 0] = 1
    # A frame kept across 1,000 later renders keeps its picture, and a loop
    # that drops each frame before the next reuses two sections.
    first = source[5]
    picture = first.copy()
    with source.frames([i % 240 for i in range(1000)]) as frames:
        for frame in frames:
            pass
        assert frames.sections <= 2
    numpy.testing.assert_array_equal(first, picture)
    # A frame keeps its section mapped after the render and source are gone.
    frames = source.frames([11])
    last = next(frames)
    del frames, source
    assert decode_number(last, 8) == 11


def test_frame_memory_limit_copies_the_oldest_frame_out(project):
    source = project.source("Frame numbers")
    saved = moravane.get_frame_memory_limit()
    moravane.set_frame_memory_limit(3 * 640 * 360 * 4)
    try:
        with source.frames(range(10)) as frames:
            kept = list(frames)
            assert frames.sections == 3
    finally:
        moravane.set_frame_memory_limit(saved)
    # Every frame keeps its picture and its address; all but the newest
    # three left shared memory for a private copy.
    assert [decode_number(f, 8) for f in kept] == list(range(10))
    assert [f.base.section is None for f in kept] == [True] * 7 + [False] * 3
    assert len({address(f) for f in kept}) == 10
    with pytest.raises(ValueError):
        kept[0][0, 0, 0] = 1


def test_writable_frames_are_copy_on_write(project):
    source = project.source("Frame numbers")
    saved = moravane.get_frame_memory_limit()
    moravane.set_frame_memory_limit(2 * 640 * 360 * 4)
    try:
        with source.frames([7, 8, 9, 10], writable=True) as frames:
            seven = next(frames)
            assert seven.flags.writeable and seven.base.writable
            seven[:] = 0
            # The server's section still holds what it rendered.
            assert decode_number(seven.base.shared, 8) == 7 and decode_number(seven, 8) == 0
            later = [next(frames) for _ in range(3)]  # the third copies `seven` out, writes and all
    finally:
        moravane.set_frame_memory_limit(saved)
    assert seven.base.section is None and not seven.any()
    assert [decode_number(f, 8) for f in later] == [8, 9, 10]


@pytest.mark.parametrize("depth", [8, 16, 32])
def test_three_channels_and_grey_come_from_the_four(project, depth):
    source = project.source("Colour bars")
    rgba = source.frames([5], depth=depth).render(5).astype(numpy.float64)
    for channels, expected in (
        ("RGB", rgba[..., :3]),
        ("BGR", rgba[..., 2::-1]),
        ("GRAY", rgba[..., :3] @ [0.299, 0.587, 0.114]),
    ):
        frame = source.frames([5], depth=depth, channels=channels).render(5)
        assert frame.shape == expected.shape and frame.dtype == DTYPE[depth]
        assert frame.flags.c_contiguous and frame.flags.writeable
        # Grey in integers rounds the luma: one code value at most.
        numpy.testing.assert_allclose(frame, expected, atol=1 if depth != 32 else 1e-6, rtol=0)


@pytest.mark.parametrize("dtype", ["float32", "int16"])
def test_audio_tone_is_440_hz(project, dtype):
    tone = project.source("Tone")
    samples = tone.audio(start=Fraction(1, 2), seconds=2, rate=48000, channels=2, dtype=dtype)
    assert samples.shape == (96000, 2) and samples.dtype == numpy.dtype(dtype)
    assert not samples.flags.owndata
    numpy.testing.assert_array_equal(samples[:, 0], samples[:, 1])
    signal_ = samples[:, 0].astype(numpy.float64)
    spectrum = numpy.abs(numpy.fft.rfft(signal_ * numpy.hanning(len(signal_))))
    peak = numpy.argmax(spectrum) * 48000 / len(signal_)
    assert abs(peak - 440) <= 1
    # The source ends first: a shorter array.
    assert tone.audio(start=9, seconds=3, rate=1000, channels=1).shape == (1000, 1)


def test_every_link_error_carries_its_code_and_text(project, tmp_path, private_user_folders):
    server = project.server
    malformed = tmp_path / "bad.orraproj"
    malformed.write_text('orra-project 1\nproject "Bad" {7E2E0000-0000-4000-8000-0000000000B1}\n'
                         'source "S" {7E2E0000-0000-4000-8000-0000000000B2}\n  duration 1 1\n  size 640\nend\n')
    existing = tmp_path / "exists.orraproj"
    existing.write_text("")
    not_png = tmp_path / "notes.txt"
    not_png.write_text("hello")
    cases = [
        (lambda: server.open(tmp_path / "absent.orraproj"), FILE_NOT_FOUND, ["absent.orraproj"]),
        (lambda: server.open(malformed), E_FAIL, ["bad.orraproj", "line 5", "'size' takes 2 values"]),
        (lambda: project.source(uuid.UUID(GUID % "FF")), E_INVALIDARG, [GUID % "FF"]),
        (lambda: project.source("Tone")[0], E_INVALIDARG, []),
        (lambda: project.source("Colour bars").frames([0], region=(600, 0, 700, 10)), E_INVALIDARG, []),
        (lambda: server.create_source(existing, (64, 36), 1, 25), ALREADY_EXISTS, ["exists.orraproj"]),
        (lambda: server.send_file(tmp_path / "absent.png"), FILE_NOT_FOUND, ["no such file"]),
        (lambda: server.send_file(not_png), E_INVALIDARG, ["only PNG images"]),
    ]
    for call, code, texts in cases:
        with pytest.raises(moravane.LinkError) as caught:
            call()
        error = caught.value
        assert isinstance(error, Exception)
        assert error.code == code, error
        assert not error.should_reconnect
        for text in texts:
            assert text in error.message
            assert text in str(error)
    # After all of that the link still works; a closed link is one to make again.
    assert project.source("Colour bars")[0].shape == (360, 640, 4)
    with moravane.link() as other:
        assert other.version == 7
    with pytest.raises(moravane.LinkError) as caught:
        other.version
    assert caught.value.code == moravane.NO_REMOTE_OBJECT and caught.value.should_reconnect


def test_created_source_and_sent_file(demo_project, tmp_path):
    still = os.path.join(os.path.dirname(demo_project), "still.png")
    with moravane.link() as server:
        source = server.create_source(tmp_path / "new.orraproj", (96, 54), Fraction(2), 25, pixel_aspect=Fraction(4, 3))
        assert (source.size, source.duration, source.fps, source.pixel_aspect) == ((96, 54), 2, 25, Fraction(4, 3))
        assert len(source) == 50 and decode_number(source[49], 8) == 49
        server.send_file(still)
        assert "still" in [item.name for item in source.project.walk()]
        source.project.close()
        with pytest.raises(moravane.LinkError) as caught:
            server.send_file(still)
        assert caught.value.code == E_UNEXPECTED and "no project is open" in caught.value.message


BAD_ARGUMENTS = [
    (lambda s: s[240], IndexError, "outside"),
    (lambda s: s[-241], IndexError, "outside"),
    (lambda s: s["3"], TypeError, "int"),
    (lambda s: s[True], TypeError, "int"),
    (lambda s: s.frames([0], depth=12), ValueError, "8, 16 or 32"),
    (lambda s: s.frames([0], channel_order="RGB"), ValueError, "channel_order"),
    (lambda s: s.frames([0], field_order=3), ValueError, "field_order"),
    (lambda s: s.frames([0], downsample=0), ValueError, "downsample"),
    (lambda s: s.frames([0], downsample=(1, 2, 3)), ValueError, "downsample"),
    (lambda s: s.frames([0], region=(5, 5, 5, 10)), ValueError, "left < right"),
    (lambda s: s.frames([0], width=-1), ValueError, "width"),
    (lambda s: s.frames([0], low_quality=1), TypeError, "bool"),
    (lambda s: s.frames([0], speed=2), TypeError, "unknown render option"),
    (lambda s: s.frames(b"012"), TypeError, "iterable"),
    (lambda s: s.batch([]), ValueError, "empty"),
    (lambda s: s.audio(rate=0), ValueError, "rate"),
    (lambda s: s.audio(channels=33), ValueError, "channels"),
    (lambda s: s.audio(dtype="int8"), ValueError, "dtype"),
    (lambda s: s.audio(start=-1), ValueError, "start"),
    (lambda s: s.audio(start=1e6), ValueError, "past the source's end"),
    (lambda s: s.audio(seconds=0), ValueError, "seconds"),
    (lambda s: s.project.server.open(""), ValueError, "empty"),
    (lambda s: s.project.server.open("a\0b"), ValueError, "NUL"),
    (lambda s: s.project.server.set_idle_time_memory(-1), ValueError, "nbytes"),
    (lambda s: s.project.server.create_source("x.orraproj", (0, 10), 1, 25), ValueError, "width"),
    (lambda s: s.project.server.create_source("x.orraproj", (10, 10), 1, 0), ValueError, "fps"),
    (lambda s: s.project.source(42), TypeError, "GUID"),
    (lambda s: s.project.source("No such source"), KeyError, "no source named"),
]


@pytest.mark.parametrize("call, kind, text", BAD_ARGUMENTS)
def test_bad_arguments_fail_before_the_server(project, call, kind, text):
    source = project.source("Colour bars")
    with pytest.raises(kind, match=text):
        call(source)


def test_killed_server_asks_for_a_new_link(demo_project):
    with moravane.link() as server, server.open(demo_project) as project:
        frames = project.source("Frame numbers").frames(range(100))
        assert decode_number(next(frames), 8) == 0
        servers = server_processes()
        assert servers, "the server started by activation is a child of this process"
        for pid in servers:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        with pytest.raises(moravane.LinkError) as caught:
            for _ in frames:
                pass
        assert caught.value.should_reconnect
        assert caught.value.code == SERVER_UNAVAILABLE
        frames.close()  # ending a render of a lost link is quiet
        with pytest.raises(moravane.LinkError):
            server.version
    with moravane.link() as again:
        assert again.version == 7


def test_other_threads_run_while_the_server_renders(project):
    """A thread that held the GIL through remote calls would keep the other
    thread out until the switch interval forces a switch: calls made for a
    shorter time than that move the counter only if they give the GIL up.
    Pure-Python work, which never does, shows that the counter then stays
    put."""
    source = project.source("Colour bars")
    source[0]
    counter = [0]
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            counter[0] += 1

    calls = {
        "render": lambda: source[1],
        "property": lambda: source.fps,
        "server": lambda: project.server.version,
        "pure Python": lambda: sum(range(100)),
    }
    moved = {}
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1.0)
    spinner = threading.Thread(target=spin)
    spinner.start()
    try:
        for name, call in calls.items():
            before = counter[0]
            deadline = time.monotonic() + 0.4
            while counter[0] == before and time.monotonic() < deadline:
                call()
            moved[name] = counter[0] - before
    finally:
        stop.set()
        spinner.join()
        sys.setswitchinterval(interval)
    assert moved["pure Python"] == 0, moved
    assert all(moved[name] > 0 for name in ("render", "property", "server")), moved


def test_examples_write_what_the_source_renders(project, demo_project, tmp_path):
    examples = os.path.join(os.path.dirname(os.path.dirname(demo_project)), "python")
    run = [sys.executable, os.path.join(examples, "render_png.py"), demo_project, "Frame numbers",
           "--frames", "5:7", "--output", str(tmp_path)]
    subprocess.run(run, check=True, capture_output=True, timeout=120)
    for number in (5, 6):
        data = (tmp_path / ("frame-%06d.png" % number)).read_bytes()
        assert data[:8] == b"\x89PNG\r\n\x1a\n"
        width, height = struct.unpack(">II", data[16:24])
        idat = data.index(b"IDAT")
        length = struct.unpack(">I", data[idat - 4:idat])[0]
        rows = numpy.frombuffer(zlib.decompress(data[idat + 4:idat + 4 + length]), numpy.uint8)
        picture = rows.reshape(height, 1 + 4 * width)[:, 1:].reshape(height, width, 4)
        numpy.testing.assert_array_equal(picture, project.source("Frame numbers")[number])
    run = [sys.executable, os.path.join(examples, "frame_difference.py"), demo_project, "Colour bars", "--frames", "0:4"]
    out = subprocess.run(run, check=True, capture_output=True, text=True, timeout=120).stdout
    assert out.split() == ["frame", "1", "change", "0.0000", "frame", "2", "change", "0.0000", "frame", "3", "change",
                           "0.0000"]


SELF_LINK = """
import moravane
assert not moravane.get_free_threaded()
with moravane.self_link() as server, server.open(PROJECT) as project:
    assert moravane.get_free_threaded()
    assert server.version == 7
    print(project.source("Solid orange")[0][0, 0].tolist())
"""


def test_self_link_switches_to_free_threaded_calls(demo_project):
    # In a process of its own: the switch is for good.
    script = SELF_LINK.replace("PROJECT", repr(demo_project))
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[0] == "[255, 140, 0, 255]"
