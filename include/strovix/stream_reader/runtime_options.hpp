#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <variant>

#include "strovix/export.hpp"

namespace strovix {

using RuntimeOptionValue = std::variant<bool, std::int64_t, double, std::string>;
using RuntimeOptions = std::map<std::string, RuntimeOptionValue>;

enum class RuntimeOptionType { BOOL, INT, DOUBLE, STRING };
using SupportedRuntimeOptions = std::map<std::string, RuntimeOptionType>;

// Throws RuntimeOptionError naming the option when an option is not in `supported` or its
// value is not of the supported type.
STROVIX_EXPORT void check_runtime_options(const RuntimeOptions& runtime_options,
                                          const SupportedRuntimeOptions& supported);

}  // namespace strovix
