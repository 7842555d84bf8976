"""Renders spread over a Dask cluster.

The link to the server is machine-local: every machine of a render farm
runs its own server, and a Dask worker renders through its process's own
link (the one that unpickled sources share). :func:`render` cuts the frames
of one or several sources into chunks, has the cluster's workers render
them, and puts the results together in order::

    from dask.distributed import Client
    import moravane, moravane.distributed

    client = Client("tcp://scheduler:8786")          # or Client(LocalCluster())
    with moravane.open("/projects/film.orraproj") as project:
        bars = project.source("Colour bars").with_options(width=640, height=360)
        frames = moravane.distributed.render(client, bars, "0:480")    # (480, 360, 640, 4)
    moravane.distributed.render(client, ("/projects/film.orraproj", "Titles"), output="y4m",
                                path="/shared/out/titles.y4m", progress=True)

Sources are :class:`moravane.Source` objects (they travel as their project's
path, GUID and render options) or (project path, GUID or name) pairs, which
this process need not be linked for. Every path, of projects and of output
files, must name the same file on the workers as here, or be translated
with `path_map`.

The scheduling, the retries and the progress bar are Dask's: a chunk whose
worker dies is run again elsewhere (up to the scheduler's
``distributed.scheduler.allowed-failures``), one that fails is retried
`retries` times. Output files are written beside their final name and
renamed into it once whole.
"""

import math
import os
import shutil
import time
import uuid
from fractions import Fraction

import dask.distributed
import numpy

import moravane
from moravane import LinkError

__all__ = ["render", "submit", "RenderJob", "OUTPUTS"]

#: What :func:`render` can make of the frames.
OUTPUTS = ("array", "png", "y4m", "nut")

# The PyAV pixel format of rendered frames, by bit depth and channel layout;
# 16-bit frames are little-endian, as the server writes them.
_FRAME_FORMATS = {
    8: {"RGBA": "rgba", "BGRA": "bgra", "ARGB": "argb", "RGB": "rgb24", "BGR": "bgr24", "GRAY": "gray"},
    16: {"RGBA": "rgba64le", "RGB": "rgb48le", "GRAY": "gray16le"},
}
# What the PNG encoder takes for each of those (its 16-bit formats are big-endian).
_PNG_FORMATS = {
    "rgba": "rgba", "bgra": "rgba", "argb": "rgba", "rgb24": "rgb24", "bgr24": "rgb24", "gray": "gray",
    "rgba64le": "rgba64be", "rgb48le": "rgb48be", "gray16le": "gray16be",
}
_CONTAINERS = {"y4m": "yuv4mpegpipe", "nut": "nut"}
_FIELD_ORDERS = {"progressive": "progressive", "upper": "tt", "lower": "bb"}


def render(client, sources, frames=None, *, output="array", path=None, chunk=None, retries=2, path_map=None,
           progress=False, **options):
    """Render `frames` of `sources` on the workers of the Dask `client`
    and return what :meth:`RenderJob.result` gives; :func:`submit` takes
    the same arguments and returns at once.

    `sources`: a :class:`moravane.Source`, a (project path, GUID or name)
    pair, or a list of these. `frames`: as :meth:`moravane.Source.frames`
    takes them (None: every frame; a range, ints, or a frame range such as
    "0:480:2"), the same for every source. `options`: render options, over
    those of each source.

    `output`:

    - "array": one new array (frames, height, width, channels) per source;
    - "png": one PNG file per frame at `path`, a template with the fields
      ``{index}`` (the frame's number, required) and ``{source}`` (the
      source's position in `sources`) and ``{name}`` (its name), such as
      "out/bars-{index:06d}.png"; the files' paths come back;
    - "y4m" (4:4:4, limited range; BT.709 from 1280x720 on, BT.601 below)
      or "nut" (the frames' own pixels, uncompressed): one file per source
      at `path` (``{source}`` and ``{name}`` as above). Each chunk is
      written as a segment beside it, and the segments are joined in order
      into the file; its path comes back.

    The frames are cut into chunks of `chunk` frames (default: about four
    per worker thread). `retries`: how many times Dask runs a failing
    chunk again. `path_map`: {prefix here: prefix on the workers} for
    paths that the workers see elsewhere. `progress`: show Dask's progress
    bar while waiting.

    The result is a list, one entry per source, when `sources` is a list.
    """
    job = submit(client, sources, frames, output=output, path=path, chunk=chunk, retries=retries,
                 path_map=path_map, **options)
    if progress:
        dask.distributed.progress(job.futures)
    return job.result()


