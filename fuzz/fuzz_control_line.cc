// The control socket's input: bytes arrive in pieces of any size (the first
// input byte sets the piece length); the reader never keeps more than its
// bound, every line it hands out is within the bound and holds no newline,
// and a line the parser accepts is exactly a command name.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "service/control.h"

using halvex::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = data[0] % 16 + 1;
  std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string pending, line;
  for (size_t at = 0; at < input.size(); at += piece) {
    pending.append(input.substr(at, piece));
    for (;;) {
      halvex::ControlLine r = halvex::control_take_line(&pending, &line);
      if (r == halvex::ControlLine::kTooLong) return 0;  // the agent answers and closes here
      if (r == halvex::ControlLine::kMore) break;
      check(line.size() <= halvex::kControlLineBytes, "line over the bound");
      check(line.find('\n') == std::string::npos, "newline inside a line");
      std::optional<halvex::ControlCommand> command = halvex::control_parse(line);
      if (command) {
        std::string_view name(line);
        if (!name.empty() && name.back() == '\r') name.remove_suffix(1);
        check(name == "login" || name == "dashboard" || name == "disconnect" || name == "exit" ||
                  name == "status",
              "accepted a line that names no command");
      }
    }
    check(pending.size() <= halvex::kControlLineBytes, "reader kept more than its bound");
  }
  return 0;
}
