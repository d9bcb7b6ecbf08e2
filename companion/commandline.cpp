#include "companion/companion.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velmora::companion {

namespace {
constexpr int kUsageStatus = 2;
}  // namespace

CommandLine::CommandLine(const char* program, int argc, char** argv, char shortOption,
                         std::string_view shortName)
    : program_(program), argc_(argc), argv_(argv), shortOption_(shortOption), shortName_(shortName) {}

bool CommandLine::next() {
  for (;;) {
    if (++index_ >= argc_) return false;
    argument_ = argv_[index_];
    hasValue_ = false;
    name_ = {};
    operand_ = optionsEnded_ || argument_.size() < 2 || argument_[0] != '-';
    if (operand_) return true;
    if (argument_ == "--") {
      optionsEnded_ = true;
      continue;
    }
    if (argument_.starts_with("--")) {
      name_ = argument_.substr(2);
      if (const std::size_t equals = name_.find('='); equals != std::string_view::npos) {
        value_ = name_.substr(equals + 1);
        hasValue_ = true;
        name_ = name_.substr(0, equals);
      }
    } else if (shortOption_ != 0 && argument_[1] == shortOption_) {
      name_ = shortName_;
      if (argument_.size() > 2) {
        value_ = argument_.substr(2);
        hasValue_ = true;
      }
    } else {
      usageError("invalid option -- '" + std::string(argument_.substr(1, 1)) + "'");
    }
    return true;
  }
}

std::string_view CommandLine::value() {
  if (hasValue_) return value_;
  if (index_ + 1 >= argc_) usageError("option '--" + std::string(name_) + "' requires an argument");
  return argv_[++index_];
}

void CommandLine::noValue() const {
  if (hasValue_) usageError("option '--" + std::string(name_) + "' doesn't allow an argument");
}

void usageError(const char* program, const std::string& message) {
  std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program, message.c_str(), program);
  std::exit(kUsageStatus);
}

void CommandLine::usageError(const std::string& message) const { companion::usageError(program_, message); }

void CommandLine::unrecognized() const { usageError("unrecognized option '" + std::string(argument_) + "'"); }

void writeAndExit(const char* program, const char* text) {
  if (std::fputs(text, stdout) == EOF || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "%s: cannot write: %s\n", program, std::strerror(errno));
    std::exit(kUsageStatus);
  }
  std::exit(0);
}

bool parseLimit(std::string_view text, double& value) {
  if (text.size() > 1 && text[0] == '+' && text[1] != '-' && text[1] != '+') text.remove_prefix(1);
  return wholeNumber(text, value) && !std::isnan(value);
}

}  // namespace velmora::companion
