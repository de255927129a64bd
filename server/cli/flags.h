// The grammar of the `recovery-server` command line, once for every
// command: each command names its options in one table (a switch, an
// option with one value, or one that may be given again to add a value);
// options may stand anywhere on the line, before or after the command
// word; `--data DIR` belongs to every command. Also the two ways a command
// ends badly: a failure (exit 1) and a usage error (exit 2).
//
// Runs on the main thread; tables are constants, Flags owns copies of the
// words it was given.

#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace halvex::server {

enum class FlagKind {
  kSwitch,  // --follow
  kValue,   // --disk N; given again, the last value counts
  kList,    // --host NAME; every value counts, in order
};

struct Flag {
  std::string_view name;  // with its dashes: "--disk"
  FlagKind kind;
};

// The words of a command line sorted into options and the rest.
class Flags {
 public:
  // The command word first, then the arguments, in order.
  std::vector<std::string> words;

  bool has(std::string_view name) const;
  // The last value given, or nullopt.
  std::optional<std::string> value(std::string_view name) const;
  std::string value_or(std::string_view name, std::string_view fallback) const;
  // Every value given, in order.
  std::vector<std::string> values(std::string_view name) const;
  // --data, default "recovery-data".
  std::string data() const { return value_or("--data", "recovery-data"); }

  void add(std::string_view name, std::string value) {
    given_.emplace_back(name, std::move(value));
  }

 private:
  std::vector<std::pair<std::string, std::string>> given_;  // name, value ("" for a switch)
};

// Sorts `args` by `table` (plus --data). A word of two or more characters
// that starts with '-' is an option; a value option takes the next word,
// whatever it is. On failure returns nullopt with *error: "--x: unknown
// option" or "--x: needs a value".
std::optional<Flags> flags_parse(const std::vector<std::string>& args, std::span<const Flag> table,
                                 std::string* error);

// `text` as a whole number from min to max, written in `base` (0: 0x.. is
// hex, a leading 0 octal); nullopt when it is anything else.
std::optional<long long> flags_whole_number(std::string_view text, long long min, long long max,
                                            int base = 10);

// One command of `recovery-server`.
struct CliCommand {
  std::string_view name;
  std::span<const Flag> flags;
  const char* usage;  // the lines printed after a usage error
  int (*run)(const Flags& flags);
};

// The first word of `args` that is neither an option nor the value of a
// value option of one of `commands`; "" when there is none.
std::string cli_command_word(const std::vector<std::string>& args,
                             std::span<const CliCommand* const> commands);

// Prints "recovery-server: TEXT" (made terminal-safe: it may quote a
// machine) on standard error; returns 1.
int cli_fail(const std::string& text);

// Prints "recovery-server: TEXT" and `usage` on standard error; returns 2.
int cli_usage(const char* usage, const std::string& text);

}  // namespace halvex::server
