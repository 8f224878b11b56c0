#include "connection/DataSourceFile.h"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/Error.h"

namespace vl::odbc {
namespace {

constexpr const char* FolderPrefix = "vlbackup-dsn-";

std::string MakePrivateFolder() {
  std::error_code ec;
  std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) base = "/tmp";
  // mkdtemp makes the folder 0700 under a fresh name, so nobody else can plant
  // or read anything in it.
  std::string pattern = (base / (std::string(FolderPrefix) + "XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr)
    throw Exception("Cannot create a folder for the driver's data source: " + std::string(std::strerror(errno)) +
                    ".");
  return pattern;
}

void WriteSection(const std::string& path, const std::string& section, const std::vector<DataSourceEntry>& entries) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << '[' << section << "]\n";
  for (const auto& [key, value] : entries) out << key << " = " << value << '\n';
  out.close();
  if (!out) throw Exception("Cannot write the driver's data source " + path + ".");
}

}  // namespace

ScopedEnvironmentVariable::ScopedEnvironmentVariable(std::string name, const std::string& value)
    : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) old_ = old;
  ::setenv(name_.c_str(), value.c_str(), 1);
}

ScopedEnvironmentVariable::~ScopedEnvironmentVariable() {
  if (old_)
    ::setenv(name_.c_str(), old_->c_str(), 1);
  else
    ::unsetenv(name_.c_str());
}

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
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
    throw;
  }
}

TemporaryDataSource::~TemporaryDataSource() {
  odbcIni_.reset();
  freeTdsConf_.reset();
  std::error_code ec;
  std::filesystem::remove_all(folder_, ec);
}

}  // namespace vl::odbc
