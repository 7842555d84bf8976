"""moravane for Python: projects, sources and frames of the Orra application.

Link to the application's link server, open a project, pick a source and
get its frames as NumPy arrays that view the shared memory the server wrote
them into (no copy)::

    import moravane
    with moravane.link() as server, server.open("demo.orraproj") as project:
        frame = project.source("Colour bars")[0]   # (height, width, 4) uint8, RGBA

Every frame is a value: it keeps its picture for as long as it lives,
without a copy (a render keeps a pool of shared sections and renders into
one only once no array views it). Frames are read-only views unless asked
for ``writable=True`` (copy-on-write). Every remote call releases the GIL,
so other Python threads run while the server renders.

Every failure of the link is a :class:`LinkError`; arguments that are wrong
before anything reaches the server raise ``TypeError``, ``ValueError`` or
``IndexError``.
"""

import numbers
import os
import pickle
import threading
import uuid
from fractions import Fraction

import numpy

from . import _moravane
from ._errors import LinkError

__all__ = [
    "LinkError",
    "Server",
    "Project",
    "Item",
    "Source",
    "Frames",
    "frame_range",
    "link",
    "open",
    "self_link",
    "get_free_threaded",
    "set_free_threaded",
    "get_frame_memory_limit",
    "set_frame_memory_limit",
    "NO_REMOTE_OBJECT",
    "SHARED_MEMORY_FAILED",
]

#: A handle held no remote object (the link was closed): link again.
NO_REMOTE_OBJECT = 0x80042329 - (1 << 32)
#: A shared memory section could not be created or mapped.
SHARED_MEMORY_FAILED = 0x8004232A - (1 << 32)

_INT32_MAX = (1 << 31) - 1
# The layout asked of the server and the channels kept of it: four as they
# are, the first three (RGB, BGR) or their luma (GRAY, as an (H, W) array).
_CHANNELS = {
    "RGBA": (1, 4), "BGRA": (0, 4), "ARGB": (2, 4), "RGB": (1, 3), "BGR": (0, 3), "GRAY": (1, 1),
}
_FIELD_ORDERS = {"progressive": 0, "upper": 1, "lower": 2}
_DEPTHS = (8, 16, 32)
_AUDIO_DTYPES = {"int16": False, "float32": True}

#: The version of the library the package was built with.
__version__ = _moravane.__version__


def link():
    """Activate the link server and link to it.

    Returns a :class:`Server`; use it as a context manager (or call
    :meth:`Server.close`) to let go of the link.
    """
    return Server(_moravane.link())


def open(path):  # noqa: A001 - moravane.open, as the readers of other formats name it
    """Link to the link server and open the project at `path`.

    Returns a :class:`Project` that owns its link: closing the project (or
    leaving its ``with`` block) lets go of the link as well.
    """
    server = link()
    try:
        project = server.open(path)
    except BaseException:
        server.close()
        raise
    project._owned_server = server
    return project


def get_frame_memory_limit():
    """The most shared memory, in bytes, that one render's pool of sections
    may hold (default 1 GiB)."""
    return _moravane.get_frame_memory_limit()


def set_frame_memory_limit(nbytes):
    """Set the most shared memory, in bytes, that one render's pool of
    sections may hold. When every section is viewed by a frame still alive
    and another would pass the limit, the frame rendered longest ago is
    copied out of its section (it keeps its picture and its address; only
    its memory becomes private) and that section is rendered into. A pool
    always has at least one section, whatever the limit."""
    _moravane.set_frame_memory_limit(_check_int(nbytes, "nbytes", 0, (1 << 64) - 1))


def self_link():
    """Make an announced self link (needs server version 7).

    Switches the whole process to free-threaded mode for good: from then on
    every remote call runs on the Python thread that makes it. The link is
    withdrawn when the returned :class:`Server` is closed.
    """
    return Server(_moravane.self_link())


# --- the process's own link, through which unpickled objects reach the server ---
#
# A pickled Project or Source carries only what names it (a path, a GUID,
# render options): handles and section names mean nothing in another process.
# The process that unpickles one reaches the server through a link of its
# own, made on first need and shared by everything unpickled there, and opens
# each project once. The link is machine-local: each machine of a cluster
# links to its own server.

