#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "RecordingEngine.h"
#include "archive/DynaLibZ.h"
#include "platform/CommandLine.h"
#include "platform/DynamicLibrary.h"
#include "platform/Error.h"
#include "platform/UserInterface.h"
#include "tests/support/TempDir.h"

namespace vl {
namespace {

using test::RecordedCall;
using test::RecordingEngine;

void UseEngineIn(const std::string& folder) { platform::SetCommandLine({folder + "/archive_tests"}); }

// Boxes shown during a test, instead of on standard error.
class RecordingUi : public platform::UserInterface {
 public:
  struct Box {
    platform::MessageKind kind;
    std::string caption;
    std::string text;
  };
  RecordingUi() { platform::InstallUserInterface(this); }
  ~RecordingUi() override { platform::InstallUserInterface(nullptr); }
  void ShowMessage(platform::MessageKind kind, const std::string& caption, const std::string& text) override {
    boxes.push_back({kind, caption, text});
  }
  void SetCursor(platform::AppCursor) override {}
  void RequestTerminate() override {}
  std::vector<Box> boxes;
};

// The record fields that every action fills the same way, the rest zero.
ZIPCMDSTRUCT FixedPart(const TZipFile& zip, std::int32_t action, std::int32_t compFactor) {
  ZIPCMDSTRUCT record;
  std::memset(&record, 0, sizeof record);
  void* self = const_cast<TDynaZip*>(static_cast<const TDynaZip*>(&zip));
  record.zipStructSize = sizeof(ZIPCMDSTRUCT);
  record.function = action;
  record.lpMajorStatus = &TDynaZip::MajorStatusAdapter;
  record.lpMajorUserData = self;
  record.lpMinorStatus = &TDynaZip::MinorStatusAdapter;
  record.lpMinorUserData = self;
  record.compFactor = compFactor;
  record.lpMessageDisplay = &TDynaZip::MessageAdapter;
  record.lpMessageDisplayUserData = self;
  record.lpMemBlock = const_cast<MEMTOMEMBLOCK*>(&zip.MemToMemBlock());
  record.lpRenameProc = &TDynaZip::RenameAdapter;
  record.lpRenameUserData = self;
  return record;
}

// Byte offsets where two records differ: empty when they are identical.
std::vector<std::size_t> Differences(const ZIPCMDSTRUCT& a, const ZIPCMDSTRUCT& b) {
  std::vector<std::size_t> offsets;
  const auto* x = reinterpret_cast<const unsigned char*>(&a);
  const auto* y = reinterpret_cast<const unsigned char*>(&b);
  for (std::size_t i = 0; i < sizeof(ZIPCMDSTRUCT); ++i)
    if (x[i] != y[i]) offsets.push_back(i);
  return offsets;
}

class ZipFileTest : public ::testing::Test {
 protected:
  // The test holds the recording engine loaded for the whole run, so its state
  // outlives each component.
  static RecordingEngine& Engine() {
    static platform::DynamicLibrary library;
    if (!library.IsLoaded()) {
      UseEngineIn(VL_RECORDING_ENGINE_DIR);
      library = platform::DynamicLibrary::Load("DZIP32.DLL");
    }
    auto access = reinterpret_cast<RecordingEngineAccess>(library.Symbol("recording_engine"));
    if (access == nullptr) throw Exception("recording engine not found in " VL_RECORDING_ENGINE_DIR);
    return *access();
  }

  void SetUp() override {
    engine_ = &Engine();
    engine_->Reset();
    UseEngineIn(VL_RECORDING_ENGINE_DIR);
    zip_ = std::make_unique<TZipFile>();
  }
  void TearDown() override {
    zip_.reset();
    engine_->Reset();
  }

  const RecordedCall& LastCall() const {
    if (engine_->calls.empty()) throw Exception("the engine was not called");
    return engine_->calls.back();
  }

