// A stand-in for ffmpeg.exe in the Windows end-to-end test under wine. It
// is a fake only because no Windows build of ffmpeg is available to the
// tests; the Linux end-to-end test renders real thumbnails with the real
// ffmpeg.
//
// Called as the agent calls ffmpeg:
//   ffmpeg -y -ss 0 -i INPUT.mp4 -frames:v 1 -q:v 5 -vf scale=320:-2 OUT.jpg
// it checks that INPUT starts with an MP4 "ftyp" box and writes OUT as a
// JPEG-framed file (SOI, a COM segment, EOI) whose comment carries INPUT's
// size and first 512 bytes, so the test can tell that the assembled file
// reached ffmpeg and the JPEG reached the server. Exit code 1 on any other
// call or input.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool read_file(const char* path, std::string* data) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) data->append(buffer, n);
  std::fclose(f);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const std::vector<std::string> expected{
      "-y", "-ss", "0", "-i", "", "-frames:v", "1", "-q:v", "5", "-vf", "scale=320:-2", ""};
  if (args.size() != expected.size()) return 1;
  for (size_t i = 0; i < args.size(); i++)
    if (!expected[i].empty() && args[i] != expected[i]) return 1;
  std::string mp4;
  if (!read_file(args[4].c_str(), &mp4) || mp4.size() < 8 || mp4.compare(4, 4, "ftyp") != 0)
    return 1;

  std::string comment = "halvex ffmpeg stand-in; input " + std::to_string(mp4.size()) + " bytes: ";
  comment += mp4.substr(0, 512);
  std::string jpeg = "\xFF\xD8\xFF\xFE";
  const size_t length = comment.size() + 2;
  jpeg += static_cast<char>(length >> 8);
  jpeg += static_cast<char>(length & 0xFF);
  jpeg += comment + "\xFF\xD9";
  std::FILE* out = std::fopen(args[11].c_str(), "wb");
  if (out == nullptr) return 1;
  const bool written = std::fwrite(jpeg.data(), 1, jpeg.size(), out) == jpeg.size();
  return std::fclose(out) == 0 && written ? 0 : 1;
}