_shared_lock = threading.Lock()
_shared_server = None
_shared_projects = {}  # absolute path -> Project opened through _shared_server
def _shared_link():
    """The process's shared :class:`Server` (call with ``_shared_lock`` held)."""
    global _shared_server
    if _shared_server is None:
        _shared_server = link()
    return _shared_server


def _shared_project(path):
    """The project at the absolute `path`, opened once in this process."""
    with _shared_lock:
        project = _shared_projects.get(path)
        if project is None:
            project = _shared_projects[path] = _shared_link().open(path)
        return project


def _forget_shared(project=None, whole_link=False):
    """Drop `project` (or, with `whole_link`, every project and the link)
    from the process's cache and close them quietly, so that the next
    unpickled object opens or links anew: for a project that was closed
    under the cache, or a link that the server's death has made useless."""
    global _shared_server
    with _shared_lock:
        gone = [project]
        for path, cached in list(_shared_projects.items()):
            if whole_link or cached is project:
                gone.append(_shared_projects.pop(path))
        if whole_link:
            gone.append(_shared_server)
            _shared_server = None
    for thing in gone:
        try:
            if thing is not None:
                thing.close()
        except LinkError:
            pass


def _answers(project):
    try:
        project.name
        return True
    except LinkError:
        return False


def _reopened(path, take):
    """``take(project)`` on the process's project at `path`; once more on a
    project opened again (and on a new link when the server is gone) when
    the cached one no longer answers."""
    path = _absolute(path)
    project = _shared_project(path)
    try:
        return take(project)
    except LinkError as error:
        # The failure of a project that still answers is the caller's.
        if not error.should_reconnect and _answers(project):
            raise
        _forget_shared(project, whole_link=error.should_reconnect)
    return take(_shared_project(path))


def _unpickle_project(path):
    def answering(project):
        project.name  # a closed project or a lost link fails here, not later in the caller's hands
        return project

    return _reopened(path, answering)


def _unpickle_source(path, key, options):
    return _reopened(path, lambda project: project.source(key).with_options(**options))


def _pickled_path(project, what):
    """The absolute path that a pickle of `what` (of `project`) carries."""
    if project is None:
        raise pickle.PicklingError(
            "cannot pickle a %s without its project (one from Item.as_source()): "
            "take it from project.source(key)" % what)
    try:
        path = project.path
    except LinkError as error:
        raise pickle.PicklingError(
            "cannot pickle this %s: the project is closed or its link is gone (%s)" % (what, error)) from error
    if not path:
        raise pickle.PicklingError("cannot pickle a %s of a project that has no file path" % what)
    return os.path.abspath(path)


def _after_fork_in_child():
    # A forked child links anew: the library answers the objects inherited
    # from the parent as a lost link (without touching the parent's link),
    # so the child forgets the parent's shared link and projects and makes
    # its own on the first unpickled object.
    global _shared_lock, _shared_server, _shared_projects
    _shared_lock = threading.Lock()  # another thread may have held it at the fork
    _shared_server, _shared_projects = None, {}


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)


def __getattr__(name):
    # moravane.distributed loads Dask, which is slow to import and optional:
    # it is imported when first named, not with the package.
    if name == "distributed":
        import importlib

        return importlib.import_module(".distributed", __name__)
    raise AttributeError("module %r has no attribute %r" % (__name__, name))


def get_free_threaded():
    """Whether remote calls run on the calling thread (True) or on the
    library's communication thread (False, the default)."""
    return _moravane.get_free_threaded()


def set_free_threaded(on):
    """Switch free-threaded mode for the whole process (see
    :func:`get_free_threaded`)."""
    _moravane.set_free_threaded(bool(_check_bool(on, "on")))


# --- argument checks: bad arguments never reach the server -------------------


def _check_int(value, name, low=None, high=None):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError("%s must be an int, not %s" % (name, type(value).__name__))
    value = int(value)
    if (low is not None and value < low) or (high is not None and value > high):
        raise ValueError("%s must be from %s to %s, not %d" % (name, low, high, value))
    return value


def _check_bool(value, name):
    if not isinstance(value, (bool, numpy.bool_)):
        raise TypeError("%s must be a bool, not %s" % (name, type(value).__name__))
    return bool(value)


