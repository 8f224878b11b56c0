#include "ui/StoredSettings.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <sstream>

#include "archive/DynaLibZ.h"
#include "connection/odbc/Ado.h"
#include "platform/Error.h"
#include "platform/Text.h"

namespace vl {
namespace {
constexpr std::array<const char*, ZipFlagCount> ZipFlagNames = {
    "RecurseFlag",          "PathForTempFlag",        "FixFlag",
    "FixHarderFlag",        "IncludeVolumeFlag",      "DeleteOriginalFlag",
    "GrowExistingFlag",     "NoDirectoryNamesFlag",   "AddCommentFlag",
    "AfterDateFlag",        "OldAsLatestFlag",        "IncludeOnlyFollowingFlag",
    "ExcludeFollowingFlag", "NoDirectoryEntriesFlag", "IncludeSysHiddenFlag",
    "bDiagnostic",          "LargeZIPFilesFlag"};
constexpr std::array<const char*, ZipFormatCount> ZipFormatNames = {
    "DosifyFlag", "EncryptFlag", "DontCompressTheseSuffixesFlag", "ConvertLFtoCRLFFlag", "QuietFlag"};
constexpr std::array<const char*, MultiVolFlagCount> MultiVolFlagNames = {
    "MV_USEMULTI", "MV_FORMAT", "MV_LOWDENSE", "MV_WIPE", "MV_SUBDIR", "MV_SYSHIDE", "MV_CDFIRST", "MV_TOHD"};
constexpr std::array<const char*, ZipSubOptionCount> ZipSubOptionNames = {
    "ZSO_RELATIVEPATH",    "ZSO_MINORCANCEL",     "ZSO_EXTERNALPROG",    "ZSO_EXTPROGCANCEL", "ZSO_IGNORELONGNAMES",
    "ZSO_MANGLELONGNAMES", "ZSO_SKIPLOCKEDFILES", "ZSO_FORCEREMOVEABLE", "ZSO_LOGZIPRESULTS", "ZSO_JUST_ARCHIVED",
    "ZSO_RESET_ARCHIVED",  "ZSO_INHIBIT_PUMP",    "ZSO_ANSI_NAMES"};

std::string Trimmed(std::string_view text) { return std::string(Trim(text)); }

[[noreturn]] void Fail(const StoredSetting& setting, const std::string& why) {
  throw Exception("Stored setting " + setting.component + "." + setting.property + " (line " +
                  std::to_string(setting.line) + "): " + why);
}

std::int32_t IntegerValue(const StoredSetting& setting) {
  const auto number = ParseDecimal(setting.value, INT32_MIN, INT32_MAX);
  if (!number) Fail(setting, "not a whole number");
  return static_cast<std::int32_t>(*number);
}

bool BooleanValue(const StoredSetting& setting) {
  if (setting.value == "True") return true;
  if (setting.value == "False") return false;
  Fail(setting, "not True or False");
}

// "[A, B]" -> the set of the named members.
template <typename Set, std::size_t N>
Set SetValue(const StoredSetting& setting, const std::array<const char*, N>& names) {
  const std::string& value = setting.value;
  if (value.size() < 2 || value.front() != '[' || value.back() != ']') Fail(setting, "not a [set]");
  Set set;
  std::istringstream members(value.substr(1, value.size() - 2));
  for (std::string member; std::getline(members, member, ',');) {
    member = Trimmed(member);
    if (member.empty()) continue;
    auto found = std::find_if(names.begin(), names.end(), [&](const char* name) { return member == name; });
    if (found == names.end()) Fail(setting, "unknown member " + member);
    set += static_cast<typename Set::Element>(found - names.begin());
  }
  return set;
}

void ApplyToZipFile(const StoredSetting& setting, TZipFile& zip) {
  const std::string& p = setting.property;
  if (p == "CompFactor") {
    zip.CompFactor = IntegerValue(setting);
  } else if (p == "Options") {
    zip.Options = SetValue<TZipFlags>(setting, ZipFlagNames);
  } else if (p == "ZipFormats") {
    zip.ZipFormats = SetValue<TZipFormats>(setting, ZipFormatNames);
  } else if (p == "wMultiVolControl") {
    zip.wMultiVolControl = SetValue<TMultiVolFlags>(setting, MultiVolFlagNames);
  } else if (p == "wZipSubOptions") {
    zip.wZipSubOptions = SetValue<TZipSubOptions>(setting, ZipSubOptionNames);
  } else if (p == "lpszZipFile.PChar") {
    try {
      zip.lpszZipFile()->ReadPChar(ParseBinaryValue(setting.value));
    } catch (const Exception& error) {
      Fail(setting, error.what());
    }
  } else {
    Fail(setting, "no such property");
  }
}
}  // namespace

std::vector<StoredSetting> ParseStoredSettings(const std::string& text) {
  std::vector<StoredSetting> settings;
  std::istringstream lines(text);
  int number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    line = Trimmed(line);
    if (line.empty() || line.front() == '#') continue;
    const auto equals = line.find('=');
    const std::string name = Trimmed(line.substr(0, equals));
    const auto dot = name.find('.');
    if (equals == std::string::npos || dot == std::string::npos || dot == 0 || dot + 1 == name.size())
      throw Exception("Stored settings line " + std::to_string(number) + " is not Component.Property = value");
    settings.push_back({name.substr(0, dot), name.substr(dot + 1), Trimmed(line.substr(equals + 1)), number});
  }
  return settings;
}

void ApplyStoredSettings(const std::vector<StoredSetting>& settings, const StoredComponents& components) {
  for (const StoredSetting& setting : settings) {
    if (setting.component == "qryvl" && setting.property == "CommandTimeout")
      components.qryvl.CommandTimeout = IntegerValue(setting);
    else if (setting.component == "conVelloran" && setting.property == "LoginPrompt")
      components.conVelloran.LoginPrompt = BooleanValue(setting);
    else if (setting.component == "ZipFile")
      ApplyToZipFile(setting, components.ZipFile);
    else
      Fail(setting, "no such component or property");
  }
}

std::vector<std::uint8_t> ParseBinaryValue(const std::string& value) {
  if (value.size() < 2 || value.front() != '{' || value.back() != '}')
    throw Exception("Stored binary value is not in {braces}: " + value);
  std::string digits;
  for (char c : value.substr(1, value.size() - 2))
    if (!IsBlank(c)) digits += c;
  if (digits.size() % 2 != 0) throw Exception("Stored binary value has an odd number of digits: " + value);
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    std::uint8_t byte = 0;
    auto [rest, error] = std::from_chars(digits.data() + i, digits.data() + i + 2, byte, 16);
    if (error != std::errc() || rest != digits.data() + i + 2)
      throw Exception("Stored binary value has a character that is not hexadecimal: " + value);
    bytes.push_back(byte);
  }
  return bytes;
}

}  // namespace vl
