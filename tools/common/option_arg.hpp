#pragma once
// One option of strovix-read's command line, given as "--flag=value" or "--flag value".
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace strovix::tools {

// A command line that cannot be used; what() names the offending argument.
class ArgError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class OptionArg {
 public:
  // The option at args[i]; value() moves `i` past a separate value.
  OptionArg(const std::vector<std::string>& args, std::size_t& i);

  // The flag without an inline value ("--latency" of "--latency=200").
  const std::string& name() const { return name_; }
  // The inline value, else the next argument; throws ArgError when there is none.
  std::string value();
  // Throws ArgError when the flag was given a value.
  void no_value() const;

 private:
  const std::vector<std::string>& args_;
  std::size_t& i_;
  std::string name_;
  std::optional<std::string> inline_value_;
};

}  // namespace strovix::tools