def _check_path(path, name="path"):
    path = os.fspath(path)
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    if not path:
        raise ValueError("%s must not be empty" % name)
    if "\0" in path:
        raise ValueError("%s must not contain NUL" % name)
    return path


def _absolute(path):
    return os.path.abspath(_check_path(path))


def _fraction(value, name, positive=True):
    if isinstance(value, bool) or not isinstance(value, (numbers.Rational, numbers.Real)):
        raise TypeError("%s must be a number, not %s" % (name, type(value).__name__))
    result = Fraction(value) if isinstance(value, numbers.Rational) else Fraction(float(value))
    if positive and result <= 0:
        raise ValueError("%s must be above 0, not %s" % (name, value))
    return result


def _ratio_words(value, name):
    """A fraction as two 32-bit words, as exact as the words allow."""
    result = _fraction(value, name, positive=False)
    if result < 0:
        raise ValueError("%s must not be negative, not %s" % (name, value))
    limit = _INT32_MAX
    while result.numerator > _INT32_MAX or result.denominator > _INT32_MAX:
        limit //= 2
        result = result.limit_denominator(limit)
        if limit < 1:
            raise ValueError("%s is too large for a 32-bit time: %s" % (name, value))
    return result.numerator, result.denominator


def _guid_text(key):
    if isinstance(key, uuid.UUID):
        return str(key)
    try:
        return str(uuid.UUID(key))
    except (ValueError, TypeError, AttributeError):
        return None


# --- objects --------------------------------------------------------------------


class Server:
    """The link to the link server: version, memory, projects and sources.

    A context manager: leaving the block closes the link (projects and
    sources reached through it then raise :class:`LinkError` with
    ``should_reconnect``).
    """

    def __init__(self, core):
        self._core = core

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        """Let go of the link. Closing twice does nothing."""
        self._core.close()

    @property
    def version(self):
        """The server's version number."""
        return self._core.version()

    @property
    def minimum_memory(self):
        """The least memory, in bytes, that the server needs."""
        return self._core.minimum_memory()

    @property
    def current_memory(self):
        """The memory, in bytes, that the server uses now."""
        return self._core.current_memory()

    @property
    def project_extension(self):
        """The file extension of the server's projects, such as ".orraproj"."""
        return self._core.project_extension()

    def set_idle_time_memory(self, nbytes):
        """Set the memory budget, in bytes, that the server keeps while idle."""
        self._core.set_idle_time_memory(_check_int(nbytes, "nbytes", 0, (1 << 64) - 1))

    def set_temporary_memory(self, nbytes):
        """Set the memory budget, in bytes, for temporary use."""
        self._core.set_temporary_memory(_check_int(nbytes, "nbytes", 0, (1 << 64) - 1))

    def cache_final_frame(self, cache=True):
        """Ask the server to keep (or stop keeping) the final frame cached."""
        self._core.cache_final_frame(_check_bool(cache, "cache"))

    def purge(self):
        """Ask the server to free what memory it can."""
        self._core.purge()

    def open(self, path):
        """Open the project at `path` (made absolute); returns a
        :class:`Project`, a context manager that closes it."""
        return Project(self, self._core.open_project(_absolute(path)))

    def create_source(self, path, size, duration, fps, pixel_aspect=1):
        """Create a new project file at `path` holding one new source, and
        open it.

        `size` is (width, height); `duration` in seconds (a number or a
        ``Fraction``); `fps` frames per second; `pixel_aspect` a number or
        ``Fraction``. Returns the new :class:`Source`; its open project is
        ``source.project``. An existing file is not overwritten.
        """
        try:
            width, height = size
        except (TypeError, ValueError):
            raise TypeError("size must be (width, height)") from None
        width = _check_int(width, "width", 1, _INT32_MAX)
        height = _check_int(height, "height", 1, _INT32_MAX)
        aspect = _ratio_words(_fraction(pixel_aspect, "pixel_aspect"), "pixel_aspect")
        length = _ratio_words(_fraction(duration, "duration"), "duration")
        rate = float(_fraction(fps, "fps"))
        project, source = self._core.create_source(_absolute(path), width, height, *aspect, *length, rate)
        wrapped = Project(self, project)
        return Source(source, project=wrapped)

    def send_file(self, path):
        """Hand the file at `path` (made absolute) to the application."""
        self._core.send_file(_absolute(path))

    def __repr__(self):
        return "<moravane.Server%s>" % ("" if self._core.is_linked() else " (closed)")


