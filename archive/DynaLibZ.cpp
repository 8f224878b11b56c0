#include "archive/DynaLibZ.h"

#include <cstdlib>
#include <cstring>

#include "platform/DynamicLibrary.h"
#include "platform/UserInterface.h"

namespace vl {

const std::array<DZ_BOOL ZIPCMDSTRUCT::*, ZipFlagCount> ZipFlagFields = {
    &ZIPCMDSTRUCT::recurseFlag,               // RecurseFlag
    &ZIPCMDSTRUCT::pathForTempFlag,           // PathForTempFlag
    &ZIPCMDSTRUCT::fixFlag,                   // FixFlag
    &ZIPCMDSTRUCT::fixHarderFlag,             // FixHarderFlag
    &ZIPCMDSTRUCT::includeVolumeFlag,         // IncludeVolumeFlag
    &ZIPCMDSTRUCT::deleteOriginalFlag,        // DeleteOriginalFlag
    &ZIPCMDSTRUCT::growExistingFlag,          // GrowExistingFlag
    &ZIPCMDSTRUCT::noDirectoryNamesFlag,      // NoDirectoryNamesFlag
    &ZIPCMDSTRUCT::addCommentFlag,            // AddCommentFlag
    &ZIPCMDSTRUCT::afterDateFlag,             // AfterDateFlag
    &ZIPCMDSTRUCT::oldAsLatestFlag,           // OldAsLatestFlag
    &ZIPCMDSTRUCT::includeOnlyFollowingFlag,  // IncludeOnlyFollowingFlag
    &ZIPCMDSTRUCT::excludeFollowingFlag,      // ExcludeFollowingFlag
    &ZIPCMDSTRUCT::noDirectoryEntriesFlag,    // NoDirectoryEntriesFlag
    &ZIPCMDSTRUCT::includeSysHiddenFlag,      // IncludeSysHiddenFlag
    &ZIPCMDSTRUCT::bDiagnostic,               // bDiagnostic
    &ZIPCMDSTRUCT::largeZIPFilesFlag,         // LargeZIPFilesFlag
};

const std::array<DZ_BOOL ZIPCMDSTRUCT::*, ZipFormatCount> ZipFormatFields = {
    &ZIPCMDSTRUCT::dosifyFlag,                     // DosifyFlag
    &ZIPCMDSTRUCT::encryptFlag,                    // EncryptFlag
    &ZIPCMDSTRUCT::dontCompressTheseSuffixesFlag,  // DontCompressTheseSuffixesFlag
    &ZIPCMDSTRUCT::convertLFtoCRLFFlag,            // ConvertLFtoCRLFFlag
    &ZIPCMDSTRUCT::quietFlag,                      // QuietFlag
};

const std::array<std::uint16_t, MultiVolFlagCount> MultiVolBits = {
    0x8000,  // MV_USEMULTI
    0x0001,  // MV_FORMAT
    0x0002,  // MV_LOWDENSE
    0x0100,  // MV_WIPE
    0x0200,  // MV_SUBDIR
    0x0400,  // MV_SYSHIDE
    0x1000,  // MV_CDFIRST
    0x4000,  // MV_TOHD
};

// The last two do not follow their ordinals: the engine's words say so.
const std::array<std::uint16_t, ZipSubOptionCount> ZipSubOptionBits = {
    0x0001,  // ZSO_RELATIVEPATH
    0x0002,  // ZSO_MINORCANCEL
    0x0004,  // ZSO_EXTERNALPROG
    0x0008,  // ZSO_EXTPROGCANCEL
    0x0010,  // ZSO_IGNORELONGNAMES
    0x0020,  // ZSO_MANGLELONGNAMES
    0x0040,  // ZSO_SKIPLOCKEDFILES
    0x0080,  // ZSO_FORCEREMOVEABLE
    0x0100,  // ZSO_LOGZIPRESULTS
    0x0200,  // ZSO_JUST_ARCHIVED
    0x0400,  // ZSO_RESET_ARCHIVED
    0x4000,  // ZSO_INHIBIT_PUMP
    0x0800,  // ZSO_ANSI_NAMES
};

const std::array<char * ZIPCMDSTRUCT::*, TextPropertyCount> TextPropertyFields = {
    &ZIPCMDSTRUCT::lpszZIPFile,           // lpszZipFile
    &ZIPCMDSTRUCT::lpszItemList,          // lpszItemList
    &ZIPCMDSTRUCT::lpszEncryptCode,       // lpszEncryptCode
    &ZIPCMDSTRUCT::lpszExtProgTitle,      // lpszExtProgTitle
    &ZIPCMDSTRUCT::lpszTempPath,          // lpszTempPath
    &ZIPCMDSTRUCT::lpszComment,           // lpszComment
    &ZIPCMDSTRUCT::lpszDate,              // lpszDate
    &ZIPCMDSTRUCT::lpszIncludeFollowing,  // lpszIncludeFollowing
    &ZIPCMDSTRUCT::lpszExcludeFollowing,  // lpszExcludeFollowing
    &ZIPCMDSTRUCT::lpszStoreSuffixes,     // lpszStoreSuffixes
};

namespace {

// One engine per process, shared by every component and released with the
// last of them.
struct Engine {
  platform::DynamicLibrary EngineHandle;
  DZ_DZIP_ENTRY EngineEntry = nullptr;
  DZ_LAST_ERROR_ENTRY LastErrorEntry = nullptr;  // optional: older engines lack it
  int users = 0;
};

Engine& ProcessEngine() {
  static Engine engine;
  return engine;
}

// The reason goes in a paragraph of its own under the fixed text, which stays
// the first thing an administrator reads (one line on standard error).
[[noreturn]] void EndProgram(const std::string& message, const std::string& reason) {
  platform::ShowMessage(platform::MessageKind::Warning, message + "\n\n" + reason);
  std::exit(1);
}

void AcquireEngine() {
  Engine& engine = ProcessEngine();
  if (engine.users == 0) {
    engine.EngineHandle = platform::DynamicLibrary::Load("DZIP32.DLL");
    if (!engine.EngineHandle.IsLoaded()) EndProgram("Could not load DZIP32.DLL!", engine.EngineHandle.Failure());
    engine.EngineEntry = reinterpret_cast<DZ_DZIP_ENTRY>(engine.EngineHandle.Symbol("dzip"));
    if (engine.EngineEntry == nullptr) {
      const std::string reason = engine.EngineHandle.Path() + " has no entry \"dzip\".";
      engine.EngineHandle.Release();
      EndProgram("Could not load dzip function!", reason);
    }
    engine.LastErrorEntry = reinterpret_cast<DZ_LAST_ERROR_ENTRY>(engine.EngineHandle.Symbol("dzip_last_error"));
  }
  ++engine.users;
}

void ReleaseEngine() {
  Engine& engine = ProcessEngine();
  if (--engine.users > 0) return;
  engine.EngineEntry = nullptr;
  engine.LastErrorEntry = nullptr;
  engine.EngineHandle.Release();
}

DZ_BOOL AsBool(bool value) { return value ? DZ_TRUE : DZ_FALSE; }

template <typename Set, std::size_t N>
std::uint16_t WordOf(Set set, const std::array<std::uint16_t, N>& bits) {
  std::uint16_t word = 0;
  for (std::size_t i = 0; i < N; ++i)
    if (set.Contains(static_cast<typename Set::Element>(i))) word = static_cast<std::uint16_t>(word | bits[i]);
  return word;
}

template <typename Set, std::size_t N>
void WriteBooleans(ZIPCMDSTRUCT& command, Set set, const std::array<DZ_BOOL ZIPCMDSTRUCT::*, N>& fields) {
  for (std::size_t i = 0; i < N; ++i) command.*fields[i] = AsBool(set.Contains(static_cast<typename Set::Element>(i)));
}

std::string EngineDetail() {
  DZ_LAST_ERROR_ENTRY entry = ProcessEngine().LastErrorEntry;
  const char* text = entry != nullptr ? entry() : nullptr;
  return text != nullptr ? text : "";
}

}  // namespace

std::string QuotedZipItem(const std::string& path) {
  std::string quoted = "\"";
  for (char c : path) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

TZipFile::EngineLease::EngineLease() { AcquireEngine(); }
TZipFile::EngineLease::~EngineLease() { ReleaseEngine(); }

TZipFile::TZipFile() {
  for (auto& text : texts_) text = std::make_unique<TLPStr>(0);
}

TZipFile::~TZipFile() {
  for (auto& text : texts_) text.reset();
}

void TZipFile::SetLPStr(TextProperty, const TLPStr*) {
  platform::ShowMessage(platform::MessageKind::Information, DirectAssignMessage);
}

bool TZipFile::RunAction(std::int32_t action) {
  if (action == 0) return false;
  PrepareCommand();
  zipCommand_.function = action;
  const std::int32_t result = ProcessEngine().EngineEntry(&zipCommand_);
  resultCode_ = result;
  resultDetail_ = result == 0 ? std::string() : EngineDetail();
  return result == 0;
}

void TZipFile::PrepareCommand() {
  std::memset(&zipCommand_, 0, sizeof zipCommand_);
  zipCommand_.zipStructSize = static_cast<std::int32_t>(sizeof(ZIPCMDSTRUCT));
  zipCommand_.compFactor = CompFactor;
  zipCommand_.passValue1 = PassValue1;
  zipCommand_.passValue2 = PassValue2;
  zipCommand_.passValue3 = PassValue3;

  void* self = static_cast<TDynaZip*>(this);
  zipCommand_.lpMajorStatus = &TDynaZip::MajorStatusAdapter;
  zipCommand_.lpMajorUserData = self;
  zipCommand_.lpMinorStatus = &TDynaZip::MinorStatusAdapter;
  zipCommand_.lpMinorUserData = self;
  zipCommand_.lpMessageDisplay = &TDynaZip::MessageAdapter;
  zipCommand_.lpMessageDisplayUserData = self;
  zipCommand_.lpRenameProc = &TDynaZip::RenameAdapter;
  zipCommand_.lpRenameUserData = self;

  std::memset(&memToMemBlock_, 0, sizeof memToMemBlock_);
  memToMemBlock_.blockSize = static_cast<std::int32_t>(sizeof(MEMTOMEMBLOCK));
  memToMemBlock_.lpMemToMemProc = &TDynaZip::MemToMemAdapter;
  memToMemBlock_.lpMemToMemUserData = self;
  zipCommand_.lpMemBlock = &memToMemBlock_;

  WriteBooleans(zipCommand_, Options, ZipFlagFields);
  WriteBooleans(zipCommand_, ZipFormats, ZipFormatFields);
  zipCommand_.wZipSubOptions = WordOf(wZipSubOptions, ZipSubOptionBits);
  zipCommand_.wMultiVolControl = WordOf(wMultiVolControl, MultiVolBits);

  for (std::size_t i = 0; i < TextPropertyCount; ++i) zipCommand_.*TextPropertyFields[i] = texts_[i]->TextPtr();
}

}  // namespace vl