def submit(client, sources, frames=None, *, output="array", path=None, chunk=None, retries=2, path_map=None,
           **options):
    """Start a render as :func:`render` does and return its
    :class:`RenderJob` once the chunks are submitted. The workers first
    look the sources up (which is when a wrong project, source or frame
    range is reported); this waits for that."""
    if output not in OUTPUTS:
        raise ValueError("output must be one of %s, not %r" % (", ".join(OUTPUTS), output))
    single = _is_one_source(sources)
    listed = [sources] if single else list(sources)
    if not listed:
        raise ValueError("sources is empty")
    if chunk is not None:
        chunk = moravane._check_int(chunk, "chunk", 1)
    retries = moravane._check_int(retries, "retries", 0)
    mapped = _PathMap(path_map)
    idents = [_identify(source, options, mapped) for source in listed]
    for ident in idents:
        moravane._video_request(ident[2])  # every option checked before any worker is asked
    template = None
    if output != "array":
        template = _check_template(path, output, len(listed), mapped)

    token = uuid.uuid4().hex[:12]
    facts = client.gather([
        client.submit(_describe, ident, frames, output, template, k, key="moravane-describe-%s-%d" % (token, k),
                      retries=retries, pure=False)
        for k, ident in enumerate(idents)
    ])
    total = sum(len(fact["indices"]) for fact in facts)
    # Each file's segments go into a hidden folder of this render beside it,
    # which a failed render removes whole: a chunk still running then finds
    # no folder to leave its segment in.
    parts = [_beside(fact["path"], token, "parts") for fact in facts if "stream" in fact]
    if parts:
        client.submit(_make_folders, parts, key="moravane-folders-%s" % token, pure=False).result()
    if chunk is None:
        threads = sum(client.nthreads().values()) or 1
        chunk = max(1, math.ceil(total / (4 * threads)))

    job = RenderJob(client, single, output)
    for k, (ident, fact) in enumerate(zip(idents, facts)):
        indices = fact["indices"]
        chunks = []
        for first in range(0, len(indices), chunk):
            picked = indices[first:first + chunk]
            target = None
            if output == "png":
                target = template
            elif output != "array":
                segment = os.path.join(_beside(fact["path"], token, "parts"), "%06d" % first)
                target = dict(fact["stream"], first=first, segment=segment)
            future = client.submit(_render_chunk, ident, picked, output, target, k,
                                   key="moravane-chunk-%s-%d-%d" % (token, k, first), retries=retries, pure=False)
            chunks.append((first, len(picked), future))
        job._sources.append((chunks, len(indices)))
        if output in _CONTAINERS:
            segments = [future for _, _, future in chunks]
            job._joins.append(client.submit(_join, output, fact["path"], segments, _beside(fact["path"], token, "tmp"),
                                            fact["stream"]["aspect"], key="moravane-join-%s-%d" % (token, k),
                                            retries=retries, pure=False))
    job._parts = parts
    return job


