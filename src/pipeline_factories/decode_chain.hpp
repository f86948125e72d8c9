#pragma once
// The decoding chain behind a network source: depayloader or demuxer output, parser, decoder,
// linked into the output tail's converter.
#include <gst/gst.h>

#include <string>
#include <vector>

namespace strovix::detail {

// The output tail's converter, into which every decoding chain links.
inline constexpr const char* CONVERT_NAME = "strovix_convert";

struct ElementSpec {
  const char* factory;
  const char* name;  // null for an automatic name
};

// The elements a codec needs, from its parser on. The parser gets BUFFER_SRC_NAME: its src pad
// carries parsed, still-encoded buffers, with non-keyframes flagged as delta units.
std::vector<ElementSpec> decode_chain(const std::string& codec);

// Creates the chain, adds it to the bin, links it to the shared tail, brings it to the bin's
// state and finally links `pad` into it. Runs on a streaming thread: reports failures as text,
// never by throwing.
// Decoder threads for pictures of `width` x `height` on `cores` cores: one up to 1080p, where
// many streams share the cores and each frame thread adds a frame of delay; above it one per
// 1080p's worth of pixels, at most 4 and at most `cores`, so a 4K camera keeps its frame rate
// on cores that decode it single-threaded at under 30 fps.
int decoder_threads(int width, int height, unsigned cores);

bool attach_chain(GstBin* bin, GstPad* pad, const std::vector<ElementSpec>& specs,
                  std::string* failure);

}  // namespace strovix::detail
