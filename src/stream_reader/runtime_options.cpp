#include "strovix/stream_reader/runtime_options.hpp"

#include <cstddef>
#include <type_traits>

#include "strovix/errors.hpp"

namespace strovix {
namespace {

// type_of reads the type from the variant's index: the enumeration lists the variant's
// alternatives in their order.
template <RuntimeOptionType type, class T>
constexpr bool holds_at =
    std::is_same_v<std::variant_alternative_t<static_cast<std::size_t>(type), RuntimeOptionValue>,
                   T>;
static_assert(holds_at<RuntimeOptionType::BOOL, bool>);
static_assert(holds_at<RuntimeOptionType::INT, std::int64_t>);
static_assert(holds_at<RuntimeOptionType::DOUBLE, double>);
static_assert(holds_at<RuntimeOptionType::STRING, std::string>);
static_assert(std::variant_size_v<RuntimeOptionValue> ==
              static_cast<std::size_t>(RuntimeOptionType::STRING) + 1);

const char* type_name(RuntimeOptionType type) {
  switch (type) {
    case RuntimeOptionType::BOOL:
      return "bool";
    case RuntimeOptionType::INT:
      return "int";
    case RuntimeOptionType::DOUBLE:
      return "double";
    case RuntimeOptionType::STRING:
      return "string";
  }
  return "unknown";
}

RuntimeOptionType type_of(const RuntimeOptionValue& value) {
  return static_cast<RuntimeOptionType>(value.index());
}

}  // namespace

void check_runtime_options(const RuntimeOptions& runtime_options,
                           const SupportedRuntimeOptions& supported) {
  for (const auto& [name, value] : runtime_options) {
    auto it = supported.find(name);
    if (it == supported.end()) {
      std::string names;
      for (const auto& [known, type] : supported) {
        names += names.empty() ? "" : ", ";
        names += "'" + known + "'";
      }
      throw RuntimeOptionError("Unsupported runtime option '" + name +
                               "'; supported options: " + names);
    }
    if (type_of(value) != it->second) {
      throw RuntimeOptionError("Runtime option '" + name + "' must be of type " +
                               type_name(it->second) + ", got " + type_name(type_of(value)));
    }
  }
}

}  // namespace strovix