class RenderJob:
    """A render that :func:`submit` started: its Dask futures, and how to
    put their results together."""

    def __init__(self, client, single, output):
        self._client = client
        self._single = single
        self._output = output
        self._sources = []  # per source: ([(first, count, future)], frame count)
        self._joins = []  # per source, for y4m and nut: the future of the joined file
        self._parts = []  # the folders of their segments, removed should the render fail

    @property
    def futures(self):
        """Every Dask future of the render (for ``dask.distributed.progress``,
        ``wait`` or ``as_completed``): the chunks', then the joins'."""
        return [future for parts, _ in self._sources for _, _, future in parts] + self._joins

    def result(self, timeout=None):
        """Wait for the render and return its result (see :func:`render`).

        A chunk that failed for good raises its error here, after the rest
        of the render is cancelled; the segments of y4m and nut files are
        then removed, and no output file is left half written."""
        try:
            if timeout is not None:
                dask.distributed.wait(self.futures, timeout=timeout)
            if self._output == "array":
                results = self._arrays()
            elif self._output == "png":
                results = [[path for part in self._client.gather([f for _, _, f in parts]) for path in part]
                           for parts, _ in self._sources]
            else:
                results = self._client.gather(self._joins)
        except BaseException:
            self.cancel()
            raise
        return results[0] if self._single else results

    def _arrays(self):
        where = {}
        outs = [None] * len(self._sources)
        for k, (parts, _) in enumerate(self._sources):
            for first, count, future in parts:
                where[future.key] = (k, first, count)
        for future, block in dask.distributed.as_completed(self.futures, with_results=True):
            k, first, count = where[future.key]
            if outs[k] is None:
                outs[k] = numpy.empty((self._sources[k][1],) + block.shape[1:], block.dtype)
            outs[k][first:first + count] = block
        return outs

    def cancel(self):
        """Stop the render: cancel what has not run, and remove the
        segments of y4m and nut files written so far."""
        self._client.cancel(self.futures)
        if self._parts:
            try:
                cleanup = self._client.submit(_remove_folders, self._parts, pure=False)
                dask.distributed.wait(cleanup, timeout=30)
            except Exception:  # a cluster that has gone cannot tidy up; the render's error is what matters
                pass


# --- the client side -------------------------------------------------------------


def _is_one_source(sources):
    if isinstance(sources, moravane.Source):
        return True
    return isinstance(sources, tuple) and len(sources) == 2 and isinstance(sources[0], (str, bytes, os.PathLike))


class _PathMap:
    """Paths as this process sees them, to what the workers see."""

    def __init__(self, prefixes):
        self._pairs = []
        for here, there in (prefixes or {}).items():
            here = moravane._absolute(here).rstrip(os.sep)
            self._pairs.append((here, os.fspath(there).rstrip(os.sep)))
        self._pairs.sort(key=lambda pair: -len(pair[0]))  # the longest prefix wins

    def __call__(self, path):
        path = moravane._absolute(path)
        for here, there in self._pairs:
            if path == here or path.startswith(here + os.sep):
                return there + path[len(here):]
        return path


def _identify(source, options, mapped):
    """What a worker finds `source` by: (project path, key, render options)."""
    if isinstance(source, moravane.Source):
        _, (path, key, own) = source.__reduce__()
    elif isinstance(source, tuple) and len(source) == 2:
        path, key = source
        if not isinstance(key, (str, uuid.UUID)):
            raise TypeError("a source is found by GUID or name, not %s" % type(key).__name__)
        path, key, own = os.fspath(path), str(key), {}
    else:
        raise TypeError("a source is a moravane.Source or a (project path, GUID or name) pair, not %s"
                        % type(source).__name__)
    return (mapped(path), key, {**own, **options})


def _check_template(path, output, count, mapped):
    if path is None:
        raise ValueError("output %r needs a path" % output)
    path = mapped(path)
    fields = {"source": 0, "name": "x", "index": 0}
    try:
        path.format(**fields)
    except (KeyError, IndexError, ValueError) as error:
        raise ValueError("path %r: a template takes only {source}, {name} and {index}: %s" % (path, error)) from None
    if output == "png" and path.format(**dict(fields, index=1)) == path.format(**fields):
        raise ValueError("path %r must hold {index}, the frame's number, to name one PNG file per frame" % path)
    if output != "png" and "{index" in path:
        raise ValueError("path %r: one %s file holds every frame, so it takes no {index}" % (path, output))
    if count > 1 and path.format(**dict(fields, source=1)) == path.format(**fields):
        raise ValueError("path %r must hold {source} when several sources are rendered" % path)
    return path


def _beside(path, token, what):
    """A hidden file beside `path`, of this render (`token`)."""
    folder, name = os.path.split(path)
    return os.path.join(folder, ".%s.%s.%s" % (name, token, what))


# --- the worker side -------------------------------------------------------------


def _source(ident):
    path, key, options = ident
    return moravane._unpickle_source(path, key, options)


