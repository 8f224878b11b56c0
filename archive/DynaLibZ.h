#pragma once
// The zip component: loads the zip engine, holds one zip request as properties,
// and turns them into the engine's command record for each action it runs.
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>

#include "archive/DynaZip.h"
#include "dzip.h"

namespace vl {

// A set of enumeration members held in the bits of Bits: member i is bit i.
template <typename Enum, typename Bits>
class TSmallSet {
 public:
  using Element = Enum;
  using Storage = Bits;

  constexpr TSmallSet() = default;
  constexpr TSmallSet(std::initializer_list<Enum> members) {
    for (Enum member : members) *this += member;
  }
  static constexpr TSmallSet FromBits(Bits bits) {
    TSmallSet set;
    set.bits_ = bits;
    return set;
  }

  constexpr Bits ToBits() const { return bits_; }
  constexpr bool Contains(Enum member) const { return (bits_ & Bit(member)) != 0; }
  constexpr bool Empty() const { return bits_ == 0; }

  constexpr TSmallSet& operator+=(Enum member) {
    bits_ = static_cast<Bits>(bits_ | Bit(member));
    return *this;
  }
  constexpr TSmallSet& operator-=(Enum member) {
    bits_ = static_cast<Bits>(bits_ & ~Bit(member));
    return *this;
  }
  constexpr TSmallSet& operator+=(TSmallSet other) {
    bits_ = static_cast<Bits>(bits_ | other.bits_);
    return *this;
  }
  constexpr TSmallSet& operator-=(TSmallSet other) {
    bits_ = static_cast<Bits>(bits_ & ~other.bits_);
    return *this;
  }
  friend constexpr TSmallSet operator+(TSmallSet set, Enum member) { return set += member; }
  friend constexpr TSmallSet operator-(TSmallSet set, Enum member) { return set -= member; }
  friend constexpr TSmallSet operator+(TSmallSet a, TSmallSet b) { return a += b; }
  friend constexpr TSmallSet operator-(TSmallSet a, TSmallSet b) { return a -= b; }
  friend constexpr bool operator==(TSmallSet, TSmallSet) = default;

 private:
  static constexpr Bits Bit(Enum member) { return static_cast<Bits>(Bits{1} << static_cast<unsigned>(member)); }
  Bits bits_ = 0;
};

// Ordinals are the bit numbers of the sets and index the mapping tables.
enum TZipFlag : std::uint8_t {
  RecurseFlag,
  PathForTempFlag,
  FixFlag,
  FixHarderFlag,
  IncludeVolumeFlag,
  DeleteOriginalFlag,
  GrowExistingFlag,
  NoDirectoryNamesFlag,
  AddCommentFlag,
  AfterDateFlag,
  OldAsLatestFlag,
  IncludeOnlyFollowingFlag,
  ExcludeFollowingFlag,
  NoDirectoryEntriesFlag,
  IncludeSysHiddenFlag,
  bDiagnostic,
  LargeZIPFilesFlag,
};
inline constexpr std::size_t ZipFlagCount = LargeZIPFilesFlag + 1;

enum TZipFormat : std::uint8_t {
  DosifyFlag,
  EncryptFlag,
  DontCompressTheseSuffixesFlag,
  ConvertLFtoCRLFFlag,
  QuietFlag,
};
inline constexpr std::size_t ZipFormatCount = QuietFlag + 1;

enum TMultiVolFlag : std::uint8_t {
  MV_USEMULTI,
  MV_FORMAT,
  MV_LOWDENSE,
  MV_WIPE,
  MV_SUBDIR,
  MV_SYSHIDE,
  MV_CDFIRST,
  MV_TOHD,
};
inline constexpr std::size_t MultiVolFlagCount = MV_TOHD + 1;

enum TZipSubOption : std::uint8_t {
  ZSO_RELATIVEPATH,
  ZSO_MINORCANCEL,
  ZSO_EXTERNALPROG,
  ZSO_EXTPROGCANCEL,
  ZSO_IGNORELONGNAMES,
  ZSO_MANGLELONGNAMES,
  ZSO_SKIPLOCKEDFILES,
  ZSO_FORCEREMOVEABLE,
  ZSO_LOGZIPRESULTS,
  ZSO_JUST_ARCHIVED,
  ZSO_RESET_ARCHIVED,
  ZSO_INHIBIT_PUMP,
  ZSO_ANSI_NAMES,
};
inline constexpr std::size_t ZipSubOptionCount = ZSO_ANSI_NAMES + 1;

using TZipFlags = TSmallSet<TZipFlag, std::uint32_t>;
using TZipFormats = TSmallSet<TZipFormat, std::uint8_t>;
using TMultiVolFlags = TSmallSet<TMultiVolFlag, std::uint8_t>;
using TZipSubOptions = TSmallSet<TZipSubOption, std::uint16_t>;

// Where each set member goes in the command record.
extern const std::array<DZ_BOOL ZIPCMDSTRUCT::*, ZipFlagCount> ZipFlagFields;
extern const std::array<DZ_BOOL ZIPCMDSTRUCT::*, ZipFormatCount> ZipFormatFields;
extern const std::array<std::uint16_t, MultiVolFlagCount> MultiVolBits;
extern const std::array<std::uint16_t, ZipSubOptionCount> ZipSubOptionBits;

// The ten text properties, in field order (also creation and destruction order).
enum class TextProperty : std::uint8_t {
  lpszZipFile,
  lpszItemList,
  lpszEncryptCode,
  lpszExtProgTitle,
  lpszTempPath,
  lpszComment,
  lpszDate,
  lpszIncludeFollowing,
  lpszExcludeFollowing,
  lpszStoreSuffixes,
};
inline constexpr std::size_t TextPropertyCount = 10;
extern const std::array<char * ZIPCMDSTRUCT::*, TextPropertyCount> TextPropertyFields;

// Shown when a text property itself is assigned.
inline constexpr const char* DirectAssignMessage = "Cannot Directly assign a value to type LPSTR.  Use SetText";

// One path as an entry of lpszItemList: quoted, with every double quote in it
// doubled, so the engine reads back exactly this path whatever it holds.
std::string QuotedZipItem(const std::string& path);

class TZipFile : public TDynaZip {
 public:
  // Loads the zip engine "DZIP32.DLL" (once per process). When it cannot be
  // loaded or has no "dzip" entry, shows a warning and ends the program with
  // exit code 1.
  TZipFile();
  // Frees the ten text holders in field order, then releases the engine.
  ~TZipFile();

