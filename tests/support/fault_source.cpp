#include "support/fault_source.hpp"

#include <gst/base/gstpushsrc.h>
#include <gst/gst.h>

#include <atomic>
#include <cstring>
#include <mutex>

namespace strovix::testing {
namespace {

std::atomic<std::uint64_t> g_starts{0};

constexpr int kWidth = 16;
constexpr int kHeight = 16;
constexpr gsize kFrameBytes = kWidth * kHeight * 3;
constexpr GstClockTime kFrameDuration = GST_SECOND / 30;

enum Ending { ENDING_EOS, ENDING_ERROR, ENDING_ALTERNATE };

struct FaultSrc {
  GstPushSrc parent;
  gint frames;
  gint ending;
  gint stop_delay_ms;
  gint stop_failures;
  gint sent;
  gboolean end_with_error;
};

struct FaultSrcClass {
  GstPushSrcClass parent_class;
};

enum { PROP_0, PROP_FRAMES, PROP_ENDING, PROP_STOP_DELAY_MS, PROP_STOP_FAILURES };

GType fault_src_get_type();
#define FAULT_SRC(obj) (reinterpret_cast<FaultSrc*>(obj))

G_DEFINE_TYPE(FaultSrc, fault_src, GST_TYPE_PUSH_SRC)

GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-raw,format=BGR,width=16,height=16,framerate=30/1"));

GType ending_get_type() {
  static GType type = 0;
  static std::once_flag once;
  std::call_once(once, [] {
    static const GEnumValue values[] = {
        {ENDING_EOS, "End-of-stream", "eos"},
        {ENDING_ERROR, "An error message", "error"},
        {ENDING_ALTERNATE, "End-of-stream and error by turns", "alternate"},
        {0, nullptr, nullptr}};
    type = g_enum_register_static("StrovixFaultSrcEnding", values);
  });
  return type;
}

void fault_src_set_property(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
  FaultSrc* self = FAULT_SRC(object);
  switch (id) {
    case PROP_FRAMES: self->frames = g_value_get_int(value); break;
    case PROP_ENDING: self->ending = g_value_get_enum(value); break;
    case PROP_STOP_DELAY_MS: self->stop_delay_ms = g_value_get_int(value); break;
    case PROP_STOP_FAILURES: self->stop_failures = g_value_get_int(value); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
  }
}

void fault_src_get_property(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
  FaultSrc* self = FAULT_SRC(object);
  switch (id) {
    case PROP_FRAMES: g_value_set_int(value, self->frames); break;
    case PROP_ENDING: g_value_set_enum(value, self->ending); break;
    case PROP_STOP_DELAY_MS: g_value_set_int(value, self->stop_delay_ms); break;
    case PROP_STOP_FAILURES: g_value_set_int(value, self->stop_failures); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
  }
}

gboolean fault_src_start(GstBaseSrc* base) {
  FaultSrc* self = FAULT_SRC(base);
  const std::uint64_t ticket = g_starts.fetch_add(1);
  self->sent = 0;
  self->end_with_error =
      self->ending == ENDING_ERROR || (self->ending == ENDING_ALTERNATE && ticket % 2 == 1);
  return TRUE;
}

// Stands for a source whose teardown is slow (an RTSP source waiting for its TEARDOWN reply).
gboolean fault_src_stop(GstBaseSrc* base) {
  const gint delay = FAULT_SRC(base)->stop_delay_ms;
  if (delay > 0) g_usleep(static_cast<gulong>(delay) * 1000);
  return TRUE;
}

GstFlowReturn fault_src_create(GstPushSrc* push, GstBuffer** out) {
  FaultSrc* self = FAULT_SRC(push);
  if (self->sent < self->frames) {
    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, kFrameBytes, nullptr);
    gst_buffer_memset(buffer, 0, static_cast<guint8>(0x40 + self->sent), kFrameBytes);
    GST_BUFFER_PTS(buffer) = static_cast<GstClockTime>(self->sent) * kFrameDuration;
    GST_BUFFER_DURATION(buffer) = kFrameDuration;
    ++self->sent;
    *out = buffer;
    return GST_FLOW_OK;
  }
  if (!self->end_with_error) return GST_FLOW_EOS;
  GST_ELEMENT_ERROR(self, RESOURCE, READ, ("strovix fault source: injected error"), (nullptr));
  // FLUSHING pauses the task without a second error or an end-of-stream from the base class.
  return GST_FLOW_FLUSHING;
}

// Fails READY to NULL while failures are left: the pads are already inactive then, so the
// pipeline just stays in READY, as with a driver that refuses to close.
GstStateChangeReturn fault_src_change_state(GstElement* element, GstStateChange transition) {
  FaultSrc* self = FAULT_SRC(element);
  if (transition == GST_STATE_CHANGE_READY_TO_NULL) {
    GST_OBJECT_LOCK(self);
    const bool fail = self->stop_failures > 0;
    if (fail) --self->stop_failures;
    GST_OBJECT_UNLOCK(self);
    if (fail) return GST_STATE_CHANGE_FAILURE;
  }
  return GST_ELEMENT_CLASS(fault_src_parent_class)->change_state(element, transition);
}

void fault_src_class_init(FaultSrcClass* klass) {
  auto* gobject_class = G_OBJECT_CLASS(klass);
  gobject_class->set_property = fault_src_set_property;
  gobject_class->get_property = fault_src_get_property;
  g_object_class_install_property(
      gobject_class, PROP_FRAMES,
      g_param_spec_int("frames", "Frames", "Frames sent before the ending", 0, G_MAXINT, 1,
                       static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
  g_object_class_install_property(
      gobject_class, PROP_ENDING,
      g_param_spec_enum("ending", "Ending", "How the stream ends", ending_get_type(), ENDING_EOS,
                        static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
  g_object_class_install_property(
      gobject_class, PROP_STOP_DELAY_MS,
      g_param_spec_int("stop-delay-ms", "Stop delay", "Milliseconds that stopping takes", 0,
                       60000, 0,
                       static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
  g_object_class_install_property(
      gobject_class, PROP_STOP_FAILURES,
      g_param_spec_int("stop-failures", "Stop failures",
                       "How many times stopping fails before it succeeds", 0, G_MAXINT, 0,
                       static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
  auto* element_class = GST_ELEMENT_CLASS(klass);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_set_static_metadata(element_class, "strovix fault source", "Source/Video",
                                        "Sends a few frames, then ends on cue", "strovix");
  element_class->change_state = fault_src_change_state;
  GST_BASE_SRC_CLASS(klass)->start = fault_src_start;
  GST_BASE_SRC_CLASS(klass)->stop = fault_src_stop;
  GST_PUSH_SRC_CLASS(klass)->create = fault_src_create;
}

void fault_src_init(FaultSrc* self) {
  self->frames = 1;
  self->ending = ENDING_EOS;
  gst_base_src_set_format(GST_BASE_SRC(self), GST_FORMAT_TIME);
}

}  // namespace

void register_fault_source() {
  static std::once_flag once;
  std::call_once(once, [] {
    gst_element_register(nullptr, "strovixfaultsrc", GST_RANK_NONE, fault_src_get_type());
  });
}

std::uint64_t fault_source_starts() { return g_starts.load(); }

}  // namespace strovix::testing