class Project:
    """A project that the server has open.

    Iterating over it gives the items at the top of its tree; :meth:`walk`
    gives every item; :meth:`source` (or ``project[key]``) finds a source by
    GUID or name. A context manager: leaving the block closes the project.
    """

    def __init__(self, server, core):
        self._server = server
        self._core = core
        self._owned_server = None  # the link moravane.open made for it

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        try:
            self.close()
        except LinkError as error:
            # A project of a lost link is gone with the link.
            if not error.should_reconnect:
                raise

    def close(self):
        """Close the project on the server (and the link, for a project of
        :func:`open`)."""
        try:
            self._server._core.close_project(self._core)
        finally:
            owned, self._owned_server = self._owned_server, None
            if owned is not None:
                owned.close()

    @property
    def server(self):
        """The :class:`Server` that opened the project."""
        return self._server

    @property
    def name(self):
        """The project's name."""
        return self._core.name()

    @property
    def path(self):
        """The path the project was opened from."""
        return self._core.path()

    @property
    def root(self):
        """The root :class:`Item` of the item tree."""
        return Item(self._core.root())

    def __iter__(self):
        return iter(self.root.children)

    def walk(self):
        """Every item below the root, depth first, parents before children."""
        stack = list(reversed(self.root.children))
        while stack:
            item = stack.pop()
            yield item
            stack.extend(reversed(item.children))

    def sources(self):
        """Every source of the project, in tree order."""
        return [item.as_source() for item in self.walk() if item.is_source]

    def source(self, key):
        """The :class:`Source` with GUID `key` (a ``uuid.UUID`` or its
        string form) or, failing that, with the name `key`.

        A name that no source has, or that several have, raises ``KeyError``.
        """
        if not isinstance(key, (str, uuid.UUID)):
            raise TypeError("a source is found by uuid.UUID, GUID string or name, not %s" % type(key).__name__)
        guid = _guid_text(key)
        if guid is not None:
            return Source(self._core.source(guid), project=self)
        return Source(self._core.find_source(key), project=self)

    __getitem__ = source

    def __contains__(self, key):
        """Whether a source has the GUID or the name `key`."""
        if not isinstance(key, (str, uuid.UUID)):
            return False
        guid = _guid_text(key)
        for item in self.walk():
            if item.is_source and (str(item.id) == guid if guid is not None else item.name == key):
                return True
        return False

    def __reduce__(self):
        # A project pickles as its absolute path: unpickled, it is the
        # receiving process's own open project of that path (_unpickle_project).
        return (_unpickle_project, (_pickled_path(self, "project"),))

    def __repr__(self):
        return "<moravane.Project %r>" % self.name


class Item:
    """A node of a project's item tree: a bin, a source or another item."""

    def __init__(self, core):
        self._core = core

    @property
    def name(self):
        """The item's name."""
        return self._core.name()

    @property
    def id(self):
        """The item's GUID as a ``uuid.UUID``."""
        return uuid.UUID(self._core.id())

    @property
    def is_source(self):
        """True when the item is a renderable source."""
        return self._core.type() == 1

    @property
    def is_container(self):
        """True when the item has children (a bin or the root)."""
        return self._core.is_container()

    @property
    def parent(self):
        """The parent :class:`Item`, None for the root."""
        parent = self._core.parent()
        return None if parent is None else Item(parent)

    @property
    def children(self):
        """The child items (an empty list for an item that is no container)."""
        return [Item(child) for child in self._core.children()]

    def __iter__(self):
        return iter(self.children)

    def as_source(self):
        """The item as a :class:`Source`, None when it is none."""
        source = self._core.as_source()
        return None if source is None else Source(source)

    def __repr__(self):
        return "<moravane.Item %r %s>" % (self.name, self.id)