  std::int32_t CompFactor = 5;
  TZipFlags Options;
  TZipFormats ZipFormats;
  TMultiVolFlags wMultiVolControl;
  TZipSubOptions wZipSubOptions;
  std::int32_t PassValue1 = 0;
  std::int32_t PassValue2 = 0;
  std::int32_t PassValue3 = 0;

  // The text properties: each yields its owned holder; set the text with SetText.
  TLPStr* lpszZipFile() const { return Text(TextProperty::lpszZipFile); }
  TLPStr* lpszItemList() const { return Text(TextProperty::lpszItemList); }
  TLPStr* lpszEncryptCode() const { return Text(TextProperty::lpszEncryptCode); }
  TLPStr* lpszExtProgTitle() const { return Text(TextProperty::lpszExtProgTitle); }
  TLPStr* lpszTempPath() const { return Text(TextProperty::lpszTempPath); }
  TLPStr* lpszComment() const { return Text(TextProperty::lpszComment); }
  TLPStr* lpszDate() const { return Text(TextProperty::lpszDate); }
  TLPStr* lpszIncludeFollowing() const { return Text(TextProperty::lpszIncludeFollowing); }
  TLPStr* lpszExcludeFollowing() const { return Text(TextProperty::lpszExcludeFollowing); }
  TLPStr* lpszStoreSuffixes() const { return Text(TextProperty::lpszStoreSuffixes); }
  TLPStr* Text(TextProperty property) const { return texts_[static_cast<std::size_t>(property)].get(); }

  // The setter of all ten text properties: always refused with an information
  // box (DirectAssignMessage); the property keeps its holder and text.
  void SetLPStr(TextProperty property, const TLPStr* value);

  // Runs one engine action on the current properties; true exactly when the
  // engine returned 0. Action 0 does nothing and returns false. Whatever a
  // handler or the engine raises propagates, ResultCode then unchanged.
  bool RunAction(std::int32_t action);
  // The engine's last return value; 0 before the first call.
  std::int32_t ResultCode() const { return resultCode_; }
  // Why the last call failed, in the engine's words ("... No space left on
  // device"); empty after a success, or when the engine cannot say (an older
  // engine without the dzip_last_error entry).
  std::string ResultDetail() const { return resultDetail_; }

  // The last request as handed to the engine.
  const ZIPCMDSTRUCT& ZipCommand() const { return zipCommand_; }
  const MEMTOMEMBLOCK& MemToMemBlock() const { return memToMemBlock_; }

 private:
  // Holds the process's engine for the component's life; first member, so
  // released last, after the text holders.
  struct EngineLease {
    EngineLease();
    ~EngineLease();
    EngineLease(const EngineLease&) = delete;
    EngineLease& operator=(const EngineLease&) = delete;
  };

  void PrepareCommand();

  EngineLease engine_;
  std::int32_t resultCode_ = 0;
  std::string resultDetail_;
  std::array<std::unique_ptr<TLPStr>, TextPropertyCount> texts_;
  ZIPCMDSTRUCT zipCommand_{};
  MEMTOMEMBLOCK memToMemBlock_{};
};

}  // namespace vl
