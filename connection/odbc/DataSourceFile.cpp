#include "connection/odbc/DataSourceFile.h"

#include "platform/Error.h"
#include "platform/Files.h"

namespace vl::odbc {
namespace {

constexpr const char* FolderPrefix = "vlbackup-dsn-";

std::string MakePrivateFolder() {
  try {
    return platform::MakePrivateTemporaryFolder(FolderPrefix);
  } catch (const Exception& e) {
    throw Exception("Cannot create a folder for the driver's data source: " + e.Message() + ".");
  }
}

void WriteSection(const std::string& path, const std::string& section, const std::vector<DataSourceEntry>& entries) {
  std::string text = "[" + section + "]\n";
  for (const auto& [key, value] : entries) text += key + " = " + value + "\n";
  try {
    platform::ReplaceFileText(path, 0600, text);
  } catch (const Exception& e) {
    throw Exception("Cannot write the driver's data source " + path + ": " + e.Message() + ".");
  }
}

}  // namespace

TemporaryDataSource::TemporaryDataSource(const DataSourceEntries& entries) : folder_(MakePrivateFolder()) {
  // The folder's random part keeps the name apart from any configured data source.
  name_ = "vlbackup-" + folder_.substr(folder_.size() - 6);
  try {
    std::vector<DataSourceEntry> odbc = entries.odbc;
    if (!entries.freetds.empty()) {
      const std::string conf = folder_ + "/freetds.conf";
      WriteSection(conf, name_, entries.freetds);
      odbc.push_back({"Servername", name_});
      freeTdsConf_.emplace("FREETDSCONF", conf);
    }
    const std::string ini = folder_ + "/odbc.ini";
    WriteSection(ini, name_, odbc);
    odbcIni_.emplace("ODBCINI", ini);
  } catch (...) {
    platform::RemoveFolderTree(folder_);
    throw;
  }
}

TemporaryDataSource::~TemporaryDataSource() {
  odbcIni_.reset();
  freeTdsConf_.reset();
  platform::RemoveFolderTree(folder_);
}

}  // namespace vl::odbc
