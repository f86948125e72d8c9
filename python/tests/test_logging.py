"""The library's log lines reach Python's logging."""
import logging
import threading

import pytest

from conftest import first_frame, raw_pipeline


class Collector(logging.Handler):
    def __init__(self):
        super().__init__(level=logging.DEBUG)
        self.records = []
        self.changed = threading.Condition()

    def emit(self, record):
        with self.changed:
            self.records.append(record)
            self.changed.notify_all()

    def wait_for(self, text, timeout=10.0):
        with self.changed:
            self.changed.wait_for(lambda: self.find(text), timeout)
            return self.find(text)

    def find(self, text):
        return next((r for r in self.records if text in r.getMessage()), None)


@pytest.fixture
def collector():
    handler = Collector()
    logger = logging.getLogger("strovix")
    old_level = logger.level
    logger.setLevel(logging.DEBUG)
    logger.addHandler(handler)
    yield handler
    logger.removeHandler(handler)
    logger.setLevel(old_level)


# (how the reader is made, expected line, level)
CASES = [
    ("rtsp with credentials", "last status INITIALIZING, new status STREAMING", logging.INFO),
    ("ending pipeline", "EOS received, restarting pipeline", logging.WARNING),
    ("keyframes only", "Added pad probe to enable keyframe-only streaming", logging.INFO),
]


@pytest.mark.parametrize("case,text,level", CASES, ids=[c[0] for c in CASES])
def test_records_reach_logging_with_names_and_levels(readers, rtsp_server, collector, case, text, level):
    if case == "rtsp with credentials":
        url = rtsp_server.url_with_credentials("/auth", rtsp_server.user, rtsp_server.password)
        reader = readers(11, url)
        name = "strovix." + rtsp_server.url("/auth")
    elif case == "ending pipeline":
        reader = readers(12, "file:///clip.mp4", pipeline_str=raw_pipeline(live=False).replace(
            "videotestsrc", "videotestsrc num-buffers=3"), base_backoff_seconds=30.0)
        name = "strovix.file:///clip.mp4"
    else:
        reader = readers(13, rtsp_server.url("/kf"), {"keyframes_only": True})
        name = "strovix." + rtsp_server.url("/kf")
    first_frame(reader)
    record = collector.wait_for(text)
    assert record is not None, [r.getMessage() for r in collector.records]
    assert record.name == name
    assert record.levelno == level
    assert record.threadName == "strovix-logging"
    for r in collector.records:
        assert rtsp_server.password not in r.getMessage() and rtsp_server.password not in r.name
