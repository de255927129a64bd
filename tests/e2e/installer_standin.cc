// A stand-in for Halvex_Service_Setup.exe in the Windows end-to-end test
// under wine: the self-update's hand-over script runs it, and it records
// how. The real NSIS installer has its own test under wine
// (windows_installer_test); here only the hand-over is under test.
//
// It writes to the file named by HALVEX_E2E_INSTALLER_RECORD (the agent's
// environment reaches it through cmd.exe and the script): its arguments,
// one per line, then a line "--- script", then the text of the hand-over
// script beside it (_halvex_update.bat), which is still there while the
// installer runs. Exit code 0 when the record was written, else 1.

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

bool read_file(const std::string& path, std::string* data) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) data->append(buffer, n);
  std::fclose(f);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const char* record_path = std::getenv("HALVEX_E2E_INSTALLER_RECORD");
  if (record_path == nullptr || argc < 1) return 1;
  std::string record;
  for (int i = 1; i < argc; i++) record += std::string(argv[i]) + "\n";
  record += "--- script\n";
  std::string self = argv[0];
  size_t slash = self.find_last_of("\\/");
  std::string folder = slash == std::string::npos ? "." : self.substr(0, slash);
  if (!read_file(folder + "\\_halvex_update.bat", &record))
    record += "(no script beside the installer)\n";
  std::FILE* out = std::fopen(record_path, "wb");
  if (out == nullptr) return 1;
  const bool written = std::fwrite(record.data(), 1, record.size(), out) == record.size();
  return std::fclose(out) == 0 && written ? 0 : 1;
}
