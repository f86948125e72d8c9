#pragma once
#include <stdexcept>
#include <string>

#include "strovix/export.hpp"

namespace strovix {

// A stream that cannot be set up (bad URL scheme, a pipeline that never plays, a
// description that does not build).
class STROVIX_EXPORT StreamSetupError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A pulled sample that cannot be turned into a BGR image.
class STROVIX_EXPORT SampleConversionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An unsupported run-time option, or a value of the wrong type.
class STROVIX_EXPORT RuntimeOptionError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

}  // namespace strovix
