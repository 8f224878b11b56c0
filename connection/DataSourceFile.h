#pragma once
// A data source of the driver manager that lives for one connect. Credentials
// and the database then travel as arguments and attributes of their own, and no
// value of the settings is ever parsed as connection-string syntax by unixODBC
// or the driver. Internal to the database client.
#include <string>
#include <utility>
#include <vector>

namespace vl::odbc {

struct DataSourceEntry {
  std::string key;
  std::string value;
};

// Writes the entries as the only section of an odbc.ini in a fresh private
// folder and points ODBCINI at it; the destructor restores ODBCINI and removes
// both. Raises Exception when the file cannot be written.
class TemporaryDataSource {
 public:
  explicit TemporaryDataSource(const std::vector<DataSourceEntry>& entries);
  ~TemporaryDataSource();
  TemporaryDataSource(const TemporaryDataSource&) = delete;
  TemporaryDataSource& operator=(const TemporaryDataSource&) = delete;

  const std::string& name() const { return name_; }

 private:
  std::string folder_;
  std::string file_;
  std::string name_;
  bool hadOdbcIni_ = false;
  std::string oldOdbcIni_;
};

}  // namespace vl::odbc
