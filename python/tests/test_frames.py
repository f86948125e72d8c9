"""Frames as numpy arrays: layout, colours, sharing and lifetime."""
import gc
import time

import numpy as np
import strovix
import pytest

from conftest import count_frames, first_frame, raw_pipeline

# (appsink format, videotestsrc pattern, expected BGR, tolerance): BGR is mapped as it is,
# I420 and NV12 go through the colour conversion.
COLOURS = [
    ("BGR", "red", (0, 0, 255), 0),
    ("BGR", "blue", (255, 0, 0), 0),
    ("I420", "red", (0, 0, 255), 16),
    ("I420", "green", (0, 255, 0), 16),
    ("NV12", "blue", (255, 0, 0), 16),
    ("NV12", "white", (255, 255, 255), 16),
]


@pytest.mark.parametrize("fmt,pattern,bgr,tolerance", COLOURS)
@pytest.mark.parametrize("width,height", [(64, 48), (50, 30)])
def test_custom_pipeline_frames_have_layout_and_colour(readers, fmt, pattern, bgr, tolerance, width, height):
    reader = readers(0, "test-pattern", pipeline_str=raw_pipeline(fmt, width, height, pattern=pattern))
    _, frame = first_frame(reader)
    assert frame.shape == (height, width, 3)
    assert frame.dtype == np.uint8
    row_stride, pixel_stride, channel_stride = frame.strides
    assert (pixel_stride, channel_stride) == (3, 1)
    assert row_stride >= width * 3
    if fmt == "BGR":
        # GStreamer pads BGR rows to 4 bytes; the array must step over the padding.
        assert row_stride == (width * 3 + 3) // 4 * 4
    assert not frame.flags.writeable
    assert not frame.flags.owndata
    diff = np.abs(frame.astype(np.int16) - np.array(bgr, dtype=np.int16))
    assert diff.max() <= tolerance, (frame[0, 0], frame[-1, -1])


@pytest.mark.parametrize("mount", ["/h264", "/mjpeg"])
def test_rtsp_frames_arrive_as_bgr_arrays(readers, rtsp_server, mount):
    reader = readers(1, rtsp_server.url(mount))
    _, frame = first_frame(reader)
    assert frame.shape == (240, 320, 3)
    assert frame.dtype == np.uint8
    assert frame.strides[1:] == (3, 1) and frame.strides[0] >= 320 * 3
    # The test pattern (a ball on black) is neither blank nor a single colour.
    assert frame.max() > 200 and frame.min() < 40
    assert count_frames(reader, 1.0) >= 10


def test_same_frame_gives_the_same_array_and_memory(readers):
    reader = readers(0, "slow", pipeline_str=raw_pipeline(fps=2, pattern="ball"))
    first_frame(reader)
    pairs = 0
    for _ in range(20):
        t1, a = reader.latest_frame()
        t2, b = reader.latest_frame()
        if t1 != t2:
            continue  # a new frame came between the calls
        pairs += 1
        assert b is a
        assert a.__array_interface__["data"][0] == b.__array_interface__["data"][0]
        break
    assert pairs == 1
    assert np.shares_memory(a[1:, 2:], b)
    assert type(a.base).__name__ == "PyCapsule"


def test_array_keeps_its_frame_while_new_frames_arrive(readers):
    reader = readers(0, "ball", pipeline_str=raw_pipeline(fps=30, pattern="ball"))
    t, held = first_frame(reader)
    copy = held.copy()
    assert count_frames(reader, 0.5) >= 3
    t_new, newest = reader.latest_frame()
    assert t_new != t and newest is not held
    assert not np.shares_memory(newest, held)
    np.testing.assert_array_equal(held, copy)


def test_array_stays_valid_after_the_reader_is_closed_and_deleted():
    import strovix

    reader = strovix.GstStreamReader(0, "ball", pipeline_str=raw_pipeline(pattern="ball"))
    _, frame = first_frame(reader)
    copy = frame.copy()
    reader.wait_until_closed()
    assert reader.latest_frame()[1] is None
    del reader
    gc.collect()
    np.testing.assert_array_equal(frame, copy)
    with pytest.raises(ValueError):
        frame.setflags(write=True)
    with pytest.raises(ValueError):
        frame[0, 0, 0] = 1


