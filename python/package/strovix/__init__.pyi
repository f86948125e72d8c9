import enum
from types import TracebackType
from typing import Dict, Literal, Optional, Tuple, Type, Union, overload

import numpy as np
import numpy.typing as npt

RuntimeOptionValue = Union[bool, int, float, str]

class StreamSetupError(RuntimeError):
    """A stream that cannot be set up: unsupported URL, a description that does not build,
    or (must_play) a first pipeline that does not play."""

class SampleConversionError(RuntimeError):
    """A pulled frame that cannot be turned into a BGR image."""

class RuntimeOptionError(ValueError):
    """An unsupported run-time option, or a value of the wrong type."""

class StreamStatus(enum.Enum):
    INITIALIZING: int
    STREAMING: int
    HALTED: int
    CLOSED: int
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

class Event:
    """A manual-reset event: stays set until clear(); every waiter wakes on set()."""
    def __init__(self) -> None: ...
    def set(self) -> None: ...
    def clear(self) -> None: ...
    def is_set(self) -> bool: ...
    def wait(self, timeout: Optional[float] = None) -> bool:
        """Blocks without the GIL until set or `timeout` seconds passed; returns is_set()."""

class StreamStats:
    frames_delivered: int
    frames_replaced: int
    restarts: int
    restarts_since_frame: int
    packets_received: int
    packets_lost: int
    frames_damaged_dropped: int
    last_error: str
    last_error_time: float
    last_frame_time: float
    status: StreamStatus
    keyframes_only: bool
    width: int
    height: int
    codec: str
    capture_latency: Optional[float]
    transport: str
    udp_kernel_drops: int
    udp_receive_buffer: int

class FrameMeta:
    """The newest frame's sequence number (1, 2, ... per reader; 0 without a frame) and its
    capture time: seconds since the epoch on the camera's clock, from its RTCP sender
    reports; None before the first report and for sources without them."""
    sequence: int
    capture_time: Optional[float]

class GstStreamReader:
    """Reads one live stream on background threads and keeps its newest frame; restarts the
    stream by itself until closed. GStreamer is started on first construction."""

    def __init__(
        self,
        id: int,
        url: str,
        runtime_options: Optional[Dict[str, RuntimeOptionValue]] = None,
        *,
        latency: int = 200,
        pipeline_str: Optional[str] = None,
        must_play: bool = False,
        proxied: bool = False,
        setup_timeout: float = 30.0,  # deprecated: no effect; to be removed
        base_backoff_seconds: float = 12.0,
        max_backoff_seconds: float = 64.0,
        backoff_randomness_seconds: float = 10.0,
        state_change_timeout: float = 30.0,
        frame_timeout: float = 120.0,
        output_size: Optional[Tuple[int, int]] = None,
        pixel_format: Literal["bgr", "rgb", "gray"] = "bgr",
        tls_ca_file: str = "",
        tls_validation: bool = True,
        deliver_damaged: bool = False,
    ) -> None:
        """output_size=(w, h): frames at that size; 0 is the source's, and one 0 keeps the
        aspect ratio (rounded to even). pixel_format: "bgr" (HxWx3), "rgb" (HxWx3) or "gray"
        (HxW, full-range luma). Both are applied in the one conversion pass; a size or format
        that cannot be delivered raises StreamSetupError. tls_ca_file: a PEM file of the
        certificates rtsps:// and https:// trust instead of the system's; tls_validation=False
        accepts any certificate (a warning is logged). deliver_damaged=True delivers rtsp frames
        built on lost packets (smeared, blocky) instead of holding them back until the next
        intact keyframe."""
    @property
    def id(self) -> int: ...
    @property
    def url(self) -> str:
        """The URL without credentials."""
    status: StreamStatus
    @property
    def latest_frame_event(self) -> Event:
        """Set for a new frame and on close(); cleared by latest_frame()."""
    @property
    def new_frame_event(self) -> Event:
        """Set for every new frame; never cleared by the reader."""
    @property
    def new_status_event(self) -> Event:
        """Set on every status change; never cleared by the reader."""
    def stats(self) -> StreamStats:
        """One consistent snapshot of the reader's counters."""
    @overload
    def latest_frame(self) -> Tuple[float, Optional[npt.NDArray[np.uint8]]]:
        """(timestamp, frame): wall-clock seconds when the newest frame was pulled, and the
        frame as a read-only uint8 array sharing the frame's memory, HxWx3 BGR or RGB or HxW
        gray as pixel_format asked, at output_size (None before the first frame and after
        close()). With meta=True, (timestamp, frame, FrameMeta). Clears latest_frame_event."""
    @overload
    def latest_frame(self, meta: Literal[False]) -> Tuple[float, Optional[npt.NDArray[np.uint8]]]: ...
    @overload
    def latest_frame(
        self, meta: Literal[True]
    ) -> Tuple[float, Optional[npt.NDArray[np.uint8]], FrameMeta]: ...
    def set_runtime_option_vals(self, runtime_option_vals: Dict[str, RuntimeOptionValue]) -> None:
        """Validates, then applies the options ("keyframes_only": bool)."""
    def close(self) -> None:
        """Asks the reader to stop; does not wait for its threads."""
    def wait_until_closed(self) -> None:
        """Closes the reader and waits until its pipeline is down."""
    def __enter__(self) -> "GstStreamReader": ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> Literal[False]: ...
