#include "stream_reader/codec_name.hpp"

#include <utility>

#include "strovix/gst/pipeline_factories.hpp"

namespace strovix::detail {

std::string codec_of(const Pipeline& pipeline) {
  ElementPtr parser = pipeline.get_by_name(BUFFER_SRC_NAME);
  if (!parser) return "";
  PadPtr pad(gst_element_get_static_pad(parser.get(), "src"));
  if (!pad) return "";
  CapsPtr caps(gst_pad_get_current_caps(pad.get()));
  if (!caps || gst_caps_get_size(caps.get()) == 0) return "";
  const std::string name = gst_structure_get_name(gst_caps_get_structure(caps.get(), 0));
  static const std::pair<const char*, const char*> names[] = {
      {"video/x-h264", "H.264"}, {"video/x-h265", "H.265"}, {"image/jpeg", "MJPEG"},
      {"video/x-vp8", "VP8"},    {"video/x-vp9", "VP9"},    {"video/x-av1", "AV1"},
      {"video/mpeg", "MPEG"}};
  for (const auto& [caps_name, codec] : names) {
    if (name == caps_name) return codec;
  }
  return name;
}

std::pair<int, int> picture_size_of(const Pipeline& pipeline) {
  ElementPtr parser = pipeline.get_by_name(BUFFER_SRC_NAME);
  if (!parser) return {0, 0};
  PadPtr pad(gst_element_get_static_pad(parser.get(), "src"));
  if (!pad) return {0, 0};
  CapsPtr caps(gst_pad_get_current_caps(pad.get()));
  if (!caps || gst_caps_get_size(caps.get()) == 0) return {0, 0};
  int width = 0;
  int height = 0;
  const GstStructure* s = gst_caps_get_structure(caps.get(), 0);
  if (!gst_structure_get_int(s, "width", &width) || !gst_structure_get_int(s, "height", &height))
    return {0, 0};
  return {width, height};
}

}  // namespace strovix::detail
