"""Projects and sources that pickle, through process pools and a Dask
LocalCluster of worker processes, each rendering through its own link to
the server of the private world of conftest.py."""

import concurrent.futures
import multiprocessing
import os
import pickle
import signal
import subprocess
import sys
import textwrap

import numpy
import pytest

import moravane
from conftest import server_processes, stop_servers
from test_moravane import decode_number

dask_distributed = pytest.importorskip("dask.distributed")
av = pytest.importorskip("av")
import moravane.distributed  # noqa: E402  (needs Dask, checked above)

FRAMES = 480


@pytest.fixture(scope="module")
def long_source(private_user_folders, tmp_path_factory):
    """A source of 480 frames, each showing its number, in a project of its own."""
    path = tmp_path_factory.mktemp("long") / "long.orraproj"
    with moravane.link() as server:
        source = server.create_source(path, (96, 54), 20, 24)
        assert len(source) == FRAMES
        yield source
        source.project.close()


@pytest.fixture(scope="module")
def client(private_user_folders):
    saved = dict(os.environ)  # the nannies write their workers' environment into this process's
    cluster = dask_distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                            dashboard_address=None)
    client = dask_distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()
    os.environ.clear()
    os.environ.update(saved)
    moravane._forget_shared(whole_link=True)
    # The workers are gone; so must be every server that they (or this
    # process) started, before the next module.
    stop_servers()
    assert server_processes() == []


def frame_of(source, index):
    return source[index].copy()


def test_pickled_objects_reopen_through_the_process_link(project):
    plain = project.source("Colour bars")
    bars = plain.with_options(width=320, height=180)
    assert plain[7].shape == (360, 640, 4)  # with_options leaves the source as it was
    with pytest.raises(TypeError, match="unknown render option"):
        bars.with_options(colour=1)
    back = pickle.loads(pickle.dumps(bars))
    assert (back.id, back._options) == (bars.id, {"width": 320, "height": 180})
    numpy.testing.assert_array_equal(back[7], bars[7])
    deeper = pickle.loads(pickle.dumps(back.with_options(depth=16)))  # options over options
    assert deeper[7].shape == (180, 320, 4) and deeper[7].dtype == numpy.uint16
    # One link and one open project per path in the process, whatever comes
    # out of a pickle; the pickle holds nothing of this process.
    again = pickle.loads(pickle.dumps(project))
    assert again is back.project and again is not project and again.server is moravane._shared_server
    assert pickle.loads(pickle.dumps(back)).project is again
    assert str(os.getpid()).encode() not in pickle.dumps(bars)
    # A cached project closed under the cache is opened again.
    again.close()
    numpy.testing.assert_array_equal(pickle.loads(pickle.dumps(bars))[7], bars[7])


def test_what_cannot_be_found_again_does_not_pickle(demo_project):
    with moravane.link() as server:
        project = server.open(demo_project)
        item_source = list(project.walk())[1].as_source()
        source = project.source("Colour bars")
        project.close()
        for thing, message in [(item_source, "without its project"), (source, "project is closed"),
                               (project, "project is closed")]:
            with pytest.raises(pickle.PicklingError, match=message):
                pickle.dumps(thing)


def test_source_through_a_spawned_process_pool(project):
    bars = project.source("Frame numbers").with_options(width=160, height=90)
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
        frames = list(pool.map(frame_of, [bars] * 4, [0, 100, 239, 5]))
    for frame, index in zip(frames, [0, 100, 239, 5]):
        assert frame.shape == (90, 160, 4)
        numpy.testing.assert_array_equal(frame, bars[index])


