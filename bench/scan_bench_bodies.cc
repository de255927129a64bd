// Helper of bench/scan_e2e_bench.sh: makes the benchmark's disk image, and
// writes the upload bodies the agent sends for it, so that curl can post
// the very same bytes for comparison.
//
//   scan_bench_bodies image PATH SIZE_MB
//       PATH: SIZE_MB MiB of pseudo-random bytes with a JPEG start every
//       MiB (at 100 bytes into each), as a photo card's data area looks.
//   scan_bench_bodies bodies PATH SCAN_ID CHUNK_BYTES URL CA_FILE OUT_DIR
//       OUT_DIR/body-NNNN, one per chunk, and on standard output a curl
//       config (curl -K) posting them in order on one connection.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "scan/scan_upload.h"
#include "scan/signatures.h"

namespace {

constexpr uint64_t kMiB = 1048576;

int make_image(const std::string& path, uint64_t size_mb) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<uint8_t> block(kMiB);
  uint64_t state = 0x9E3779B97F4A7C15ULL;
  for (uint64_t mb = 0; mb < size_mb; mb++) {
    for (size_t i = 0; i < block.size(); i += 8) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      for (int k = 0; k < 8; k++)
        block[i + static_cast<size_t>(k)] = static_cast<uint8_t>(state >> (8 * k));
    }
    const uint8_t jpeg[] = {0xFF, 0xD8, 0xFF, 0xE1};
    std::copy(std::begin(jpeg), std::end(jpeg), block.begin() + 100);
    out.write(reinterpret_cast<const char*>(block.data()),
              static_cast<std::streamsize>(block.size()));
  }
  return out ? 0 : 1;
}

int write_bodies(const std::string& image, const std::string& scan_id, uint64_t chunk_bytes,
                 const std::string& url, const std::string& ca, const std::string& dir) {
  std::ifstream in(image, std::ios::binary);
  std::vector<uint8_t> chunk(chunk_bytes);
  for (uint64_t offset = 0, k = 0;; offset += chunk_bytes, k++) {
    in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk_bytes));
    uint64_t n = static_cast<uint64_t>(in.gcount());
    if (n == 0) break;
    halvex::ScanHits hits = halvex::scan_signatures(offset, chunk.data(), n, halvex::ScanConfig{});
    std::vector<halvex::ScanRegion> regions = halvex::build_regions(offset, chunk.data(), n, hits);
    halvex::ScanUploadFields fields{halvex::scan_make_boundary(), scan_id, offset,
                                    static_cast<uint32_t>(n)};
    halvex::ScanUploadBody body;
    std::string error;
    if (!halvex::scan_upload_body(fields, hits, regions, &body, &error)) {
      std::fprintf(stderr, "chunk %llu: %s\n", static_cast<unsigned long long>(offset),
                   error.c_str());
      return 1;
    }
    char name[32];
    std::snprintf(name, sizeof name, "/body-%04llu", static_cast<unsigned long long>(k));
    std::ofstream(dir + name, std::ios::binary)
        .write(reinterpret_cast<const char*>(body.data.get()),
               static_cast<std::streamsize>(body.size));
    std::printf(
        "%surl = \"%s\"\ncacert = \"%s\"\ndata-binary = \"@%s%s\"\n"
        "header = \"Content-Type: %s\"\nuser-agent = \"Halvex_Service/1.0\"\noutput = "
        "\"/dev/null\"\n"
        "fail\nsilent\nshow-error\n",
        k == 0 ? "" : "next\n", url.c_str(), ca.c_str(), dir.c_str(), name,
        halvex::scan_upload_content_type(fields.boundary).c_str());
    if (n < chunk_bytes) break;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> a(argv + 1, argv + argc);
  if (a.size() == 3 && a[0] == "image")
    return make_image(a[1], std::strtoull(a[2].c_str(), nullptr, 10));
  if (a.size() == 7 && a[0] == "bodies")
    return write_bodies(a[1], a[2], std::strtoull(a[3].c_str(), nullptr, 10), a[4], a[5], a[6]);
  std::fprintf(stderr,
               "usage: scan_bench_bodies image PATH SIZE_MB\n"
               "       scan_bench_bodies bodies PATH SCAN_ID CHUNK_BYTES URL CA_FILE OUT_DIR\n");
  return 2;
}
