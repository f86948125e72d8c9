#include "pipeline_factories/link_state.hpp"

#include "pipeline_factories/elements.hpp"

namespace strovix::detail {

void LinkState::complete() {
  if (!gate) return;
  try {
    gate->mark_complete();
  } catch (const std::exception& e) {
    logger->error("strovix: pipeline completion failed: {}", e.what());
  } catch (...) {
    logger->error("strovix: pipeline completion failed");
  }
}

void LinkState::note_offered(const std::string& what) {
  std::lock_guard lock(mutex);
  if (!offered.empty()) offered += ", ";
  offered += what;
}

std::string LinkState::offered_text() {
  std::lock_guard lock(mutex);
  return offered.empty() ? "nothing" : offered;
}

void link_video_pad(GstElement* owner, GstPad* pad, const std::vector<ElementSpec>& chain,
                    const std::string& codec, LinkState& state) {
  ElementPtr bin = parent_bin(owner);
  if (!bin) return;
  if (chain.empty() || state.linked.exchange(true)) {
    if (chain.empty()) state.note_offered(codec.empty() ? "unknown" : codec);
    sink_unused_pad(GST_BIN(bin.get()), pad);
    return;
  }
  std::string failure;
  if (!attach_chain(GST_BIN(bin.get()), pad, chain, &failure)) {
    post_error(owner, GST_CORE_ERROR, GST_CORE_ERROR_MISSING_PLUGIN,
               "cannot decode the " + codec + " stream: " + failure);
    return;
  }
  state.complete();
}

void post_no_video(GstElement* owner, LinkState& state) {
  if (state.linked.load()) return;
  const std::string offered = "(offered: " + state.offered_text() + ")";
  post_error(owner, GST_STREAM_ERROR, GST_STREAM_ERROR_CODEC_NOT_FOUND,
             "the stream has no video this reader can decode " + offered, {},
             "no supported video codec " + offered);
}

void on_no_more_pads(GstElement* element, gpointer data) {
  LinkState& state = **static_cast<StatePtr*>(data);
  guarded(state, [&] { post_no_video(element, state); });
}

}  // namespace strovix::detail
