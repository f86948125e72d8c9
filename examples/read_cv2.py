#!/usr/bin/env python3
"""Shows the newest frame of a stream in an OpenCV window: argv[1] is the camera URL, or
else a test pattern. Needs cv2 (Debian: python3-opencv) and a display; q or Esc quits."""
import os
import sys

import strovix


def main(argv):
    try:
        import cv2
    except ImportError:
        print("this example needs OpenCV for Python (apt-get install python3-opencv)", file=sys.stderr)
        return 2
    if not os.environ.get("DISPLAY") and not os.environ.get("WAYLAND_DISPLAY"):
        print("this example needs a display", file=sys.stderr)
        return 2
    options = {}
    if len(argv) < 2:
        options["pipeline_str"] = ("videotestsrc is-live=true pattern=ball ! video/x-raw,format=BGR,"
                                   "width=640,height=360,framerate=30/1 ! appsink max-buffers=1 drop=true")
    url = argv[1] if len(argv) > 1 else "test-pattern"
    try:
        reader = strovix.GstStreamReader(0, url, **options)
    except strovix.StreamSetupError as e:
        print(f"cannot read the stream: {e}", file=sys.stderr)
        return 3
    with reader:
        while True:
            if reader.latest_frame_event.wait(0.05):
                _, frame = reader.latest_frame()
                if frame is None and reader.status == strovix.StreamStatus.CLOSED:
                    break
                if frame is not None:
                    # The array is BGR as OpenCV expects, read-only and not copied.
                    cv2.imshow(reader.url, frame)
            if cv2.waitKey(1) & 0xFF in (ord("q"), 27):
                break
    cv2.destroyAllWindows()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
