#include "common/snapshot.hpp"

#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "common/jpeg.hpp"
#include "read/read_args.hpp"
#include "strovix/gst/handles.hpp"

namespace strovix::tools {
namespace {

constexpr int kSnapshotJpegQuality = 90;

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (out) out.close();
  if (!out) {
    throw std::runtime_error("cannot write snapshot " + path + ": " + std::strerror(errno));
  }
}

// With GStreamer's own encoder, written by filesink.
void write_png(const Image& image, const std::string& path, double timeout_seconds) {
  // GStreamer's rows are 4-byte aligned; the reader's rows may be packed or padded
  // differently, so the rows are copied one by one.
  const bool gray = image.format == PixelFormat::GRAY8;
  const GstVideoFormat format = gray                               ? GST_VIDEO_FORMAT_GRAY8
                                : image.format == PixelFormat::RGB ? GST_VIDEO_FORMAT_RGB
                                                                   : GST_VIDEO_FORMAT_BGR;
  GstVideoInfo info;
  gst_video_info_set_format(&info, format, static_cast<guint>(image.width),
                            static_cast<guint>(image.height));
  const auto dst_stride = static_cast<std::size_t>(GST_VIDEO_INFO_PLANE_STRIDE(&info, 0));
  GstBuffer* buffer = gst_buffer_new_allocate(nullptr, GST_VIDEO_INFO_SIZE(&info), nullptr);
  GstMapInfo map;
  if (!buffer || !gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
    if (buffer) gst_buffer_unref(buffer);
    throw std::runtime_error("cannot write snapshot " + path + ": out of memory");
  }
  const std::size_t row_bytes = static_cast<std::size_t>(image.width) * image.channels;
  for (int y = 0; y < image.height; ++y) {
    std::memcpy(map.data + static_cast<std::size_t>(y) * dst_stride, image.row(y), row_bytes);
  }
  gst_buffer_unmap(buffer, &map);
  GST_BUFFER_PTS(buffer) = 0;

  const std::string description =
      std::string("appsrc name=src format=time ! videoconvert ! ") +
      (gray ? "video/x-raw,format=GRAY8 ! pngenc" : "video/x-raw,format=RGB ! pngenc") +
      " ! filesink name=sink";
  GError* raw_error = nullptr;
  GstElement* raw =
      gst_parse_launch_full(description.c_str(), nullptr, GST_PARSE_FLAG_FATAL_ERRORS, &raw_error);
  GErrorPtr parse_error(raw_error);
  if (!raw || parse_error) {
    gst_buffer_unref(buffer);
    if (raw) gst_object_unref(gst_object_ref_sink(raw));
    throw std::runtime_error("cannot write snapshot " + path + ": " +
                             (parse_error ? parse_error->message : "no encoder"));
  }
  ElementPtr pipeline(GST_ELEMENT(gst_object_ref_sink(raw)));
  ElementPtr src(gst_bin_get_by_name(GST_BIN(pipeline.get()), "src"));
  ElementPtr sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
  CapsPtr caps(gst_video_info_to_caps(&info));
  g_object_set(src.get(), "caps", caps.get(), nullptr);
  // The path is set as a property, never pasted into the description.
  g_object_set(sink.get(), "location", path.c_str(), nullptr);

  BusPtr bus(gst_element_get_bus(pipeline.get()));
  std::string failure;
  if (gst_element_set_state(pipeline.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    gst_buffer_unref(buffer);
    failure = "the encoding pipeline does not start";
  } else {
    gst_app_src_push_buffer(GST_APP_SRC(src.get()), buffer);  // takes the buffer
    gst_app_src_end_of_stream(GST_APP_SRC(src.get()));
  }
  // An error may already be on the bus even when the state change failed.
  MessagePtr message(
      gst_bus_timed_pop_filtered(bus.get(), static_cast<GstClockTime>(timeout_seconds * GST_SECOND),
                                 static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
  if (!message) {
    if (failure.empty()) failure = "encoding timed out";
  } else if (GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_ERROR) {
    GError* error = nullptr;
    gst_message_parse_error(message.get(), &error, nullptr);
    GErrorPtr owned(error);
    failure = owned && owned->message ? owned->message : "encoding failed";
  }
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);
  if (!failure.empty()) throw std::runtime_error("cannot write snapshot " + path + ": " + failure);
}

}  // namespace

void write_snapshot(const Image& image, const std::string& path, double timeout_seconds) {
  if (!image.data || image.width <= 0 || image.height <= 0 ||
      image.channels != channels_of(image.format) ||
      image.stride < static_cast<std::size_t>(image.width) * image.channels) {
    throw std::runtime_error("cannot write snapshot " + path + ": the frame is not a " +
                             to_string(image.format) + " image");
  }
  const bool png = is_png_path(path);
  if (!png && !is_jpeg_path(path)) {
    throw std::runtime_error("cannot write snapshot " + path + ": use .png, .jpg or .jpeg");
  }

  if (!png) {
    write_file(path, encode_jpeg(image, kSnapshotJpegQuality));
    return;
  }
  write_png(image, path, timeout_seconds);
}

}  // namespace strovix::tools
