#include "server/cli/flags.h"

#include <gtest/gtest.h>

namespace halvex::server {
namespace {

constexpr Flag kTable[] = {
    {"--disk", FlagKind::kValue}, {"--follow", FlagKind::kSwitch}, {"--host", FlagKind::kList}};

using Words = std::vector<std::string>;

// What flags_parse made of a line: its words, --disk, every --host,
// whether --follow was given, --data; or the error.
std::string sorted(const Words& args) {
  std::string error;
  std::optional<Flags> f = flags_parse(args, kTable, &error);
  if (!f) return "error: " + error;
  std::string out = "words:";
  for (const std::string& w : f->words) out += " " + w;
  out += " | disk=" + f->value_or("--disk", "(none)") + " hosts=";
  for (const std::string& h : f->values("--host")) out += h + ",";
  return out + (f->has("--follow") ? " follow" : "") + " data=" + f->data();
}

TEST(FlagsTest, SortsWordsAndOptionsByTheTable) {
  struct Case {
    Words args;
    std::string want;
  } cases[] = {
      {{"scan", "m1"}, "words: scan m1 | disk=(none) hosts= data=recovery-data"},
      {{"--disk", "0", "scan", "m1", "--follow"},
       "words: scan m1 | disk=0 hosts= follow data=recovery-data"},
      {{"scan", "--data", "d", "m1"}, "words: scan m1 | disk=(none) hosts= data=d"},
      // Value forms: the next word, whatever it looks like.
      {{"scan", "--disk", "-1"}, "words: scan | disk=-1 hosts= data=recovery-data"},
      {{"scan", "--disk", ""}, "words: scan | disk= hosts= data=recovery-data"},
      {{"scan", "--disk", "--follow"}, "words: scan | disk=--follow hosts= data=recovery-data"},
      {{"scan", "-", "m1"}, "words: scan - m1 | disk=(none) hosts= data=recovery-data"},
      // Repeated: the last value counts, a list keeps them all.
      {{"scan", "--disk", "1", "--disk", "2"}, "words: scan | disk=2 hosts= data=recovery-data"},
      {{"init", "--host", "a", "--host", "b"},
       "words: init | disk=(none) hosts=a,b, data=recovery-data"},
      {{"scan", "--follow", "--follow"},
       "words: scan | disk=(none) hosts= follow data=recovery-data"},
      // Unknown options and missing values.
      {{"scan", "--folder", "x"}, "error: --folder: unknown option"},
      {{"scan", "-x"}, "error: -x: unknown option"},
      {{"scan", "--disk=0"}, "error: --disk=0: unknown option"},
      {{"scan", "--disk"}, "error: --disk: needs a value"},
      {{"scan", "--data"}, "error: --data: needs a value"},
  };
  for (const Case& c : cases) EXPECT_EQ(sorted(c.args), c.want) << c.args.size();
}

int run_nothing(const Flags&) { return 0; }
constexpr Flag kOtherTable[] = {{"--folder", FlagKind::kValue}, {"--force", FlagKind::kSwitch}};
const CliCommand kScan{"scan", kTable, "", run_nothing};
const CliCommand kOther{"download", kOtherTable, "", run_nothing};
const CliCommand* const kCommands[] = {&kScan, &kOther};

// The command word stands anywhere: a value of any command's option is
// never taken for it.
TEST(FlagsTest, FindsTheCommandWordPastEveryCommandsOptions) {
  struct Case {
    Words args;
    std::string want;
  } cases[] = {
      {{"scan", "m1"}, "scan"},
      {{"--data", "scan", "download"}, "download"},
      {{"--folder", "scan", "download", "m1"}, "download"},
      {{"--force", "--follow", "scan"}, "scan"},
      {{"--disk", "0"}, ""},
      {{}, ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(cli_command_word(c.args, kCommands), c.want) << c.args.size();
}

TEST(FlagsTest, WholeNumbers) {
  struct Case {
    const char* text;
    long long min, max;
    int base;
    std::optional<long long> want;
  } cases[] = {
      {"5", 1, 10, 10, 5},
      {"0", 1, 10, 10, std::nullopt},
      {"11", 1, 10, 10, std::nullopt},
      {"", 0, 10, 10, std::nullopt},
      {"5x", 0, 10, 10, std::nullopt},
      {"-1", 0, 10, 10, std::nullopt},
      {"0x2CA5", 0, 0xFFFF, 0, 0x2CA5},
      {"0x10000", 0, 0xFFFF, 0, std::nullopt},
      {"0x10", 0, 99, 10, std::nullopt},
      {"99999999999999999999", 0, INT64_MAX, 10, std::nullopt},
  };
  for (const Case& c : cases)
    EXPECT_EQ(flags_whole_number(c.text, c.min, c.max, c.base), c.want) << c.text;
}

}  // namespace
}  // namespace halvex::server
