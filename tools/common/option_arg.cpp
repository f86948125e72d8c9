#include "common/option_arg.hpp"

namespace strovix::tools {

OptionArg::OptionArg(const std::vector<std::string>& args, std::size_t& i)
    : args_(args), i_(i), name_(args[i]) {
  if (const auto eq = name_.find('='); name_.rfind("--", 0) == 0 && eq != std::string::npos) {
    inline_value_ = name_.substr(eq + 1);
    name_.resize(eq);
  }
}

std::string OptionArg::value() {
  if (inline_value_) return *inline_value_;
  if (i_ + 1 >= args_.size()) throw ArgError(name_ + " needs a value");
  return args_[++i_];
}

void OptionArg::no_value() const {
  if (inline_value_) throw ArgError(name_ + " takes no value");
}

}  // namespace strovix::tools
