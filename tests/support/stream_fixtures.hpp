#pragma once
// Helpers for tests that drive a stream's shared state, supervision and filter directly.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "strovix/errors.hpp"
#include "strovix/gst/pipeline_factories.hpp"

namespace strovix::testing {

// A factory that builds a custom description and lets a test observe or break each build.
class ScriptedFactory : public PipelineFactory {
 public:
  // Builds `description` first and `later_description` (when given) for every rebuild.
  ScriptedFactory(std::string description, PipelineWatcher watcher = nullptr,
                  OnComplete on_complete = nullptr, std::string later_description = "")
      : inner_(description, watcher, on_complete),
        later_(later_description.empty() ? std::move(description) : std::move(later_description),
               watcher, on_complete) {}

  std::shared_ptr<Pipeline> build() override {
    const int n = ++builds;
    if (before_build) before_build(n);
    if (fail_from_build > 0 && n >= fail_from_build) {
      throw StreamSetupError("scripted build failure " + std::to_string(n));
    }
    return n == 1 ? inner_.build() : later_.build();
  }

  std::atomic<int> builds{0};
  std::atomic<int> fail_from_build{0};    // 0: never fail; tests may set it while running
  std::function<void(int)> before_build;  // runs on the building thread

 private:
  CustomPipelineFactory inner_;
  CustomPipelineFactory later_;
};

}  // namespace strovix::testing