def test_meta_gives_sequence_and_the_camera_capture_time(readers, rtsp_server):
    reader = readers(1, rtsp_server.url("/h264"))
    first_frame(reader)
    # The pair stays the default.
    assert len(reader.latest_frame()) == 2
    # The server's first sender report comes a few seconds into the stream.
    deadline = time.monotonic() + 20.0
    meta = None
    while time.monotonic() < deadline:
        reader.latest_frame_event.wait(0.5)
        timestamp, frame, meta = reader.latest_frame(meta=True)
        if frame is not None and meta.capture_time is not None:
            break
    assert meta is not None and meta.capture_time is not None
    assert timestamp - 0.5 <= meta.capture_time <= timestamp + 0.005
    assert meta.sequence >= 1
    latency = reader.stats().capture_latency
    assert latency is not None and -0.005 <= latency <= 0.5
    reader.latest_frame_event.wait(2.0)
    _, _, later = reader.latest_frame(meta=True)
    assert later.sequence > meta.sequence
    assert later.capture_time > meta.capture_time


def test_meta_without_sender_reports_has_no_capture_time(readers):
    reader = readers(1, "custom://", pipeline_str=raw_pipeline())
    first_frame(reader)
    _, frame, meta = reader.latest_frame(meta=True)
    assert frame is not None and meta.capture_time is None and meta.sequence >= 1
    assert reader.stats().capture_latency is None


# (source format, output_size, pixel_format, shape, expected value at the centre):
# every pixel format at the full size, half size and an odd size, the delivered shape and
# layout, and the colour in the asked channel order. Red (255, 0, 0) has BT.601 luma 76.
HOST_READY = [
    (src, size, fmt, shape)
    for src in ("I420", "NV12", "BGR")
    for size, (h, w) in (((0, 0), (48, 64)), ((32, 24), (24, 32)), ((33, 0), (24, 33)),
                         ((21, 17), (17, 21)))
    for fmt, shape in (("bgr", (h, w, 3)), ("rgb", (h, w, 3)), ("gray", (h, w)))
]
EXPECTED_RED = {"bgr": (0, 0, 255), "rgb": (255, 0, 0), "gray": 76}


@pytest.mark.parametrize("src,size,fmt,shape", HOST_READY)
def test_output_size_and_pixel_format_give_the_asked_array(readers, src, size, fmt, shape):
    reader = readers(0, "host-ready", pipeline_str=raw_pipeline(src, 64, 48, pattern="red"),
                     output_size=size, pixel_format=fmt)
    _, frame = first_frame(reader)
    assert frame.shape == shape
    assert frame.dtype == np.uint8
    assert not frame.flags.writeable
    channels = 1 if fmt == "gray" else 3
    assert frame.strides[0] >= shape[1] * channels
    assert frame.strides[1] == channels
    diff = np.abs(frame.astype(np.int16) - np.array(EXPECTED_RED[fmt], dtype=np.int16))
    assert diff.max() <= 16, frame[shape[0] // 2, shape[1] // 2]
    stats = reader.stats()
    assert (stats.width, stats.height) == (shape[1], shape[0])


@pytest.mark.parametrize("kwargs,message", [
    ({"output_size": (-1, 0)}, "output_width must be 0"),
    ({"output_size": (640, 100000)}, "output_height must be 0"),
    ({"pixel_format": "yuv"}, 'pixel_format must be "bgr", "rgb" or "gray", not "yuv"'),
    ({"pixel_format": "BGR"}, "pixel_format must be"),
])
def test_undeliverable_output_is_a_setup_error(kwargs, message):
    with pytest.raises(strovix.StreamSetupError, match=message):
        strovix.GstStreamReader(0, "bad-output", pipeline_str=raw_pipeline(), **kwargs)
