#!/usr/bin/env python3
"""What latest_frame() costs from Python, next to the same loop in C++.

For each source, one consumer waits on latest_frame_event and takes every new frame with
latest_frame(), first from Python, then from C++ (the test helper module runs the same loop
inside C++ on a reader of its own). Printed: frames/s taken, the mean time of a
latest_frame() call that returns a new frame (Python: the call builds the numpy view), and
of a repeated call for the frame already held (Python: the cached array comes back).

    PYTHONPATH=build/python python3 python/bench_latest_frame.py [--seconds 5]
"""
import argparse
import time

import _strovix_testing as testing
import strovix

SOURCES = {
    "live 640x360 BGR 30 fps": "videotestsrc is-live=true pattern=ball ! "
    "video/x-raw,format=BGR,width=640,height=360,framerate=30/1 ! appsink max-buffers=1 drop=true sync=false",
    "live 1920x1080 I420 30 fps": "videotestsrc is-live=true pattern=ball ! "
    "video/x-raw,format=I420,width=1920,height=1080,framerate=30/1 ! appsink max-buffers=1 drop=true sync=false",
    "as fast as it goes 320x240 BGR": "videotestsrc is-live=false pattern=ball ! "
    "video/x-raw,format=BGR,width=320,height=240 ! appsink max-buffers=1 drop=true sync=false",
}


def timer_overhead_ns(samples=100000):
    clock = time.perf_counter_ns
    start = clock()
    for _ in range(samples):
        clock()
    return (clock() - start) / samples


def python_cost(pipeline, seconds, repeat_calls):
    clock = time.perf_counter_ns
    overhead = timer_overhead_ns()
    with strovix.GstStreamReader(0, "bench", pipeline_str=pipeline) as reader:
        while reader.latest_frame()[1] is None and reader.latest_frame_event.wait(10.0):
            pass
        event = reader.latest_frame_event
        last, frames, new_ns = None, 0, 0
        start = time.monotonic()
        end = start + seconds
        while time.monotonic() < end:
            if not event.wait(1.0):
                break
            t0 = clock()
            result = reader.latest_frame()
            t1 = clock()
            # Unpacked after the clock: dropping the previous frame is not part of the call.
            timestamp, frame = result
            if frame is not None and timestamp != last:
                last, frames, new_ns = timestamp, frames + 1, new_ns + (t1 - t0 - overhead)
        elapsed = time.monotonic() - start
        latest = reader.latest_frame
        t0 = clock()
        for _ in range(repeat_calls):
            latest()
        repeat_ns = (clock() - t0) / repeat_calls
    return {"frames": frames, "seconds": elapsed, "new_frame_ns": new_ns / max(frames, 1),
            "repeat_ns": repeat_ns}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--repeat-calls", type=int, default=200000)
    args = parser.parse_args()
    print(f"{'source':32} {'consumer':8} {'frames/s':>9} {'new frame ns':>13} {'repeat ns':>10}")
    for name, pipeline in SOURCES.items():
        py = python_cost(pipeline, args.seconds, args.repeat_calls)
        cpp = testing.cpp_latest_frame_cost(pipeline, args.seconds, args.repeat_calls)
        for consumer, r in (("python", py), ("c++", cpp)):
            print(f"{name:32} {consumer:8} {r['frames'] / r['seconds']:9.1f} "
                  f"{r['new_frame_ns']:13.0f} {r['repeat_ns']:10.0f}")
        print(f"{'':32} {'py - c++':8} {'':9} {py['new_frame_ns'] - cpp['new_frame_ns']:13.0f} "
              f"{py['repeat_ns'] - cpp['repeat_ns']:10.0f}")


if __name__ == "__main__":
    main()
