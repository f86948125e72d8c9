#!/usr/bin/env python3
"""A host reading frames: from the camera URL in argv[1], or else from a test pattern."""
import logging
import sys

import strovix


def main(argv):
    logging.basicConfig(level=logging.INFO)  # the library's lines arrive through logging
    options = {}
    if len(argv) < 2:
        options["pipeline_str"] = ("videotestsrc is-live=true ! video/x-raw,format=I420,width=320,"
                                   "height=240,framerate=30/1 ! appsink max-buffers=1 drop=true")
    try:
        reader = strovix.GstStreamReader(0, argv[1] if len(argv) > 1 else "test-pattern", **options)
    except strovix.StreamSetupError as e:  # bad URL or pipeline; never shows a password
        print(f"cannot read the stream: {e}", file=sys.stderr)
        return 3
    shown = 0
    with reader:  # on leaving: stops the pipeline and joins the reader's threads
        while shown < 5 and reader.latest_frame_event.wait(10.0):
            timestamp, frame = reader.latest_frame()  # the newest frame; clears the event
            if frame is None:
                continue  # none yet
            shown += 1
            height, width, _ = frame.shape  # BGR, uint8, a read-only view of the frame's memory
            print(f"frame {shown}: {width}x{height}, pulled at {timestamp:.3f}")
    return 0 if shown == 5 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
