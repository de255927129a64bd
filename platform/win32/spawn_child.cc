// A child program for the Windows process tests. Writes its arguments after
// the first, one per line in UTF-8, to the file named by HALVEX_CHILD_OUT
// (or to standard output), then acts on its first argument:
//   exit N     ends with exit code N
//   sleep MS   sleeps MS milliseconds, then ends with 0
//   anything else ends with 0.
// Built with -municode so that it reads its arguments as UTF-16.

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

std::string utf8(const wchar_t* text) {
  int n = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n - 1 : 0), '\0');
  if (n > 1) ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const wchar_t* out_path = _wgetenv(L"HALVEX_CHILD_OUT");
  _setmode(_fileno(stdout), _O_BINARY);  // "\n" as it is, as in the file
  FILE* out = out_path ? _wfopen(out_path, L"wb") : stdout;
  if (out) {
    for (int i = 1; i < argc; i++) std::fprintf(out, "%s\n", utf8(argv[i]).c_str());
    std::fflush(out);
    if (out != stdout) std::fclose(out);
  }
  if (argc >= 3 && std::wcscmp(argv[1], L"exit") == 0) return _wtoi(argv[2]);
  if (argc >= 3 && std::wcscmp(argv[1], L"sleep") == 0) ::Sleep(static_cast<DWORD>(_wtoi(argv[2])));
  return 0;
}
