// The command line of velmora's companions, read the way GNU tools read theirs:
//   --name  --name=value  --name value   a long option
//   -j4  -j 4                            the one short option with a value, when
//                                        the program has one
//   --                                   ends the options: all that follows is
//                                        an operand, as is "-" and anything not
//                                        starting with "-"
// A usage error is two lines on standard error ("PROGRAM: what", "Try 'PROGRAM
// --help' for more information.") and exit status 2.
#pragma once

#include <string>
#include <string_view>

namespace velmora::explain {

class CommandLine {
 public:
  // `shortOption` (0 for none) is a one-letter form of the long option
  // `shortName`, which takes a value.
  CommandLine(const char* program, int argc, char** argv, char shortOption = 0,
              std::string_view shortName = {});

  // Moves to the next argument; false after the last one.
  bool next();
  // The current argument is an operand (then operand() is it), else an
  // option named name().
  [[nodiscard]] bool isOperand() const { return operand_; }
  [[nodiscard]] std::string_view operand() const { return argument_; }
  [[nodiscard]] std::string_view name() const { return name_; }
  // The option's value: after "=", stuck to the short option, or the next
  // argument; a usage error when there is none.
  std::string_view value();
  // A usage error when the option was given a value.
  void noValue() const;

  [[noreturn]] void usageError(const std::string& message) const;
  [[noreturn]] void unrecognized() const;

 private:
  const char* program_;
  int argc_;
  char** argv_;
  char shortOption_;
  std::string_view shortName_;
  int index_ = 0;
  bool optionsEnded_ = false;
  bool operand_ = false;
  bool hasValue_ = false;
  std::string_view argument_, name_, value_;
};

// The two lines of a usage error, then exit status 2.
[[noreturn]] void usageError(const char* program, const std::string& message);

// Writes `text` (--help, --version) to standard output and exits 0; a write
// that fails is said on standard error, exit status 2.
[[noreturn]] void writeAndExit(const char* program, const char* text);

// A limit as the companions take it: a number as strtod reads it, with an
// optional leading plus; NaN is refused (no total is ever above it, so the
// gate would never close); infinity is taken.
//   "0" "1e-6" "+2.5" "inf" -> true     "nan" "0x10" "1,5" "++1" "" -> false
bool parseLimit(std::string_view text, double& value);

}  // namespace velmora::explain