def _describe(ident, frames, output, template, k):
    """The source's frames and what its files need, looked up on a worker."""
    source = _source(ident)
    if not source.has_video:
        raise ValueError("the source %r has no video" % source.name)
    options = source._options
    indices = source._frame_indices(frames)
    if not len(indices):
        raise ValueError("frames selects none of the %d frames of %r" % (len(source), source.name))
    fact = {"indices": indices}
    if output == "array":
        return fact
    try:
        import av  # noqa: F401
    except ImportError as error:
        raise ImportError("%s output needs PyAV (Debian: python3-av) on every worker: %s" % (output, error)) from None
    depth = options.get("depth") or source.bit_depth
    layout = options.get("channel_order") or options.get("channels", "RGBA")
    pixels = _FRAME_FORMATS.get(depth, {}).get(layout)
    if pixels is None:
        raise ValueError("%s output takes 8-bit frames, or 16-bit RGBA, RGB or GRAY ones; this render gives "
                         "%d-bit %s: ask for depth=8 or 16" % (output, depth, layout))
    path = template.format(source=k, name=source.name, index=0)
    folder = os.path.dirname(path) or "."
    if not os.path.isdir(folder):
        raise FileNotFoundError("the output folder %r does not exist on worker %s" % (folder, os.uname().nodename))
    if output == "png":
        return fact
    rate = source.frame_rate
    if isinstance(indices, range) and indices.step != 1:
        rate /= abs(indices.step)
    downsample = options.get("downsample", 1)
    x, y = downsample if isinstance(downsample, tuple) else (downsample, downsample)
    fact["path"] = path
    fact["stream"] = {
        "rate": rate, "aspect": source.pixel_aspect * Fraction(x, y), "depth": depth,
        "field_order": _FIELD_ORDERS[options.get("field_order", "progressive")],
    }
    return fact


def _render_chunk(ident, indices, output, target, k):
    """Render one chunk on a worker: its frames as one array, or its PNG
    files, or its segment of a y4m or nut file."""
    source = _source(ident)
    try:
        if output == "array":
            return source.get_batch(indices)
        if output == "png":
            return _write_pngs(source, indices, target, k)
        return _write_segment(source, indices, output, target)
    except LinkError as error:
        if error.should_reconnect:
            # The server is gone: Dask's retry, perhaps in this process,
            # links again.
            moravane._forget_shared(whole_link=True)
        raise


def _write_pngs(source, indices, template, k):
    import av

    written = []
    codec = None
    with source.frames(indices) as frames:
        for index, frame in zip(indices, frames):
            picture = _av_frame(frame, source._options)
            if codec is None:
                codec = av.CodecContext.create("png", "w")
                codec.width, codec.height = picture.width, picture.height
                codec.pix_fmt = _PNG_FORMATS[picture.format.name]
            picture = picture.reformat(format=codec.pix_fmt)
            data = b"".join(bytes(packet) for packet in codec.encode(picture))
            path = template.format(source=k, name=source.name, index=index)
            _write_whole(path, lambda scratch: _write_bytes(scratch, data))
            written.append(path)
    return written


def _write_segment(source, indices, output, target):
    import av

    def write(scratch):
        # 16-bit 4:4:4 (C444p16) is a stream format that ffmpeg reads but
        # calls unofficial.
        with av.open(scratch, "w", format=_CONTAINERS[output], options={"strict": "unofficial"}) as container:
            _encode(container, source, indices, output, target)

    _write_whole(target["segment"], write)
    return target["segment"]


def _encode(container, source, indices, output, target):
    rate = target["rate"]
    stream = matrix = None
    with source.frames(indices) as frames:
        for position, frame in enumerate(frames, target["first"]):
            picture = _av_frame(frame, source._options)
            if stream is None:
                stream = container.add_stream("wrapped_avframe" if output == "y4m" else "rawvideo", rate=rate)
                stream.width, stream.height = picture.width, picture.height
                stream.codec_context.time_base = 1 / rate
                settings = {"field_order": target["field_order"]}
                if output == "y4m":
                    stream.pix_fmt = "yuv444p" if target["depth"] == 8 else "yuv444p16le"
                    settings["color_range"] = "tv"
                    # As moravane-cli's "auto": BT.709 for HD pictures, BT.601 below.
                    matrix = "ITU709" if picture.width >= 1280 and picture.height >= 720 else "ITU601"
                else:
                    stream.pix_fmt = picture.format.name
                stream.codec_context.options = settings
            if matrix is not None:
                picture = picture.reformat(format=stream.pix_fmt, dst_colorspace=matrix)
            picture.pts = position
            picture.time_base = 1 / rate
            for packet in stream.encode(picture):
                container.mux(packet)
    for packet in stream.encode():
        container.mux(packet)


