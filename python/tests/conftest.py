import socket
import time

import pytest

import _strovix_testing as testing
import strovix

SECRET = "Tr0ub4dor&3"


def raw_pipeline(fmt="BGR", width=64, height=48, fps=30, pattern="smpte", live=True):
    return (
        f"videotestsrc is-live={'true' if live else 'false'} pattern={pattern} ! "
        f"video/x-raw,format={fmt},width={width},height={height},framerate={fps}/1 ! "
        "appsink max-buffers=1 drop=true sync=false"
    )


def first_frame(reader, timeout=15.0):
    """The first (timestamp, array) the reader delivers; fails after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if reader.latest_frame_event.wait(deadline - time.monotonic()):
            timestamp, frame = reader.latest_frame()
            if frame is not None:
                return timestamp, frame
    pytest.fail(f"no frame from {reader!r} within {timeout} s")


def count_frames(reader, seconds):
    """Distinct frames delivered during the next `seconds` seconds."""
    deadline = time.monotonic() + seconds
    last, count = None, 0
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return count
        if reader.latest_frame_event.wait(left):
            timestamp, frame = reader.latest_frame()
            if frame is not None and timestamp != last:
                last, count = timestamp, count + 1


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(scope="session", autouse=True)
def glib_warnings_counted():
    testing.install_glib_warning_counter()


@pytest.fixture(autouse=True)
def no_glib_warnings():
    """A GLib/GStreamer CRITICAL or WARNING during a test (a ref-count or property mistake)
    fails it."""
    before = len(testing.glib_warnings())
    yield
    new = testing.glib_warnings()[before:]
    assert not new, new


@pytest.fixture(scope="session")
def rtsp_server():
    server = testing.RtspServer()
    server.add_mount("/h264", codec="h264")
    server.add_mount("/mjpeg", codec="mjpeg")
    server.add_mount("/kf", codec="h264", key_int_max=15)
    server.add_mount("/auth", codec="h264", require_auth=True)
    server.start()
    yield server
    server.stop()


@pytest.fixture
def readers():
    """Readers made through this list are closed at the end of the test, failed or not."""
    made = []

    class Factory:
        def __call__(self, *args, **kwargs):
            reader = strovix.GstStreamReader(*args, **kwargs)
            made.append(reader)
            return reader

    yield Factory()
    for reader in made:
        reader.wait_until_closed()
