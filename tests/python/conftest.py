"""A private per-user world for the test process, as the C++ end-to-end tests
make one: its own XDG_RUNTIME_DIR (where published classes have their
endpoints) and XDG_CONFIG_HOME (where the reference server is registered
with its own --register), so that no server of the user or of another test
answers, and nothing of the user's is read or changed.

The process makes itself the subreaper of what it starts, so that the
servers started by activation are its children: tests can find and kill
them, and none outlives the session.
"""

import ctypes
import os
import shutil
import signal
import subprocess
import tempfile

import pytest

SERVER = os.environ.get("MORAVANE_SERVER", "")
DEMO_DIR = os.environ.get("MORAVANE_DEMO_DIR", "")
PR_SET_CHILD_SUBREAPER = 36


def server_processes():
    """Processes of the reference server that are children of this one."""
    found = []
    me = os.getpid()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            if int(fields[1]) == me and fields[0] != "Z":
                found.append(int(entry))
        except (OSError, IndexError, ValueError):
            continue
    return found


def stop_servers():
    # Each killed server is waited for: until then it still shows as running.
    for pid in server_processes():
        try:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        except (ProcessLookupError, ChildProcessError):
            pass


@pytest.fixture(scope="session", autouse=True)
def private_user_folders():
    if not SERVER or not os.path.exists(SERVER):
        pytest.fail("MORAVANE_SERVER must name the reference server executable")
    root = tempfile.mkdtemp(prefix="moravane-pytest-")  # mode 0700, as the link requires
    saved = {name: os.environ.get(name) for name in ("XDG_RUNTIME_DIR", "XDG_CONFIG_HOME")}
    os.environ["XDG_RUNTIME_DIR"] = root
    os.environ["XDG_CONFIG_HOME"] = os.path.join(root, "config")
    subprocess.run([SERVER, "--register"], check=True, capture_output=True)
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
    yield root
    stop_servers()
    for name, value in saved.items():
        if value is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = value
    shutil.rmtree(root, ignore_errors=True)


@pytest.fixture(scope="session")
def demo_project(private_user_folders):
    return os.path.join(DEMO_DIR, "demo.orraproj")


@pytest.fixture
def project(demo_project):
    import moravane

    with moravane.link() as server, server.open(demo_project) as opened:
        yield opened
