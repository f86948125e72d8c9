#include "common/reader_setup.hpp"

namespace strovix::tools {

GstStreamReader::Options reader_options(const ReadArgs& args) {
  GstStreamReader::Options options;
  options.pipeline_str = args.pipeline;
  if (args.latency_ms) options.latency = *args.latency_ms;
  options.proxied = args.tcp;
  options.must_play = args.must_play;
  if (args.tls_ca) options.tls_ca_file = *args.tls_ca;
  options.tls_validation = !args.tls_insecure;
  options.output_width = args.width;
  options.output_height = args.height;
  options.pixel_format = args.format;
  if (args.backoff) {
    options.base_backoff_seconds = args.backoff->base;
    options.max_backoff_seconds = args.backoff->max;
    options.backoff_randomness_seconds = args.backoff->randomness;
  }
  return options;
}

RuntimeOptions reader_runtime_options(const ReadArgs& args) {
  RuntimeOptions runtime_options;
  if (args.keyframes_only) runtime_options["keyframes_only"] = true;
  return runtime_options;
}

}  // namespace strovix::tools
