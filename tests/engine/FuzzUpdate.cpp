// libFuzzer target for updating an archive that is already there: each input
// is planted as the archive, then VL.BAK is packed into it. Besides memory
// errors (the sanitizers) it checks that whatever the engine accepts and
// writes, it accepts again on the next update. Built with -DVL_FUZZ=ON and
// clang; see the README for running it with a seed corpus.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "dzip.h"

namespace {

struct Scratch {
  std::string folder;
  std::string archive;
  std::string items;
  Scratch() {
    char pattern[] = "/tmp/dzfuzz.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) ::abort();
    folder = pattern;
    archive = folder + "/vl.zip";
    items = "\"" + folder + "/VL.BAK\"";
    std::FILE* f = std::fopen((folder + "/VL.BAK").c_str(), "wb");
    if (f == nullptr) ::abort();
    std::fputs("a small backup\n", f);
    std::fclose(f);
    ::setenv("DZIP_THREADS", "1", 1);
  }
};

int32_t Update(const Scratch& s) {
  ZIPCMDSTRUCT c;
  std::memset(&c, 0, sizeof c);
  c.zipStructSize = sizeof c;
  c.function = DZ_ACTION_ADD;
  c.lpszZIPFile = const_cast<char*>(s.archive.c_str());
  c.lpszItemList = const_cast<char*>(s.items.c_str());
  c.compFactor = 1;
  c.noDirectoryNamesFlag = DZ_TRUE;
  c.largeZIPFilesFlag = DZ_TRUE;
  return dzip(&c);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Scratch scratch;
  std::FILE* f = std::fopen(scratch.archive.c_str(), "wb");
  if (f == nullptr) ::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) ::abort();
  std::fclose(f);
  int32_t first = Update(scratch);
  if (first == DZ_OK && Update(scratch) != DZ_OK) {
    std::fprintf(stderr, "the engine refused its own archive: %s\n", dzip_last_error());
    ::abort();
  }
  return 0;
}