# Python's default pool on Linux forks. A child forked before the process
# linked, and one forked after (which the library answers as a lost link
# for what it inherited, so it links anew), give the parent's pixels, and
# the parent's link goes on working.
FORKED = textwrap.dedent("""
    import concurrent.futures, multiprocessing, os, pickle, sys
    import moravane

    def frame_of(source, index):
        return source[index].copy()

    if __name__ == "__main__":
        fork = multiprocessing.get_context("fork")
        early = concurrent.futures.ProcessPoolExecutor(1, mp_context=fork)
        early.submit(os.getpid).result()  # forked here, before any link
        with moravane.open(sys.argv[1]) as project:
            bars = project.source("Frame numbers").with_options(width=160, height=90)
            wanted = bars[42].copy()
            with concurrent.futures.ProcessPoolExecutor(2, mp_context=fork) as late:  # forked after
                for pool in (early, late):
                    assert (pool.submit(frame_of, bars, 42).result(timeout=60) == wanted).all()
            assert (bars[42] == wanted).all() and (pickle.loads(pickle.dumps(bars))[42] == wanted).all()
        early.shutdown()
        print("ok")
""")


def test_source_through_forked_processes(demo_project):
    done = subprocess.run([sys.executable, "-c", FORKED, demo_project], capture_output=True, text=True, timeout=120)
    assert done.stdout.strip() == "ok", done.stderr


