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

std::string MakePrivateFolder() {
  std::error_code ec;
  std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) base = "/tmp";
  // mkdtemp makes the folder 0700 under a fresh name, so nobody else can plant
  // or read anything in it.
  std::string pattern = (base / "vlbackup-dsn-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr)
    throw Exception("Cannot create a folder for the driver's data source: " + std::string(std::strerror(errno)) +
                    ".");
  return pattern;
}

}  // namespace

TemporaryDataSource::TemporaryDataSource(const std::vector<DataSourceEntry>& entries)
    : folder_(MakePrivateFolder()), file_(folder_ + "/odbc.ini") {
  // The folder's random part keeps the name apart from any configured data source.
  name_ = "vlbackup-" + folder_.substr(folder_.size() - 6);
  std::ofstream out(file_, std::ios::binary | std::ios::trunc);
  out << '[' << name_ << "]\n";
  for (const auto& [key, value] : entries) out << key << " = " << value << '\n';
  out.close();
  if (!out) {
    std::filesystem::remove_all(folder_);
    throw Exception("Cannot write the driver's data source in " + folder_ + ".");
  }
  if (const char* old = std::getenv("ODBCINI")) {
    hadOdbcIni_ = true;
    oldOdbcIni_ = old;
  }
  ::setenv("ODBCINI", file_.c_str(), 1);
}

TemporaryDataSource::~TemporaryDataSource() {
  if (hadOdbcIni_)
    ::setenv("ODBCINI", oldOdbcIni_.c_str(), 1);
  else
    ::unsetenv("ODBCINI");
  std::error_code ec;
  std::filesystem::remove_all(folder_, ec);
}

}  // namespace vl::odbc
