#include "strovix/version.hpp"

namespace strovix {

// Compiled into the library, so these report the library's version, not the host's headers'.
Version library_version() noexcept {
  return {STROVIX_VERSION_MAJOR, STROVIX_VERSION_MINOR, STROVIX_VERSION_PATCH};
}

const char* library_version_string() noexcept { return STROVIX_VERSION_STRING; }

}  // namespace strovix