  RecordingEngine* engine_ = nullptr;
  std::unique_ptr<TZipFile> zip_;
};

TEST_F(ZipFileTest, StartsWithItsDefaults) {
  EXPECT_EQ(zip_->CompFactor, 5);
  EXPECT_EQ(zip_->ResultCode(), 0);
  EXPECT_TRUE(zip_->Options.Empty());
  EXPECT_TRUE(zip_->ZipFormats.Empty());
  EXPECT_TRUE(zip_->wMultiVolControl.Empty());
  EXPECT_TRUE(zip_->wZipSubOptions.Empty());
  EXPECT_EQ(zip_->PassValue1 | zip_->PassValue2 | zip_->PassValue3, 0);
  EXPECT_FALSE(zip_->OnMajorCallback || zip_->OnMinorCallback || zip_->OnMessageCallback || zip_->OnRenameCallback ||
               zip_->OnMemToMem);
  for (std::size_t i = 0; i < TextPropertyCount; ++i) {
    const TLPStr* text = zip_->Text(static_cast<TextProperty>(i));
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->TextPtr(), nullptr);
    EXPECT_FALSE(text->FixedCapacity());
  }
  EXPECT_TRUE(engine_->calls.empty());
}

TEST_F(ZipFileTest, ResultIsTrueExactlyWhenTheEngineReturnsZero) {
  struct Case {
    std::int32_t engineResult;
    bool expected;
  };
  for (const Case c : {Case{0, true}, Case{3, false}, Case{-1, false}, Case{0, true}}) {
    SCOPED_TRACE(c.engineResult);
    engine_->result = c.engineResult;
    EXPECT_EQ(zip_->RunAction(DZ_ACTION_ADD), c.expected);
    EXPECT_EQ(zip_->ResultCode(), c.engineResult);
  }
  EXPECT_EQ(engine_->calls.size(), 4u);
}

TEST_F(ZipFileTest, ResultDetailIsTheEnginesReasonAfterAFailureOnly) {
  const std::string reason = "cannot write /b/.vl.zip.1.dztmp: No space left on device";
  engine_->lastError = reason;
  engine_->result = DZ_ERR_WRITE;
  EXPECT_FALSE(zip_->RunAction(DZ_ACTION_ADD));
  EXPECT_EQ(zip_->ResultDetail(), reason);

  engine_->result = 0;  // a success has no reason, whatever the engine still holds
  EXPECT_TRUE(zip_->RunAction(DZ_ACTION_ADD));
  EXPECT_EQ(zip_->ResultDetail(), "");
}

TEST_F(ZipFileTest, ActionZeroCallsNothingAndChangesNothing) {
  zip_->lpszZipFile()->SetText("first.zip");
  engine_->result = 3;
  zip_->RunAction(DZ_ACTION_ADD);
  const ZIPCMDSTRUCT before = zip_->ZipCommand();

  zip_->lpszZipFile()->SetText("second.zip");
  zip_->Options = {RecurseFlag};
  zip_->CompFactor = 9;
  engine_->result = 0;
  EXPECT_FALSE(zip_->RunAction(0));
  EXPECT_EQ(engine_->calls.size(), 1u);
  EXPECT_EQ(zip_->ResultCode(), 3);
  EXPECT_EQ(Differences(zip_->ZipCommand(), before), std::vector<std::size_t>{});
}

TEST_F(ZipFileTest, ActionCodeIsPassedOnUnchanged) {
  for (std::int32_t action : {4, 1, -7}) {
    zip_->RunAction(action);
    EXPECT_EQ(LastCall().command.function, action);
  }
}

TEST_F(ZipFileTest, EveryCallSendsSizesAndItsOwnBlock) {
  for (int call = 0; call < 2; ++call) {
    zip_->RunAction(DZ_ACTION_ADD);
    const RecordedCall& recorded = LastCall();
    EXPECT_EQ(recorded.commandAddress, &zip_->ZipCommand());
    EXPECT_EQ(recorded.command.zipStructSize, static_cast<std::int32_t>(sizeof(ZIPCMDSTRUCT)));
    EXPECT_EQ(recorded.command.lpMemBlock, &zip_->MemToMemBlock());
    ASSERT_TRUE(recorded.hasBlock);
    EXPECT_EQ(recorded.block.blockSize, static_cast<std::int32_t>(sizeof(MEMTOMEMBLOCK)));
    EXPECT_EQ(recorded.block.lpMemToMemProc, &TDynaZip::MemToMemAdapter);
    EXPECT_EQ(recorded.block.lpMemToMemUserData, static_cast<TDynaZip*>(zip_.get()));
    for (std::uint8_t b : recorded.block.reserved) EXPECT_EQ(b, 0);
  }
}

struct BooleanCase {
  const char* name;
  TZipFlags options;
  TZipFormats formats;
  std::uint32_t setBits;  // the member's bit in its set: its ordinal
  DZ_BOOL ZIPCMDSTRUCT::*field;
};

const BooleanCase BooleanCases[] = {
    {"RecurseFlag", {RecurseFlag}, {}, 1u << 0, &ZIPCMDSTRUCT::recurseFlag},
    {"PathForTempFlag", {PathForTempFlag}, {}, 1u << 1, &ZIPCMDSTRUCT::pathForTempFlag},
    {"FixFlag", {FixFlag}, {}, 1u << 2, &ZIPCMDSTRUCT::fixFlag},
    {"FixHarderFlag", {FixHarderFlag}, {}, 1u << 3, &ZIPCMDSTRUCT::fixHarderFlag},
    {"IncludeVolumeFlag", {IncludeVolumeFlag}, {}, 1u << 4, &ZIPCMDSTRUCT::includeVolumeFlag},
    {"DeleteOriginalFlag", {DeleteOriginalFlag}, {}, 1u << 5, &ZIPCMDSTRUCT::deleteOriginalFlag},
    {"GrowExistingFlag", {GrowExistingFlag}, {}, 1u << 6, &ZIPCMDSTRUCT::growExistingFlag},
    {"NoDirectoryNamesFlag", {NoDirectoryNamesFlag}, {}, 1u << 7, &ZIPCMDSTRUCT::noDirectoryNamesFlag},
    {"AddCommentFlag", {AddCommentFlag}, {}, 1u << 8, &ZIPCMDSTRUCT::addCommentFlag},
    {"AfterDateFlag", {AfterDateFlag}, {}, 1u << 9, &ZIPCMDSTRUCT::afterDateFlag},
    {"OldAsLatestFlag", {OldAsLatestFlag}, {}, 1u << 10, &ZIPCMDSTRUCT::oldAsLatestFlag},
    {"IncludeOnlyFollowingFlag", {IncludeOnlyFollowingFlag}, {}, 1u << 11, &ZIPCMDSTRUCT::includeOnlyFollowingFlag},
    {"ExcludeFollowingFlag", {ExcludeFollowingFlag}, {}, 1u << 12, &ZIPCMDSTRUCT::excludeFollowingFlag},
    {"NoDirectoryEntriesFlag", {NoDirectoryEntriesFlag}, {}, 1u << 13, &ZIPCMDSTRUCT::noDirectoryEntriesFlag},
    {"IncludeSysHiddenFlag", {IncludeSysHiddenFlag}, {}, 1u << 14, &ZIPCMDSTRUCT::includeSysHiddenFlag},
    {"bDiagnostic", {bDiagnostic}, {}, 1u << 15, &ZIPCMDSTRUCT::bDiagnostic},
    {"LargeZIPFilesFlag", {LargeZIPFilesFlag}, {}, 0x10000, &ZIPCMDSTRUCT::largeZIPFilesFlag},
    {"DosifyFlag", {}, {DosifyFlag}, 1u << 0, &ZIPCMDSTRUCT::dosifyFlag},
    {"EncryptFlag", {}, {EncryptFlag}, 1u << 1, &ZIPCMDSTRUCT::encryptFlag},
    {"DontCompressTheseSuffixesFlag",
     {},
     {DontCompressTheseSuffixesFlag},
     1u << 2,
     &ZIPCMDSTRUCT::dontCompressTheseSuffixesFlag},
    {"ConvertLFtoCRLFFlag", {}, {ConvertLFtoCRLFFlag}, 1u << 3, &ZIPCMDSTRUCT::convertLFtoCRLFFlag},
    {"QuietFlag", {}, {QuietFlag}, 1u << 4, &ZIPCMDSTRUCT::quietFlag},
};

TEST_F(ZipFileTest, EachOptionAloneSetsOnlyItsBooleanToAllBits) {
  for (const BooleanCase& c : BooleanCases) {
    SCOPED_TRACE(c.name);
    zip_->Options = c.options;
    zip_->ZipFormats = c.formats;
    EXPECT_EQ(c.options.ToBits() | c.formats.ToBits(), c.setBits);
    zip_->RunAction(DZ_ACTION_ADD);
    const ZIPCMDSTRUCT& sent = LastCall().command;
    for (const BooleanCase& other : BooleanCases) {
      const auto value = static_cast<std::uint32_t>(sent.*other.field);
      EXPECT_EQ(value, other.field == c.field ? 0xFFFFFFFFu : 0u) << "field " << other.name;
    }
    // Nothing else of the record moves for a flag.
    ZIPCMDSTRUCT rest = sent;
    rest.*c.field = 0;
    EXPECT_EQ(Differences(rest, FixedPart(*zip_, DZ_ACTION_ADD, 5)), std::vector<std::size_t>{});
  }
}

TEST_F(ZipFileTest, SubOptionsMapToTheirWordBits) {
  struct Case {
    const char* name;
    TZipSubOptions set;
    std::uint16_t word;
  };
  const Case cases[] = {
      {"empty", {}, 0x0000},
      {"ZSO_RELATIVEPATH", {ZSO_RELATIVEPATH}, 0x0001},
      {"ZSO_LOGZIPRESULTS", {ZSO_LOGZIPRESULTS}, 0x0100},
      {"ZSO_RESET_ARCHIVED", {ZSO_RESET_ARCHIVED}, 0x0400},
      {"ZSO_INHIBIT_PUMP", {ZSO_INHIBIT_PUMP}, 0x4000},
      {"ZSO_ANSI_NAMES", {ZSO_ANSI_NAMES}, 0x0800},
      {"the window's two", {ZSO_MINORCANCEL, ZSO_EXTPROGCANCEL}, 0x000A},
      {"all",
       {ZSO_RELATIVEPATH, ZSO_MINORCANCEL, ZSO_EXTERNALPROG, ZSO_EXTPROGCANCEL, ZSO_IGNORELONGNAMES,
        ZSO_MANGLELONGNAMES, ZSO_SKIPLOCKEDFILES, ZSO_FORCEREMOVEABLE, ZSO_LOGZIPRESULTS, ZSO_JUST_ARCHIVED,
        ZSO_RESET_ARCHIVED, ZSO_INHIBIT_PUMP, ZSO_ANSI_NAMES},
       0x4FFF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zip_->wZipSubOptions = c.set;
    zip_->RunAction(DZ_ACTION_ADD);
    EXPECT_EQ(LastCall().command.wZipSubOptions, c.word);
    EXPECT_EQ(LastCall().command.wMultiVolControl, 0);
  }
}

TEST_F(ZipFileTest, MultiVolumeFlagsMapToTheirWordBits) {
  struct Case {
    const char* name;
    TMultiVolFlags set;
    std::uint16_t word;
  };
  const Case cases[] = {
      {"empty", {}, 0x0000},
      {"MV_USEMULTI", {MV_USEMULTI}, 0x8000},
      {"MV_FORMAT", {MV_FORMAT}, 0x0001},
      {"MV_LOWDENSE", {MV_LOWDENSE}, 0x0002},
      {"MV_WIPE", {MV_WIPE}, 0x0100},
      {"MV_SUBDIR", {MV_SUBDIR}, 0x0200},
      {"MV_SYSHIDE", {MV_SYSHIDE}, 0x0400},
      {"MV_CDFIRST", {MV_CDFIRST}, 0x1000},
      {"MV_TOHD", {MV_TOHD}, 0x4000},
      {"all eight", {MV_USEMULTI, MV_FORMAT, MV_LOWDENSE, MV_WIPE, MV_SUBDIR, MV_SYSHIDE, MV_CDFIRST, MV_TOHD}, 0xD703},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zip_->wMultiVolControl = c.set;
    zip_->RunAction(DZ_ACTION_ADD);
    EXPECT_EQ(LastCall().command.wMultiVolControl, c.word);
    EXPECT_EQ(LastCall().command.wZipSubOptions, 0);
  }
}

struct TextCase {
  TextProperty property;
  char* ZIPCMDSTRUCT::*field;
};
const TextCase TextCases[] = {
    {TextProperty::lpszZipFile, &ZIPCMDSTRUCT::lpszZIPFile},
    {TextProperty::lpszItemList, &ZIPCMDSTRUCT::lpszItemList},
    {TextProperty::lpszEncryptCode, &ZIPCMDSTRUCT::lpszEncryptCode},
    {TextProperty::lpszExtProgTitle, &ZIPCMDSTRUCT::lpszExtProgTitle},
    {TextProperty::lpszTempPath, &ZIPCMDSTRUCT::lpszTempPath},
    {TextProperty::lpszComment, &ZIPCMDSTRUCT::lpszComment},
    {TextProperty::lpszDate, &ZIPCMDSTRUCT::lpszDate},
    {TextProperty::lpszIncludeFollowing, &ZIPCMDSTRUCT::lpszIncludeFollowing},
    {TextProperty::lpszExcludeFollowing, &ZIPCMDSTRUCT::lpszExcludeFollowing},
    {TextProperty::lpszStoreSuffixes, &ZIPCMDSTRUCT::lpszStoreSuffixes},
};

TEST_F(ZipFileTest, TextsNeverSetAreNullAndEmptyTextsAreNot) {
  zip_->RunAction(DZ_ACTION_ADD);
  for (const TextCase& c : TextCases) EXPECT_EQ(LastCall().command.*c.field, nullptr);

  for (const TextCase& c : TextCases) zip_->Text(c.property)->SetText("");
  zip_->RunAction(DZ_ACTION_ADD);
  for (const TextCase& c : TextCases) {
    ASSERT_NE(LastCall().command.*c.field, nullptr);
    EXPECT_EQ(LastCall().Text(c.field), "");
  }
}

TEST_F(ZipFileTest, EachTextGoesToItsOwnField) {
  for (const TextCase& c : TextCases) {
    const std::string value = "text " + std::to_string(static_cast<int>(c.property));
    zip_->Text(c.property)->SetText(value.c_str());
  }
  EXPECT_EQ(zip_->lpszZipFile(), zip_->Text(TextProperty::lpszZipFile));
  EXPECT_EQ(zip_->lpszStoreSuffixes(), zip_->Text(TextProperty::lpszStoreSuffixes));
  zip_->RunAction(DZ_ACTION_ADD);
  for (const TextCase& c : TextCases) {
    EXPECT_EQ(LastCall().command.*c.field, zip_->Text(c.property)->TextPtr());
    EXPECT_EQ(LastCall().Text(c.field), "text " + std::to_string(static_cast<int>(c.property)));
  }
}

TEST_F(ZipFileTest, EachCallSendsAFreshRecord) {
  zip_->CompFactor = 9;
  zip_->Options = TZipFlags::FromBits(0x1FFFF);
  zip_->ZipFormats = TZipFormats::FromBits(0x1F);
  zip_->wMultiVolControl = TMultiVolFlags::FromBits(0xFF);
  zip_->wZipSubOptions = TZipSubOptions::FromBits(0x1FFF);
  zip_->PassValue1 = 11;
  zip_->PassValue2 = 22;
  zip_->PassValue3 = 33;
  for (const TextCase& c : TextCases) zip_->Text(c.property)->SetText("x");
  // An engine may leave marks in the record it was handed, the unused parts included.
  engine_->during = [](ZIPCMDSTRUCT& command) {
    command.reserved164 = 77;
    command.reserved196[23] = 1;
    command.lpMemBlock->reserved[0] = 1;
  };
  zip_->RunAction(DZ_ACTION_ADD);
  engine_->during = nullptr;
  const ZIPCMDSTRUCT& first = LastCall().command;
  EXPECT_EQ(first.compFactor, 9);
  EXPECT_EQ(first.passValue1, 11);
  EXPECT_EQ(first.passValue2, 22);
  EXPECT_EQ(first.passValue3, 33);
  EXPECT_EQ(first.wMultiVolControl, 0xD703);
  EXPECT_EQ(first.wZipSubOptions, 0x4FFF);

  zip_->CompFactor = 5;
  zip_->Options = {};
  zip_->ZipFormats = {};
  zip_->wMultiVolControl = {};
  zip_->wZipSubOptions = {};
  zip_->PassValue1 = zip_->PassValue2 = zip_->PassValue3 = 0;
  for (const TextCase& c : TextCases) zip_->Text(c.property)->SetText(nullptr);
  zip_->RunAction(1);
  EXPECT_EQ(Differences(LastCall().command, FixedPart(*zip_, 1, 5)), std::vector<std::size_t>{});
  for (std::uint8_t b : LastCall().block.reserved) EXPECT_EQ(b, 0);
}

TEST_F(ZipFileTest, TheBackupJobsRequestExactly) {
  // The main window's instance.
  zip_->CompFactor = 7;
  zip_->wZipSubOptions = {ZSO_MINORCANCEL, ZSO_EXTPROGCANCEL};
  zip_->lpszZipFile()->SetText("a:\\vl.zip");
  zip_->Options = {NoDirectoryNamesFlag, bDiagnostic};
  // What the backup job adds.
  zip_->lpszItemList()->SetText("\"/srv/backup/VL.BAK\"");
  zip_->lpszZipFile()->SetText("/srv/backup/vl.zip");
  zip_->Options += LargeZIPFilesFlag;
  EXPECT_EQ(zip_->Options.ToBits(), 0x18080u);

  EXPECT_TRUE(zip_->RunAction(DZ_ACTION_ADD));

  ZIPCMDSTRUCT expected = FixedPart(*zip_, DZ_ACTION_ADD, 7);
  expected.lpszZIPFile = zip_->lpszZipFile()->TextPtr();
  expected.lpszItemList = zip_->lpszItemList()->TextPtr();
  expected.noDirectoryNamesFlag = DZ_TRUE;
  expected.bDiagnostic = DZ_TRUE;
  expected.largeZIPFilesFlag = DZ_TRUE;
  expected.wZipSubOptions = 0x000A;
  const RecordedCall& sent = LastCall();
  EXPECT_EQ(Differences(sent.command, expected), std::vector<std::size_t>{});
  EXPECT_EQ(sent.Text(&ZIPCMDSTRUCT::lpszZIPFile), "/srv/backup/vl.zip");
  EXPECT_EQ(sent.Text(&ZIPCMDSTRUCT::lpszItemList), "\"/srv/backup/VL.BAK\"");
  EXPECT_EQ(sent.block.blockSize, static_cast<std::int32_t>(sizeof(MEMTOMEMBLOCK)));
}

TEST_F(ZipFileTest, AssigningATextPropertyIsRefusedForAllTen) {
  RecordingUi ui;
  TLPStr other;
  other.SetText("other");
  for (const TextCase& c : TextCases) {
    TLPStr* before = zip_->Text(c.property);
    before->SetText("old");
    zip_->SetLPStr(c.property, &other);
    EXPECT_EQ(zip_->Text(c.property), before);
    EXPECT_STREQ(zip_->Text(c.property)->TextPtr(), "old");
  }
  ASSERT_EQ(ui.boxes.size(), TextPropertyCount);
  for (const auto& box : ui.boxes) {
    EXPECT_EQ(box.kind, platform::MessageKind::Information);
    EXPECT_EQ(box.caption, "Information");
    EXPECT_EQ(box.text, "Cannot Directly assign a value to type LPSTR.  Use SetText");
  }
  zip_->lpszZipFile()->SetText("/srv/backup/new.zip");
  zip_->RunAction(DZ_ACTION_ADD);
  EXPECT_EQ(LastCall().Text(&ZIPCMDSTRUCT::lpszZIPFile), "/srv/backup/new.zip");
}

// What the adapters answered when the engine called them through the record.
struct AdapterAnswers {
  std::uint32_t major = 0x5555;
  std::uint32_t minor = 0x5555;
  std::int32_t message = 0x5555;
  std::int32_t rename = 0x5555;
  std::int32_t memToMem = 1234;  // left as it is without a handler
};

void CallEveryAdapter(ZIPCMDSTRUCT& command, AdapterAnswers& answers, DZRENAME* rename, std::uint8_t* buffer,
                      std::int32_t* size) {
  answers.major = command.lpMajorStatus("VL.BAK", 40, command.lpMajorUserData);
  answers.minor = command.lpMinorStatus("VL.BAK", 60, command.lpMinorUserData);
  answers.message =
      command.lpMessageDisplay(0x00010001, 0x00020030, -5, 6, "one", "two", command.lpMessageDisplayUserData);
  answers.rename = command.lpRenameProc(rename, command.lpRenameUserData);
  MEMTOMEMBLOCK& block = *command.lpMemBlock;
  block.lpMemToMemProc(2, buffer, size, 10, 11, 12, 13, block.lpMemToMemUserData, &answers.memToMem);
}

TEST_F(ZipFileTest, AdaptersWithoutHandlersNeverCancelAndAnswerZero) {
  AdapterAnswers answers;
  std::uint8_t buffer[4] = {};
  std::int32_t size = 4;
  engine_->during = [&](ZIPCMDSTRUCT& command) {
    CallEveryAdapter(command, answers, reinterpret_cast<DZRENAME*>(buffer), buffer, &size);
  };
  zip_->RunAction(DZ_ACTION_ADD);
  EXPECT_EQ(answers.major, 0u);
  EXPECT_EQ(answers.minor, 0u);
  EXPECT_EQ(answers.message, 0);
  EXPECT_EQ(answers.rename, 0);
  EXPECT_EQ(answers.memToMem, 1234);
}

TEST_F(ZipFileTest, AdaptersForwardToTheirHandlers) {
  std::vector<std::string> seen;
  zip_->OnMajorCallback = [&](const char* item, std::int32_t percent, bool& doCancel) {
    seen.push_back("major " + std::string(item) + " " + std::to_string(percent));
    doCancel = true;
  };
  zip_->OnMinorCallback = [&](const char* item, std::int32_t percent, bool& doCancel) {
    seen.push_back("minor " + std::string(item) + " " + std::to_string(percent) + (doCancel ? " set" : " clear"));
  };
  zip_->OnMessageCallback = [&](std::uint16_t id, std::uint16_t type, std::int32_t p1, std::int32_t p2, const char* t1,
                                const char* t2, std::int32_t& result) {
    seen.push_back("message " + std::to_string(id) + " " + std::to_string(type) + " " + std::to_string(p1) + " " +
                   std::to_string(p2) + " " + t1 + " " + t2 + " " + std::to_string(result));
    result = 7;
  };
  DZRENAME* renameSeen = nullptr;
  zip_->OnRenameCallback = [&](PDZRename dzr) { renameSeen = dzr; };
  zip_->OnMemToMem = [&](std::int32_t action, std::uint8_t* buf, std::int32_t* size, std::int32_t rl, std::int32_t rh,
                         std::int32_t wl, std::int32_t wh, std::int32_t* ret) {
    seen.push_back("memtomem " + std::to_string(action) + " " + std::to_string(buf[0]) + " " + std::to_string(*size) +
                   " " + std::to_string(rl) + " " + std::to_string(rh) + " " + std::to_string(wl) + " " +
                   std::to_string(wh));
    *ret = 55;
  };

  AdapterAnswers answers;
  std::uint8_t buffer[4] = {9, 0, 0, 0};
  std::int32_t size = 4;
  DZRENAME* rename = reinterpret_cast<DZRENAME*>(&size);
  engine_->during = [&](ZIPCMDSTRUCT& command) { CallEveryAdapter(command, answers, rename, buffer, &size); };
  zip_->RunAction(DZ_ACTION_ADD);

  EXPECT_EQ(answers.major, 0xFFFFFFFFu);
  EXPECT_EQ(answers.minor, 0u);
  EXPECT_EQ(answers.message, 7);
  EXPECT_EQ(answers.rename, 0);
  EXPECT_EQ(renameSeen, rename);
  EXPECT_EQ(answers.memToMem, 55);
  const std::vector<std::string> expected = {
      "major VL.BAK 40",
      "minor VL.BAK 60 clear",
      "message 1 48 -5 6 one two 0",
      "memtomem 2 9 4 10 11 12 13",
  };
  EXPECT_EQ(seen, expected);
}

TEST_F(ZipFileTest, TheMinorHandlerCancelsOnlyTheMinorAdapter) {
  zip_->OnMinorCallback = [](const char*, std::int32_t, bool& doCancel) { doCancel = true; };
  AdapterAnswers answers;
  std::uint8_t buffer[4] = {};
  std::int32_t size = 4;
  engine_->during = [&](ZIPCMDSTRUCT& command) { CallEveryAdapter(command, answers, nullptr, buffer, &size); };
  zip_->RunAction(DZ_ACTION_ADD);
  EXPECT_EQ(answers.major, 0u);
  EXPECT_EQ(answers.minor, 0xFFFFFFFFu);
}

TEST_F(ZipFileTest, AnErrorInAHandlerPropagatesAndKeepsTheResultCode) {
  engine_->result = 3;
  zip_->RunAction(DZ_ACTION_ADD);
  zip_->OnMajorCallback = [](const char*, std::int32_t, bool&) { throw Exception("stopped by handler"); };
  engine_->result = 0;
  engine_->during = [](ZIPCMDSTRUCT& command) { command.lpMajorStatus("x", 1, command.lpMajorUserData); };
  try {
    zip_->RunAction(DZ_ACTION_ADD);
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "stopped by handler");
  }
  EXPECT_EQ(zip_->ResultCode(), 3);
}

// Whether a library from the folder is mapped into this process.
bool IsMapped(const std::string& folder) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line))
    if (line.find(folder + "/libdzip32.so") != std::string::npos) return true;
  return false;
}

class ZipFileLoadingDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(ZipFileLoadingDeathTest, MissingEngineEndsTheProgramWithAWarning) {
  test::TempDir empty;
  EXPECT_EXIT(
      {
        UseEngineIn(empty.str());
        TZipFile zip;
      },
      ::testing::ExitedWithCode(1),
      "^vlbackup: Warning: Could not load DZIP32\\.DLL! libdzip32\\.so was not found in /.*\n$");
}

TEST_F(ZipFileLoadingDeathTest, EngineWithoutEntryEndsTheProgramWithAWarning) {
  EXPECT_EXIT(
      {
        UseEngineIn(VL_ENGINE_WITHOUT_ENTRY_DIR);
        TZipFile zip;
      },
      ::testing::ExitedWithCode(1),
      "^vlbackup: Warning: Could not load dzip function! " VL_ENGINE_WITHOUT_ENTRY_DIR
      "/libdzip32\\.so has no entry \"dzip\"\\.\n$");
}

// An engine without dzip_last_error still runs; a failure then has no detail.
TEST_F(ZipFileLoadingDeathTest, AnOlderEngineWithoutTheReasonEntryGivesAnEmptyDetail) {
  EXPECT_EXIT(
      {
        UseEngineIn(VL_OLDER_RECORDING_ENGINE_DIR);
        TZipFile zip;
        auto library = platform::DynamicLibrary::Load("DZIP32.DLL");
        auto access = reinterpret_cast<RecordingEngineAccess>(library.Symbol("recording_engine"));
        if (access == nullptr || library.Symbol("dzip_last_error") != nullptr) std::exit(2);
        access()->result = DZ_ERR_WRITE;
        access()->lastError = "never read";
        bool ok = zip.RunAction(DZ_ACTION_ADD);
        std::exit(!ok && zip.ResultCode() == DZ_ERR_WRITE && zip.ResultDetail().empty() ? 0 : 3);
      },
      ::testing::ExitedWithCode(0), "");
}

// In a child of its own, where nothing else holds the engine: the component
// loads it and its destruction releases it.
TEST_F(ZipFileLoadingDeathTest, TheEngineLivesAsLongAsTheComponent) {
  EXPECT_EXIT(
      {
        UseEngineIn(VL_RECORDING_ENGINE_DIR);
        int status = 0;
        if (IsMapped(VL_RECORDING_ENGINE_DIR)) status |= 2;
        {
          TZipFile zip;
          if (!IsMapped(VL_RECORDING_ENGINE_DIR)) status |= 4;
        }
        if (IsMapped(VL_RECORDING_ENGINE_DIR)) status |= 8;
        std::exit(status);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vl
