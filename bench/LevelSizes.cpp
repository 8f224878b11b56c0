// Prints, for every libdeflate level, the size the engine's chunked stream of
// FILE would have (each chunk compressed on its own and made joinable), to
// choose the level for each CompFactor against zip's sizes.
//
// usage: bench_levels FILE [CHUNK_KIB [LEVEL]]   (default: 2048 KiB, every level)
#include <libdeflate.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <vector>

#include "engine/deflate/DeflateWalk.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [CHUNK_KIB [LEVEL]]\n", argv[0]);
    return 2;
  }
  const size_t chunk = (argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 2048) * 1024;
  std::ifstream in(argv[1], std::ios::binary);
  std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const int only = argc > 3 ? std::atoi(argv[3]) : 0;
  for (int level = only > 0 ? only : 1; level <= (only > 0 ? only : 12); ++level) {
    std::unique_ptr<libdeflate_compressor, decltype(&libdeflate_free_compressor)> c(libdeflate_alloc_compressor(level),
                                                                                    libdeflate_free_compressor);
    std::vector<uint8_t> out(libdeflate_deflate_compress_bound(c.get(), chunk) + dz::kJoinSlack);
    unsigned long long total = 0;
    for (size_t at = 0; at < data.size() || at == 0; at += chunk) {
      size_t n = std::min(chunk, data.size() - at);
      size_t size = libdeflate_deflate_compress(c.get(), data.data() + at, n, out.data(), out.size());
      if (at + n < data.size()) size = dz::MakeJoinable(out.data(), size, dz::WalkDeflate(out.data(), size));
      total += size;
      if (data.empty()) break;
    }
    std::printf("libdeflate %2d: %llu\n", level, total);
  }
  return 0;
}
