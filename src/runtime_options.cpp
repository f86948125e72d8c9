#include "strovix/stream_reader/runtime_options.hpp"

#include "strovix/errors.hpp"

namespace strovix {
namespace {

const char* type_name(RuntimeOptionType type) {
  switch (type) {
    case RuntimeOptionType::BOOL: return "bool";
    case RuntimeOptionType::INT: return "int";
    case RuntimeOptionType::DOUBLE: return "double";
    case RuntimeOptionType::STRING: return "string";
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
