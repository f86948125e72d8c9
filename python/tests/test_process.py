"""Whole-process behaviour: interpreter exit with open readers, many threads, installation."""
import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap
import threading

import pytest

import strovix
from conftest import count_frames, first_frame, raw_pipeline

PREAMBLE = f"""
import logging, sys, threading, time
import strovix
logging.basicConfig(level=logging.INFO, stream=sys.stdout)
PIPELINE = {raw_pipeline(pattern="ball")!r}
def first_frame(reader):
    for _ in range(100):
        if reader.latest_frame_event.wait(0.5) and reader.latest_frame()[1] is not None:
            return
    raise SystemExit("no frame")
"""

# Each script leaves at least one reader open and lets the interpreter exit.
EXIT_SCRIPTS = {
    "global reader": """
        reader = strovix.GstStreamReader(0, "cam", pipeline_str=PIPELINE)
        first_frame(reader)
    """,
    "reader in a reference cycle": """
        class Holder: pass
        h = Holder(); h.me = h; h.reader = strovix.GstStreamReader(0, "cam", pipeline_str=PIPELINE)
        first_frame(h.reader)
        del h
    """,
    "daemon thread waiting on a reader's event": """
        reader = strovix.GstStreamReader(0, "cam", pipeline_str=PIPELINE)
        first_frame(reader)
        reader.new_status_event.clear()
        waiting = threading.Event()
        def wait_forever(r):
            waiting.set()
            r.new_status_event.wait()  # set when the reader is closed at exit
            strovix.Event().wait()  # never set: still waiting while the interpreter ends
        threading.Thread(target=wait_forever, args=(reader,), daemon=True).start()
        waiting.wait(5)
        del reader
    """,
    "daemon threads reading": """
        reading = threading.Semaphore(0)
        def read():
            r = strovix.GstStreamReader(0, "cam", pipeline_str=PIPELINE)
            first_frame(r)
            reading.release()
            while True:
                r.latest_frame_event.wait(1.0)
                r.latest_frame()
        for _ in range(3):
            threading.Thread(target=read, daemon=True).start()
        for _ in range(3):
            assert reading.acquire(timeout=30)
    """,
    "rtsp reader and server": """
        import _strovix_testing as testing
        server = testing.RtspServer(); server.add_mount("/h264"); server.start()
        reader = strovix.GstStreamReader(0, server.url_with_credentials("/h264", "u", "p"))
        first_frame(reader)
    """,
    "sys.exit from a reader loop": """
        with strovix.GstStreamReader(0, "cam", pipeline_str=PIPELINE) as reader:
            first_frame(reader)
            other = strovix.GstStreamReader(1, "cam2", pipeline_str=PIPELINE)
            print('exiting', flush=True)
            sys.exit(0)
    """,
}


@pytest.mark.parametrize("name", list(EXIT_SCRIPTS))
def test_interpreter_exit_with_open_readers(name):
    script = PREAMBLE + textwrap.dedent(EXIT_SCRIPTS[name]) + "\nprint('exiting', flush=True)\n"
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=90)
    assert result.returncode == 0, result.stderr[-3000:]
    assert "exiting" in result.stdout
    for bad in ("Fatal Python error", "terminate called", "Segmentation", "Traceback"):
        assert bad not in result.stderr, result.stderr[-3000:]
    # The readers were closed while logging still worked.
    assert "new status CLOSED" in result.stdout


def test_eight_readers_from_eight_threads(rtsp_server):
    sources = [(rtsp_server.url("/h264"), None)] * 4 + [("cam", raw_pipeline(pattern="ball"))] * 4
    results = [None] * len(sources)

    def read(index, url, pipeline_str):
        try:
            with strovix.GstStreamReader(index, url, pipeline_str=pipeline_str) as reader:
                first_frame(reader)
                frames = count_frames(reader, 3.0)
                shape = reader.latest_frame()[1].shape
            results[index] = (frames, shape)
        except BaseException as e:  # reported below
            results[index] = e

    threads = [threading.Thread(target=read, args=(i, *s)) for i, s in enumerate(sources)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60.0)
    assert not any(t.is_alive() for t in threads), "a reader thread is stuck"
    for (url, pipeline), result in zip(sources, results):
        assert isinstance(result, tuple), result
        frames, shape = result
        assert frames >= 30, (url, frames)  # 30 fps sources over 3 s
        assert shape == ((240, 320, 3) if pipeline is None else (48, 64, 3))


@pytest.mark.skipif("STROVIX_BUILD_DIR" not in os.environ, reason="needs the CMake build tree")
def test_installed_package_imports_and_reads():
    build = os.environ["STROVIX_BUILD_DIR"]
    with tempfile.TemporaryDirectory() as prefix:
        subprocess.run(["cmake", "--install", build, "--prefix", prefix], check=True,
                       capture_output=True, timeout=120)
        init = next(pathlib.Path(prefix).rglob("strovix/__init__.py"))
        script = (f"import strovix; assert strovix.__file__.startswith({prefix!r}), strovix.__file__\n"
                  f"with strovix.GstStreamReader(0, 'cam', pipeline_str={raw_pipeline()!r}) as r:\n"
                  "    assert r.latest_frame_event.wait(15.0)\n")
        env = dict(os.environ, PYTHONPATH=str(init.parent.parent))
        result = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                                text=True, timeout=60, cwd=prefix)
        assert result.returncode == 0, result.stderr[-3000:]
