// Packs one file the way the backup job does: through the zip component, which
// loads the engine from the program's folder. Used by run-bench.
//
// usage: bench_pack ARCHIVE FILE [LEVEL]
// Exit code: the engine's result code (0 for success).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "archive/DynaLibZ.h"
#include "platform/CommandLine.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s ARCHIVE FILE [LEVEL]\n", argv[0]);
    return 2;
  }
  vl::platform::InitCommandLine(argc, argv);  // the engine is looked up beside the program
  vl::TZipFile zip;
  zip.CompFactor = argc > 3 ? std::atoi(argv[3]) : 7;
  zip.wZipSubOptions = {vl::ZSO_MINORCANCEL, vl::ZSO_EXTPROGCANCEL};
  zip.Options = {vl::NoDirectoryNamesFlag, vl::bDiagnostic, vl::LargeZIPFilesFlag};
  const std::string item = std::string("\"") + argv[2] + "\"";
  zip.lpszItemList()->SetText(item.c_str());
  zip.lpszZipFile()->SetText(argv[1]);
  zip.RunAction(DZ_ACTION_ADD);
  if (zip.ResultCode() != DZ_OK) {
    std::fprintf(stderr, "engine result %d: %s\n", zip.ResultCode(), DzipResultText(zip.ResultCode()));
  }
  return zip.ResultCode();
}