def frame_range(text, count):
    """The frames that the range `text` selects among `count` frames, as a
    ``range``: what ``moravane-cli render --frames`` means by it, read by
    the same code.

    "N" is frame N; "A:B" frames A up to B (B excluded); "A:B:STEP" every
    STEP-th of them; "A:" from A to the end, ":B" from the first up to B;
    "" every frame. Negative numbers count from the end: "-1" is the last
    frame, "-10:" the last ten, "0:-1" all but the last. Unlike a slice, a
    range is never cut to fit: one that reaches past the frames raises
    ``IndexError``; one that cannot be read, or selects nothing,
    ``ValueError``.
    """
    if not isinstance(text, str):
        raise TypeError("a frame range is a str, not %s" % type(text).__name__)
    return range(*_moravane.frame_range(text, _check_int(count, "count", 0, _INT32_MAX)))


class Source:
    """A renderable source: metadata, frames and audio.

    ``len(source)`` is its number of frames; ``source[i]`` renders frame
    `i` (negative counts from the end) at the source's size as RGBA;
    ``source[a:b:step]`` is an iterator of those frames; :meth:`frames`
    takes every render option; :meth:`get_batch` (or ``source[[i, j]]``)
    stacks copies of several frames into one array; :meth:`audio` and
    :meth:`audio_blocks` render sound.

    Every frame is a NumPy array of shape (height, width, channels) and
    dtype uint8, uint16 or float32 (bit depth 8, 16, 32). With four
    channels it views the shared memory the server wrote it into, without a
    copy, and keeps it for as long as it lives; three channels and grey are
    converted once into an array of their own.
    """

    def __init__(self, core, project=None, options=None):
        self._core = core
        self.project = project
        # The render options every render of this source starts from (those
        # of a call override them); checked once here.
        self._options = dict(options or {})
        _video_request(self._options)
        self._default = None
        self._default_lock = threading.Lock()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        """End the render that ``source[i]`` keeps running between frames.
        The source stays usable: the next ``source[i]`` starts a new one."""
        with self._default_lock:
            frames, self._default = self._default, None
        if frames is not None:
            frames.close()

    # -- metadata, read from the server on every access --

    @property
    def duration(self):
        """The duration in seconds, a ``Fraction``."""
        value, scale = self._core.duration()
        return Fraction(value, scale) if scale else Fraction(0)

    @property
    def pixel_aspect(self):
        """The pixel aspect ratio, a ``Fraction``."""
        numerator, denominator = self._core.pixel_aspect()
        return Fraction(numerator, denominator) if denominator else Fraction(0)

    @property
    def fps(self):
        """Frames per second, a float."""
        return self._core.frame_rate()

    @property
    def frame_rate(self):
        """Frames per second as a ``Fraction`` (30000/1001 for 29.97), the
        one the command line counts frames with."""
        return Fraction(*_moravane.rate_fraction(self.fps))

    @property
    def size(self):
        """(width, height) in pixels."""
        return self._core.size()

    @property
    def width(self):
        """The frame width in pixels."""
        return self.size[0]

    @property
    def height(self):
        """The frame height in pixels."""
        return self.size[1]

    @property
    def bit_depth(self):
        """Bits per channel of the source's frames: 8, 16 or 32."""
        return self._core.bit_depth()

    @property
    def timestamp(self):
        """The server's change stamp of the source."""
        return self._core.timestamp()

    def is_newer_than(self, timestamp):
        """Whether the source changed after `timestamp`."""
        return self._core.is_newer_than(_check_int(timestamp, "timestamp", -(1 << 31), _INT32_MAX))

    @property
    def has_audio(self):
        """True when the source has sound."""
        return self._core.has_audio()

    @property
    def has_video(self):
        """True when the source has pictures."""
        return self._core.has_video()

    @property
    def name(self):
        """The source's name in the project."""
        item = self._core.item()
        return None if item is None else item.name()

    @property
    def id(self):
        """The source's GUID, a ``uuid.UUID``."""
        item = self._core.item()
        return None if item is None else uuid.UUID(item.id())

    def __len__(self):
        """The number of frames: those whose start lies inside the duration."""
        rate = self.frame_rate
        count = self.duration * rate
        return int(-(-count.numerator // count.denominator))

    # -- frames --

    def _index(self, index, length):
        index = _check_int(index, "frame index")
        if index < 0:
            index += length
        if not 0 <= index < length:
            raise IndexError("frame %d is outside the source's %d frames" % (index, length))
        return index

    def _frame_indices(self, indices):
        """`indices` as frames() and timestamps() take them, as a range or a
        list of frame numbers, negatives counted from the end, each checked."""
        length = len(self)
        if indices is None:
            return range(length)
        if isinstance(indices, str):
            return frame_range(indices, length)
        if isinstance(indices, bytes) or not hasattr(indices, "__iter__"):
            raise TypeError("indices must be an iterable of ints, a range or a frame range such as '10:20'")
        if isinstance(indices, numpy.ndarray) and indices.ndim != 1:
            raise TypeError("an array of frame indices must have one dimension, not %d" % indices.ndim)
        # A range with both ends on one side of 0 is checked at its ends and
        # stays lazy; one that crosses 0 ("-2, -1, 0, 1") is no interval.
        if isinstance(indices, range) and len(indices) and (indices[0] < 0) == (indices[-1] < 0):
            first, last = self._index(indices[0], length), self._index(indices[-1], length)
            return range(first, last + (1 if indices.step > 0 else -1), indices.step)
        return [self._index(i, length) for i in indices]

    def __getitem__(self, key):
        if isinstance(key, slice):
            return self.frames(range(*key.indices(len(self))))
        if isinstance(key, numpy.ndarray) and key.ndim == 0:
            key = key[()]
        if isinstance(key, (list, tuple, numpy.ndarray)):
            return self.get_batch(key)
        index = self._index(key, len(self))
        with self._default_lock:
            if self._default is None:
                self._default = Frames(self, None, _video_request(self._options))
            frames = self._default
        return frames.render(index)

    def frames(self, indices=None, **options):
        """Render the frames at `indices` (an iterable of ints, a ``range``,
        or a frame range such as "10:20" or "-10:" as :func:`frame_range`
        reads it; negative numbers count from the end; all frames when
        None) and return a :class:`Frames` iterator of views.

        Options (all checked before the server is asked):
            width, height: the size to render at (0: the source's).
            depth: bits per channel, 8, 16 or 32 (None: the source's).
            channels: "RGBA" (default), "BGRA", "ARGB" (views of the
                section), "RGB", "BGR" or "GRAY" (converted once; GRAY is
                an (height, width) array of BT.601 luma).
            channel_order: the older name for a four-channel `channels`.
            writable: True for frames that may be written, copy-on-write
                (no copy until written; the writes never reach the server).
            field_order: "progressive" (default), "upper" or "lower".
            downsample: n or (x, y), 1 to 64.
            region: (left, top, right, bottom) of the bounded frame.
            row_bytes: bytes from row to row (0: packed).
            low_quality, guides, premultiply: bools.
        """
        request = _video_request({**self._options, **options})
        indices = self._frame_indices(indices)
        return Frames(self, indices, request)

    def get_batch(self, indices, **options):
        """The frames at `indices` (as :meth:`frames` takes them, or a NumPy
        array of ints) stacked into one new array of shape (n, height,
        width, channels): each frame is copied once, so the batch stays
        valid. ``source[[i, j, k]]`` is the same with the source's options.
        Options as for :meth:`frames`."""
        picked = self._frame_indices(indices)
        if not len(picked):
            raise ValueError("indices is empty: it selects no frames")
        out = None
        with self.frames(picked, **options) as frames:
            for k, frame in enumerate(frames):
                if out is None:
                    out = numpy.empty((len(picked),) + frame.shape, frame.dtype)
                out[k] = frame
        return out

    #: The former name of :meth:`get_batch`.
    batch = get_batch

    def timestamps(self, indices=None):
        """When frames start, in seconds as ``Fraction``: frame n at
        n / :attr:`frame_rate`, exactly (1001/30000 for frame 1 at 29.97).

        `indices` as :meth:`frames` takes them (a list comes back; all
        frames when None), or one int (its time comes back alone).
        """
        rate = self.frame_rate
        if isinstance(indices, numbers.Integral):
            return self._index(indices, len(self)) / rate
        return [Fraction(index) / rate for index in self._frame_indices(indices)]

    @property
    def metadata(self):
        """The source as ``moravane-cli probe --json`` describes it: a dict
        of the same keys and values, from the same code, with ffprobe's
        names where ffprobe has one (name, guid, kind, codec_type, width,
        height, sample_aspect_ratio, r_frame_rate, nb_frames, duration,
        sample_rate, channels, ...; docs/cli.md)."""
        return _moravane.describe_source(self._core)

    def _audio_request(self, start, seconds, rate, channels, dtype):
        """The checked arguments of audio() and audio_blocks(): the start
        as two words, the sample frames, the rate, the channels and whether
        samples are floats. The arguments are checked before the server is
        asked about the source."""
        rate = float(_fraction(rate, "rate"))
        if not 1 <= rate <= 768000:
            raise ValueError("rate must be from 1 to 768000, not %s" % rate)
        channels = _check_int(channels, "channels", 1, 32)
        dtype_name = numpy.dtype(dtype).name if not isinstance(dtype, str) else dtype
        if dtype_name not in _AUDIO_DTYPES:
            raise ValueError("dtype must be float32 or int16, not %r" % (dtype,))
        start = _fraction(start, "start", positive=False)
        if start < 0:
            raise ValueError("start must not be negative")
        if seconds is not None:
            seconds = _fraction(seconds, "seconds")
        duration = self.duration
        if start >= duration:
            raise ValueError("start %s s is at or past the source's end (%s s)" % (float(start), float(duration)))
        # A render of a source without sound would fail on the server; this
        # says why without starting one.
        if not self.has_audio:
            raise ValueError("the source %r has no audio" % self.name)
        if seconds is None:
            seconds = duration - start
        frames = round(seconds * Fraction(rate))
        if frames < 1:
            raise ValueError("seconds is shorter than one sample frame")
        value, scale = _ratio_words(start, "start")
        return value, scale, frames, rate, channels, _AUDIO_DTYPES[dtype_name]

    def audio(self, start=0, seconds=None, rate=48000, channels=2, dtype="float32"):
        """Render sound: `seconds` from `start` (seconds; default: to the
        end of the source) at `rate` sample frames per second with
        `channels` interleaved channels, dtype "float32" (-1 to 1) or
        "int16".

        Returns an array of shape (frames, channels) over a shared section
        of its own (no copy; it stays valid). Shorter when the source ends
        first. A source without sound raises ``ValueError``.
        """
        value, scale, frames, rate, channels, floats = self._audio_request(start, seconds, rate, channels, dtype)
        if frames > _INT32_MAX // (channels * 4):
            raise ValueError("too much sound for one request; ask for less, or use audio_blocks()")
        return self._core.audio(value, scale, frames, rate, channels, floats)

    def audio_blocks(self, blocksize=4800, start=0, seconds=None, rate=48000, channels=2, dtype="float32"):
        """Render sound as :meth:`audio` does, but in blocks: an iterator of
        arrays of shape (blocksize, channels), the last one shorter, whose
        concatenation is what :meth:`audio` gives for the same arguments.

        One render runs for the whole iteration, its section one block
        long: the server fills it once per block and each block is copied
        out (a new, writable array), so no more than a block is held
        however long the sound. The iterator is a context manager; the
        render ends when it is exhausted, closed or collected.
        """
        blocksize = _check_int(blocksize, "blocksize", 1, 10000000)
        request = self._audio_request(start, seconds, rate, channels, dtype)
        return _moravane.AudioBlocks(self._core, *request, blocksize)

    def with_options(self, **options):
        """A new :class:`Source` of the same project and GUID whose renders
        start from this one's options updated with `options` (the render
        options of :meth:`frames`, checked here). The source itself is not
        changed."""
        return Source(self._core, project=self.project, options={**self._options, **options})

    def __reduce__(self):
        # A source pickles as its project's absolute path, its GUID and its
        # render options; unpickled, it is found again in the receiving
        # process's own open project of that path (_unpickle_source).
        path = _pickled_path(self.project, "source")
        try:
            guid = self.id
        except LinkError as error:
            raise pickle.PicklingError("cannot pickle a source whose link is gone: %s" % error) from error
        if guid is None:
            raise pickle.PicklingError("cannot pickle a source that is no item of its project")
        return (_unpickle_source, (path, str(guid), dict(self._options)))

    def __repr__(self):
        return "<moravane.Source %r>" % self.name


def _video_request(options):
    request = _moravane.VideoRequest()
    unknown = set(options) - {
        "width", "height", "depth", "channels", "channel_order", "field_order", "downsample", "region",
        "row_bytes", "low_quality", "guides", "premultiply", "writable",
    }
    if unknown:
        raise TypeError("unknown render option(s): %s" % ", ".join(sorted(unknown)))
    request.width = _check_int(options.get("width", 0), "width", 0, 32768)
    request.height = _check_int(options.get("height", 0), "height", 0, 32768)
    depth = options.get("depth")
    if depth is not None:
        if _check_int(depth, "depth") not in _DEPTHS:
            raise ValueError("depth must be 8, 16 or 32, not %d" % depth)
        request.depth = depth
    if "channels" in options and "channel_order" in options:
        raise TypeError("give channels or channel_order, not both")
    name = "channel_order" if "channel_order" in options else "channels"
    channels = options.get(name, "RGBA")
    if channels not in _CHANNELS or (name == "channel_order" and _CHANNELS[channels][1] != 4):
        allowed = _CHANNELS if name == "channels" else ("RGBA", "BGRA", "ARGB")
        raise ValueError("%s must be one of %s, not %r" % (name, ", ".join(allowed), channels))
    request.channel_order, request.output_channels = _CHANNELS[channels]
    request.writable = _check_bool(options.get("writable", False), "writable")
    field = options.get("field_order", "progressive")
    if field not in _FIELD_ORDERS:
        raise ValueError("field_order must be progressive, upper or lower, not %r" % (field,))
    request.field_order = _FIELD_ORDERS[field]
    downsample = options.get("downsample", 1)
    if isinstance(downsample, tuple):
        if len(downsample) != 2:
            raise ValueError("downsample takes n or (x, y)")
        x, y = downsample
    else:
        x = y = downsample
    request.downsample_x = _check_int(x, "downsample", 1, 64)
    request.downsample_y = _check_int(y, "downsample", 1, 64)
    region = options.get("region")
    if region is not None:
        if not isinstance(region, (tuple, list)) or len(region) != 4:
            raise ValueError("region takes (left, top, right, bottom)")
        left, top, right, bottom = (_check_int(v, "region", 0, 32768) for v in region)
        if (left, top, right, bottom) != (0, 0, 0, 0) and not (left < right and top < bottom):
            raise ValueError("region needs left < right and top < bottom")
        request.region = (left, top, right, bottom)
    request.row_bytes = _check_int(options.get("row_bytes", 0), "row_bytes", 0, _INT32_MAX)
    request.low_quality = _check_bool(options.get("low_quality", False), "low_quality")
    request.guides = _check_bool(options.get("guides", False), "guides")
    request.premultiply = _check_bool(options.get("premultiply", False), "premultiply")
    return request


class Frames:
    """An iterator of frames of one video render.

    Every frame is an array of its own that keeps its picture for as long
    as it lives, without a copy: the render keeps a pool of shared sections
    (one renderer bound to each), and a frame views the section it was
    rendered into, which is rendered into again only once no array views
    it. A loop that drops each frame before the next reuses two sections.

    A context manager; the render ends when the iterator is exhausted,
    closed, or collected. Frames already returned stay readable.
    """

    def __init__(self, source, indices, request):
        rate = source.frame_rate
        self._indices = indices if indices is not None else ()
        self._pending = iter(self._indices)
        self._numerator = rate.numerator
        self._denominator = rate.denominator
        self._render = _moravane.VideoRender(source._core, request)

    @property
    def shape(self):
        """The shape of every frame: (height, width, channels), or
        (height, width) for GRAY."""
        return self._render.shape

    @property
    def sections(self):
        """How many shared sections the render's pool holds now."""
        return self._render.sections

    def render(self, index):
        """Render frame `index` and return it."""
        ticks = index * self._denominator
        if ticks > _INT32_MAX:
            raise ValueError("frame %d is too far for a 32-bit time" % index)
        return self._render.render(ticks, self._numerator)

    def __len__(self):
        return len(self._indices)

    def __iter__(self):
        return self

    def __next__(self):
        # Kept lean: this is the per-frame cost of Python over the render.
        for index in self._pending:
            ticks = index * self._denominator
            try:
                if ticks > _INT32_MAX:
                    raise ValueError("frame %d is too far for a 32-bit time" % index)
                return self._render.render(ticks, self._numerator)
            except BaseException:
                self.close()
                raise
        self.close()
        raise StopIteration

    def close(self):
        """End the render. Frames already returned stay readable."""
        self._render.end()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
