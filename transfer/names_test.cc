// File names from the server: what a download is saved under, the numbered
// alternatives, and the installer's name.

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "transfer/names.h"

namespace halvex {
namespace {

TEST(DownloadNameTest, KeepsTheLastPartOrFallsBackToTheIndex) {
  struct Case {
    std::optional<std::string> filename;
    std::string expected;
  };
  const Case cases[] = {
      {"report.pdf", "report.pdf"},
      {"docs/2024/report.pdf", "report.pdf"},
      {"..\\..\\x", "x"},
      {"a/../../b", "b"},
      {"C:\\Windows\\system32\\evil.dll", "evil.dll"},
      {"..", "file_3"},
      {".", "file_3"},
      {"", "file_3"},
      {"folder/", "file_3"},
      {"folder\\", "file_3"},
      {"dir/..", "file_3"},
      {"C:evil", "file_3"},
      {"line\nbreak", "file_3"},
      {std::string("nul\0x", 5), "file_3"},
      {"tab\there", "file_3"},
      {"del\x7f", "file_3"},
      {"NUL", "file_3"},
      {"com1.txt", "file_3"},
      {"Con .tar.gz", "file_3"},
      {"lpt\xc2\xb9", "file_3"},
      {"CONOUT$", "file_3"},
      {"COM10", "COM10"},
      {"console.log", "console.log"},
      {"...", "..."},
      {".hidden", ".hidden"},
      {"caf\xc3\xa9.txt", "caf\xc3\xa9.txt"},
      {std::nullopt, "file_3"},
      // Long names are cut to 255 bytes.
      {std::string(300, 'n'), std::string(255, 'n')},
      {"x/" + std::string(300, 'n'), std::string(255, 'n')},
  };
  for (const Case& c : cases) {
    std::optional<std::string_view> given;
    if (c.filename) given = *c.filename;
    EXPECT_EQ(download_name(given, 3), c.expected) << (c.filename ? *c.filename : "(none)");
  }
}

TEST(DownloadNumberedNameTest, NumbersBeforeTheLastDotWithinTheNameLimit) {
  struct Case {
    std::string name;
    int n;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"report.pdf", 2, "report (2).pdf"},
      {"notes", 1, "notes (1)"},
      {".cfg", 1, " (1).cfg"},
      {"archive.tar.gz", 998, "archive.tar (998).gz"},
      {"a.verylongextensionthatisfarmorethanthirtyonecharacters", 1,
       "a (1).verylongextensionthatisfarmorethanthirtyonecharacters"},
      // Cut to 255 bytes keeping the extension; none when the extension
      // alone nearly fills it.
      {std::string(250, 's') + ".pdf", 998, std::string(245, 's') + " (998).pdf"},
      {"x." + std::string(252, 'e'), 1, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(download_numbered_name(c.name, c.n), c.expected) << c.name;
}

TEST(UpdateInstallerNameTest, OnlyPlainNamesAreKept) {
  struct Case {
    const char* filename;
    const char* expected;
  };
  const Case cases[] = {
      {"Halvex_Service_Setup-0.3.0.exe", "Halvex_Service_Setup-0.3.0.exe"},
      {"releases/setup.exe", "setup.exe"},
      {"..\\..\\setup.exe", "setup.exe"},
      {"", "Halvex_Service_Setup.exe"},
      {"dir/", "Halvex_Service_Setup.exe"},
      {"..", "Halvex_Service_Setup.exe"},
      {".", "Halvex_Service_Setup.exe"},
      {"set up.exe", "Halvex_Service_Setup.exe"},
      {"setup.exe;rm -rf ~", "Halvex_Service_Setup.exe"},
      {"$(reboot).exe", "Halvex_Service_Setup.exe"},
      {"it's.exe", "Halvex_Service_Setup.exe"},
      {"caf\xc3\xa9.exe", "Halvex_Service_Setup.exe"},
      {"aux.exe", "Halvex_Service_Setup.exe"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(update_installer_name(c.filename), c.expected) << c.filename;
}

}  // namespace
}  // namespace halvex
