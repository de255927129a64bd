// The portable pieces: the CSV tokenizer and Get-Disk parsing, the bus
// class, the disk entry, the physical drive path form, array reading.

#include <gtest/gtest.h>

#include <vector>

#include "disk/disk.h"
#include "disk/disk_path.h"
#include "disk/disk_text.h"
#include "disk/json_array.h"
#include "platform/win32/get_disk_csv.h"

namespace halvex {
namespace {

using namespace std::string_view_literals;

TEST(CsvNextFieldTest, FieldsAndWhatIsLeft) {
  struct Case {
    const char* text;
    std::vector<std::string> fields;  // the first fields, in order
    const char* rest;                 // the cursor afterwards
  };
  const Case cases[] = {
      {"", {"", ""}, ""},
      {"a,b", {"a", "b", ""}, ""},
      {"a,,b", {"a", "", "b"}, ""},
      {"\"x,y\",z", {"x,y", "z"}, ""},
      {"\"He said \"\"hi\"\" twice\",next", {"He said \"hi\" twice", "next"}, ""},
      {"\"\"\"\"", {"\""}, ""},
      {"\"\",x", {"", "x"}, ""},
      {"\"open,to the end", {"open,to the end", ""}, ""},
      {"\"a\"b,c", {"a", "b"}, "c"},
      {"a\r\nb", {"a", "", "b"}, ""},
      {"a\nb", {"a"}, "b"},
      {"\"q\"\r\n", {"q"}, "\r\n"},
      {"tail", {"tail", ""}, ""},
  };
  for (const Case& c : cases) {
    std::string_view cursor = c.text;
    for (const std::string& want : c.fields) EXPECT_EQ(csv_next_field(&cursor), want) << c.text;
    EXPECT_EQ(cursor, c.rest) << c.text;
  }
}

TEST(GetDiskParseTest, Lines) {
  struct Case {
    std::string_view line;
    int number;
    const char* name;
    uint64_t size;
    const char* bus;
  };
  const Case cases[] = {
      {"\"0\",\"Samsung SSD 970\",\"1000204886016\",\"NVMe\"", 0, "Samsung SSD 970",
       1000204886016ull, "NVMe"},
      // Doubled quotes in a quoted name; the fields after it still line up.
      {"\"1\",\"Kingston \"\"Data\"\" Traveler\",\"31406948352\",\"USB\"", 1,
       "Kingston \"Data\" Traveler", 31406948352ull, "USB"},
      {"2,Plain Disk,512,SATA\r", 2, "Plain Disk", 512, "SATA"},
      {"\"3\",\"Card\",\"\",\"SD\"\r", 3, "Card", 0, "SD"},
      {"\"4\",\"\",\"7\",\"\"", 4, "", 7, ""},
      {"5", 5, "", 0, ""},
      {"", 0, "", 0, ""},
      {"12abc,N,34xyz,RAID", 12, "N", 34, "RAID"},
      {"-1,N,-5,SAS", 0, "N", 0, "SAS"},
      {"99999999999,N,99999999999999999999999,USB", 2147483647, "N", UINT64_MAX, "USB"},
      {"Get-Disk : Access denied", 0, "", 0, ""},
      {"\"6\",\"\0hidden\",\"1\",\"USB\""sv, 6, "", 0, ""},  // NUL ends the line
  };
  for (const Case& c : cases) {
    PhysicalDisk disk = get_disk_parse_line(c.line);
    EXPECT_EQ(disk.number, c.number) << c.line;
    EXPECT_EQ(disk.path, physical_drive_path(c.number)) << c.line;
    EXPECT_EQ(disk.friendly_name, c.name) << c.line;
    EXPECT_EQ(disk.size_bytes, c.size) << c.line;
    EXPECT_EQ(disk.bus_raw, c.bus) << c.line;
  }
}

TEST(GetDiskParseTest, OutputLines) {
  const std::string header = "\"Number\",\"FriendlyName\",\"Size\",\"BusType\"\r\n";
  struct Case {
    std::string text;
    std::vector<int> numbers;
  };
  const Case cases[] = {
      {"", {0}},  // no line feed: the whole text is one line
      {header, {}},
      {header + "\r\n  \r\n", {}},
      {header + "\"0\",\"A\",\"1\",\"SATA\"\r\n\"1\",\"B\",\"2\",\"USB\"\r\n", {0, 1}},
      {header + "\"0\",\"A\",\"1\",\"SATA\"\r\n\"1\",\"B\",\"2\",\"USB\"", {0, 1}},  // no final LF
      {header + "\r\n\r\n  \"7\",\"A\",\"1\",\"SATA\"\n\n", {7}},
      {"\"3\",\"Only\",\"9\",\"NVMe\"", {3}},
      {header + "Get-Disk : not recognized\r\n", {0}},  // error text counts as a line
      {header + "\"4\",\"A\",\"1\",\"SATA\"\r\n" + std::string(1, '\0') +
           "\n\"5\",\"B\",\"2\",\"USB\"",
       {4}},
  };
  for (const Case& c : cases) {
    std::vector<int> numbers;
    for (const PhysicalDisk& disk : get_disk_parse_output(c.text)) numbers.push_back(disk.number);
    EXPECT_EQ(numbers, c.numbers) << c.text;
  }
  std::vector<PhysicalDisk> disks =
      get_disk_parse_output(header + "\"0\",\"A\",\"1\",\"SATA\"\r\n\"1\",\"B\",\"2\",\"USB\"");
  ASSERT_EQ(disks.size(), 2u);
  EXPECT_EQ(disks[1].bus_raw, "USB");
  EXPECT_EQ(disks[1].friendly_name, "B");
}

TEST(DiskBusClassTest, Table) {
  const std::pair<const char*, const char*> cases[] = {
      {"USB", "usb"},    {"usb", "usb"},    {"Usb", "usb"},    {"NVMe", "nvme"},
      {"Nvme", "nvme"},  {"NVME", "nvme"},  {"SATA", "sata"},  {"sata", "sata"},
      {"ATA", "sata"},   {"IDE", "sata"},   {"ide", "sata"},   {"", "other"},
      {"SAS", "other"},  {"RAID", "other"}, {"SCSI", "other"}, {"Virtio", "other"},
      {"USB3", "other"}, {" USB", "other"}, {"SD", "other"},
  };
  for (auto [raw, bus_class] : cases) EXPECT_STREQ(disk_bus_class(raw), bus_class) << raw;
}

TEST(DiskEntryTest, MembersInOrder) {
  PhysicalDisk usb{1, "\\\\.\\PHYSICALDRIVE1", "Kingston \"Data\" Traveler", 1536, "usb"};
  EXPECT_EQ(
      json_print(disk_entry_json(usb).get()),
      "{\"id\":1,\"path\":\"\\\\\\\\.\\\\PHYSICALDRIVE1\",\"name\":\"\\\\\\\\.\\\\PHYSICALDRIVE1\","
      "\"model\":\"Kingston \\\"Data\\\" Traveler\",\"size\":1536,\"size_str\":\"1.5 KB\","
      "\"media_type\":\"usb\",\"bus_type\":\"usb\",\"bus_type_raw\":\"usb\",\"removable\":true}");

  // No friendly name: the model is the path. An empty size is 0 B. SAS is
  // neither a known class nor removable.
  PhysicalDisk sas{2, "/dev/sdc", "", 0, "SAS"};
  EXPECT_EQ(
      json_print(disk_entry_json(sas).get()),
      "{\"id\":2,\"path\":\"/dev/sdc\",\"name\":\"/dev/sdc\",\"model\":\"/dev/sdc\",\"size\":0,"
      "\"size_str\":\"0 B\",\"media_type\":\"SAS\",\"bus_type\":\"other\",\"bus_type_raw\":\"SAS\","
      "\"removable\":false}");

  // Sizes beyond 2^53 travel as the nearest double, never wrapped.
  PhysicalDisk big{0, "/dev/sda", "Big", (1ull << 60) + 1, "NVMe"};
  Json entry = disk_entry_json(big);
  EXPECT_EQ(json_get_number(entry.get(), "size"), static_cast<double>(1ull << 60));
  EXPECT_FALSE(json_get_bool(entry.get(), "removable", true));
}

TEST(PhysicalDriveTest, PathAndNumber) {
  EXPECT_EQ(physical_drive_path(0), "\\\\.\\PHYSICALDRIVE0");
  EXPECT_EQ(physical_drive_path(12), "\\\\.\\PHYSICALDRIVE12");
  const std::pair<const char*, std::optional<int>> cases[] = {
      {"\\\\.\\PHYSICALDRIVE0", 0},
      {"\\\\.\\PHYSICALDRIVE17", 17},
      {"\\\\.\\physicalDrive3", 3},
      {"\\\\.\\PHYSICALDRIVE007", 7},
      {"\\\\.\\PHYSICALDRIVE2147483647", 2147483647},
      {"\\\\.\\PHYSICALDRIVE2147483648", std::nullopt},  // would not fit
      {"\\\\.\\PHYSICALDRIVE00000000001", std::nullopt},
      {"\\\\.\\PHYSICALDRIVE", std::nullopt},
      {"\\\\.\\PHYSICALDRIVE-1", std::nullopt},
      {"\\\\.\\PHYSICALDRIVE1 ", std::nullopt},
      {"\\\\.\\PHYSICALDRIVE1/x", std::nullopt},
      {"\\\\?\\PHYSICALDRIVE1", std::nullopt},
      {"\\.\\PHYSICALDRIVE1", std::nullopt},
      {"PHYSICALDRIVE1", std::nullopt},
      {"/dev/sda", std::nullopt},
      {"", std::nullopt}};
  for (auto [path, number] : cases) EXPECT_EQ(physical_drive_number(path), number) << path;
}

TEST(JsonArrayStringsTest, Elements) {
  struct Case {
    const char* json;
    bool is_array;
    size_t count;
    std::vector<std::string> strings;
  };
  const Case cases[] = {{"[]", true, 0, {}},
                        {"[\".JPG\"]", true, 1, {".JPG"}},
                        {"[\".a\",1,\".b\"]", true, 3, {".a", ".b"}},
                        {"[\"x,y\",\"q\\\"]\",\"\\u00e9\"]", true, 3, {"x,y", "q\"]", "\xC3\xA9"}},
                        {"[[\".a\",\".b\"],{\"k\":\"[,]\"},null,true]", true, 4, {}},
                        {"[\"\"]", true, 1, {""}},
                        {"true", false, 0, {}},
                        {"\"[.jpg]\"", false, 0, {}},
                        {"{\"a\":[\".jpg\"]}", false, 0, {}}};
  for (const Case& c : cases) {
    Json item = json_parse(c.json);
    ASSERT_TRUE(item) << c.json;
    JsonArrayStrings got = json_array_strings(item.get());
    EXPECT_EQ(got.is_array, c.is_array) << c.json;
    EXPECT_EQ(got.count, c.count) << c.json;
    EXPECT_EQ(got.strings, c.strings) << c.json;
  }
  EXPECT_FALSE(json_array_strings(nullptr).is_array);
}

}  // namespace
}  // namespace halvex