def _av_frame(frame, options):
    import av

    layout = options.get("channel_order") or options.get("channels", "RGBA")
    depth = 8 if frame.dtype.itemsize == 1 else 16
    picture = numpy.ascontiguousarray(frame)
    if picture.ndim == 3 and picture.shape[2] == 1:
        picture = picture[:, :, 0]
    return av.VideoFrame.from_ndarray(picture, format=_FRAME_FORMATS[depth][layout])


def _join(output, path, segments, scratch, aspect):
    """Join the segments, in order, into the file at `path` (written as
    `scratch` beside it and renamed), then remove them."""

    def join_y4m(scratch):
        # A YUV4MPEG2 stream is a header line and frames: the segments share
        # the header, which is kept once. The muxer leaves the pixel aspect
        # unknown (A0:0; PyAV sets no aspect on the stream), so it is
        # written here.
        header = None
        with open(scratch, "wb") as out:
            for segment in segments:
                with open(segment, "rb") as part:
                    line = part.readline()
                    if header is None:
                        header = line
                        out.write(line.replace(b" A0:0 ", b" A%d:%d " % (aspect.numerator, aspect.denominator)))
                    elif line != header:
                        raise ValueError("segment %s has header %r, not %r" % (segment, line, header))
                    _copy_rest(part, out)

    def join_nut(scratch):
        import av

        with av.open(scratch, "w", format="nut") as joined:
            stream = None
            for segment in segments:
                with av.open(segment) as part:
                    source = part.streams.video[0]
                    if stream is None:
                        stream = joined.add_stream("rawvideo", rate=source.average_rate)
                        stream.width, stream.height = source.codec_context.width, source.codec_context.height
                        stream.pix_fmt = source.codec_context.pix_fmt
                        stream.codec_context.time_base = source.time_base
                    for packet in part.demux(source):
                        if packet.dts is None:  # the demuxer's end marker
                            continue
                        packet.stream = stream
                        joined.mux(packet)

    _write_whole(path, join_y4m if output == "y4m" else join_nut, scratch)
    _remove_folders([os.path.dirname(segments[0])])
    return path


def _copy_rest(part, out):
    """Append what is left of the file `part` to `out`, in the kernel where
    it can (the frames of a segment are copied, not read into Python)."""
    start = part.tell()
    size = os.fstat(part.fileno()).st_size
    out.flush()
    try:
        while start < size:
            copied = os.copy_file_range(part.fileno(), out.fileno(), size - start, start)
            if copied == 0:
                break
            start += copied
    except OSError:  # a file system that cannot: through Python, from where the kernel stopped
        part.seek(start)
        shutil.copyfileobj(part, out, 1 << 22)


def _write_whole(path, write, scratch=None):
    """Have `write(scratch)` write the file at `path` as a hidden file
    beside it, and rename that into place once whole, so that `path` is
    never half written."""
    if scratch is None:
        folder, name = os.path.split(path)
        scratch = os.path.join(folder, "%s%s.%d.tmp" % ("" if name.startswith(".") else ".", name, os.getpid()))
    try:
        write(scratch)
        os.replace(scratch, path)
    except BaseException:
        _remove([scratch])
        raise


def _write_bytes(path, data):
    with open(path, "wb") as out:
        out.write(data)


def _remove(paths):
    for path in paths:
        try:
            os.remove(path)
        except FileNotFoundError:
            pass


def _make_folders(folders):
    for folder in folders:
        os.mkdir(folder, 0o700)


def _remove_folders(folders):
    for folder in folders:
        # A chunk still writing into the folder may add a file between the
        # listing and the removal of the folder; a few passes see it gone.
        for _ in range(10):
            shutil.rmtree(folder, ignore_errors=True)
            if not os.path.lexists(folder):
                break
            time.sleep(0.1)