def test_cluster_renders_like_one_process(client, long_source):
    # The workers live in this test's private world.
    assert set(client.run(lambda: os.environ["XDG_RUNTIME_DIR"]).values()) == {os.environ["XDG_RUNTIME_DIR"]}
    job = moravane.distributed.submit(client, long_source, chunk=FRAMES // 4)
    assert len(job.futures) == 4
    frames = job.result()
    assert frames.shape == (FRAMES, 54, 96, 4)
    numpy.testing.assert_array_equal(frames, long_source.get_batch(range(FRAMES)))
    # Several sources, as Source objects and as (path, name) pairs.
    pair = (long_source.project.path, long_source.name)
    both = moravane.distributed.render(client, [long_source.with_options(width=48, height=27), pair], "-10:",
                                       chunk=3)
    numpy.testing.assert_array_equal(both[0], long_source.get_batch("-10:", width=48, height=27))
    numpy.testing.assert_array_equal(both[1], frames[-10:])


@pytest.mark.parametrize("output", ["png", "y4m", "nut"])
def test_cluster_writes_files(client, long_source, tmp_path, output):
    pair = (long_source.project.path, str(long_source.id))
    sources = [long_source.with_options(depth=16), pair] if output != "png" else long_source
    path = str(tmp_path / ("{index:04d}.png" if output == "png" else "clip-{source}." + output))
    written = moravane.distributed.render(client, sources, "10:70:2", output=output, path=path, chunk=7)
    expected = long_source.get_batch("10:70:2")
    if output == "png":
        assert written == [str(tmp_path / ("%04d.png" % index)) for index in range(10, 70, 2)]
        decoded = numpy.stack([next(av.open(name).decode(video=0)).to_ndarray() for name in written])
        numpy.testing.assert_array_equal(decoded, expected)
    else:
        assert written == [path.format(source=0), path.format(source=1)]
        for name, depth in zip(written, (16, 8)):
            with av.open(name) as container:
                stream = container.streams.video[0]
                assert stream.average_rate == 12  # 24 frames per second, every second frame
                if output == "nut":  # the frames' own pixels
                    frames = numpy.stack([frame.to_ndarray() for frame in container.decode(stream)])
                    numpy.testing.assert_array_equal(frames, long_source.get_batch("10:70:2", depth=depth))
                    continue
                frames = [frame.to_ndarray(format="rgb24") for frame in container.decode(stream)]
            # 4:4:4 in limited range: back in RGB within the rounding of the conversions.
            assert [decode_number(frame, 8) for frame in frames] == list(range(10, 70, 2))
            assert numpy.abs(numpy.stack(frames).astype(int) - expected[..., :3]).max() <= 3
            with open(name, "rb") as stream_file:
                fields = stream_file.readline().split()
            assert fields[1:7] == [b"W96", b"H54", b"F12:1", b"Ip", b"A1:1", b"C444p16" if depth == 16 else b"C444"]
    # Only the finished files are left: no segment, no file written beside.
    assert sorted(os.listdir(tmp_path)) == sorted(os.path.basename(name) for name in written)


def die_on_first_batch(marker):
    """In a worker: the first get_batch of the whole cluster (the one that
    creates `marker`) kills its worker process."""
    batch = moravane.Source.get_batch

    def dying(self, *args, **kwargs):
        try:
            os.close(os.open(marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY))
        except FileExistsError:
            return batch(self, *args, **kwargs)
        os.kill(os.getpid(), signal.SIGKILL)

    moravane.Source.get_batch = dying


def test_a_killed_workers_chunk_is_rendered_again(client, long_source, tmp_path):
    marker = str(tmp_path / "died")
    before = set(client.scheduler_info()["workers"])
    client.run(die_on_first_batch, marker)
    frames = moravane.distributed.render(client, long_source, "0:96", chunk=24)
    assert os.path.exists(marker)
    numpy.testing.assert_array_equal(frames, long_source.get_batch("0:96"))
    client.wait_for_workers(2)
    assert len(set(client.scheduler_info()["workers"]) - before) == 1  # the nanny started a new one


def fail_late_segments(on):
    """In a worker: segments from frame 40 on fail (on), or all work again."""
    chunks = moravane.distributed
    write = chunks.__dict__.setdefault("_write_segment_as_built", chunks._write_segment)

    def failing(source, indices, output, target):
        if indices[0] >= 40:
            raise RuntimeError("this chunk fails on purpose")
        return write(source, indices, output, target)

    chunks._write_segment = failing if on else write


def test_a_failed_file_render_leaves_nothing_behind(client, long_source, tmp_path):
    client.run(fail_late_segments, True)
    try:
        with pytest.raises(RuntimeError, match="on purpose"):
            moravane.distributed.render(client, long_source, "0:70", output="nut", path=str(tmp_path / "clip.nut"),
                                        chunk=7, retries=0)
    finally:
        client.run(fail_late_segments, False)
    assert os.listdir(tmp_path) == []  # neither the file nor its segments


# What is wrong is said before anything is rendered, here or by the worker
# that looks the source up, and no file is written.
BAD_RENDERS = [
    (dict(output="gif"), ValueError, "output must be one of"),
    (dict(output="png"), ValueError, "needs a path"),
    (dict(output="png", path="{tmp}/frame.png"), ValueError, "must hold {index}"),
    (dict(output="y4m", path="{tmp}/clip-{index}.y4m"), ValueError, "takes no {index}"),
    (dict(output="y4m", path="{tmp}/clip.y4m", sources=2), ValueError, "must hold {source}"),
    (dict(output="y4m", path="{tmp}/clip-{frame}.y4m"), ValueError, "only {source}, {name} and {index}"),
    (dict(output="nut", path="{tmp}/missing/clip.nut"), FileNotFoundError, "does not exist"),
    (dict(output="y4m", path="{tmp}/clip.y4m", depth=32), ValueError, "32-bit RGBA"),
    (dict(output="png", path="{tmp}/{index}.png", channels="BGR", depth=16), ValueError, "16-bit BGR"),
    (dict(tilt=3), TypeError, "unknown render option"),
    (dict(chunk=0), ValueError, "chunk"),
    (dict(frames="400:500"), IndexError, ""),
    (dict(key="No such source"), KeyError, "No such source"),
    (dict(project="{demo}", key="Tone"), ValueError, "has no video"),
    (dict(project="{tmp}/missing.orraproj"), moravane.LinkError, "missing.orraproj"),
]


@pytest.mark.parametrize("arguments, kind, message", BAD_RENDERS)
def test_bad_renders_fail_clearly(client, long_source, demo_project, tmp_path, arguments, kind, message):
    arguments = dict(arguments)
    project = arguments.pop("project", long_source.project.path).format(tmp=tmp_path, demo=demo_project)
    source = (project, arguments.pop("key", long_source.name))
    sources = [source] * arguments.pop("sources") if "sources" in arguments else source
    if "path" in arguments:
        arguments["path"] = arguments["path"].replace("{tmp}", str(tmp_path))
    with pytest.raises(kind, match=message):
        moravane.distributed.render(client, sources, arguments.pop("frames", "0:4"), retries=0, **arguments)
    assert os.listdir(tmp_path) == []
