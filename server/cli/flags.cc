#include "server/cli/flags.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "server/cli/term_text.h"

namespace halvex::server {
namespace {

constexpr Flag kData{"--data", FlagKind::kValue};

bool is_option(const std::string& word) { return word.size() > 1 && word[0] == '-'; }

const Flag* find_flag(std::span<const Flag> table, const std::string& name) {
  if (name == kData.name) return &kData;
  for (const Flag& f : table)
    if (f.name == name) return &f;
  return nullptr;
}

}  // namespace

bool Flags::has(std::string_view name) const {
  for (const auto& [n, v] : given_)
    if (n == name) return true;
  return false;
}

std::optional<std::string> Flags::value(std::string_view name) const {
  std::optional<std::string> last;
  for (const auto& [n, v] : given_)
    if (n == name) last = v;
  return last;
}

std::string Flags::value_or(std::string_view name, std::string_view fallback) const {
  std::optional<std::string> v = value(name);
  return v ? *v : std::string(fallback);
}

std::vector<std::string> Flags::values(std::string_view name) const {
  std::vector<std::string> out;
  for (const auto& [n, v] : given_)
    if (n == name) out.push_back(v);
  return out;
}

std::optional<Flags> flags_parse(const std::vector<std::string>& args, std::span<const Flag> table,
                                 std::string* error) {
  Flags out;
  for (size_t i = 0; i < args.size(); i++) {
    const std::string& a = args[i];
    if (!is_option(a)) {
      out.words.push_back(a);
      continue;
    }
    const Flag* flag = find_flag(table, a);
    if (!flag) {
      *error = a + ": unknown option";
      return std::nullopt;
    }
    if (flag->kind == FlagKind::kSwitch) {
      out.add(a, "");
      continue;
    }
    if (i + 1 >= args.size()) {
      *error = a + ": needs a value";
      return std::nullopt;
    }
    out.add(a, args[++i]);
  }
  return out;
}

std::optional<long long> flags_whole_number(std::string_view text, long long min, long long max,
                                            int base) {
  std::string s(text);
  if (s.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(s.c_str(), &end, base);
  if (*end != '\0' || errno != 0 || v < min || v > max) return std::nullopt;
  return v;
}

std::string cli_command_word(const std::vector<std::string>& args,
                             std::span<const CliCommand* const> commands) {
  auto takes_value = [&](const std::string& word) {
    if (word == kData.name) return true;
    for (const CliCommand* c : commands) {
      const Flag* f = find_flag(c->flags, word);
      if (f && f->kind != FlagKind::kSwitch) return true;
    }
    return false;
  };
  for (size_t i = 0; i < args.size(); i++) {
    if (takes_value(args[i])) {
      i++;
    } else if (!is_option(args[i])) {
      return args[i];
    }
  }
  return "";
}

int cli_fail(const std::string& text) {
  std::fprintf(stderr, "recovery-server: %s\n", terminal_safe(text).c_str());
  return 1;
}

int cli_usage(const char* usage, const std::string& text) {
  std::fprintf(stderr, "recovery-server: %s\n%s", text.c_str(), usage);
  return 2;
}

}  // namespace halvex::server
