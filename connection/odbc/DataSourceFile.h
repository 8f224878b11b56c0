#pragma once
// A data source of the driver manager that lives for one connect. Credentials
// and the database then travel as arguments and attributes of their own, and no
// value of the settings is ever parsed as connection-string syntax by unixODBC
// or the driver. Internal to the database client.
#include <optional>
#include <string>
#include <vector>

#include "platform/System.h"

namespace vl::odbc {

struct DataSourceEntry {
  std::string key;
  std::string value;
};

struct DataSourceEntries {
  std::vector<DataSourceEntry> odbc;  // the data source's section of odbc.ini
  // When not empty, a section of a freetds.conf of its own (FreeTDS reads its
  // "ca file" nowhere else); the data source then names it with Servername.
  std::vector<DataSourceEntry> freetds;
};

// Writes the files in a fresh private folder and points ODBCINI (and
// FREETDSCONF) at them; the destructor restores both and removes the folder.
// Raises Exception when a file cannot be written.
class TemporaryDataSource {
 public:
  explicit TemporaryDataSource(const DataSourceEntries& entries);
  ~TemporaryDataSource();
  TemporaryDataSource(const TemporaryDataSource&) = delete;
  TemporaryDataSource& operator=(const TemporaryDataSource&) = delete;

  const std::string& name() const { return name_; }

 private:
  std::string folder_;
  std::string name_;
  std::optional<platform::ScopedEnvironmentVariable> odbcIni_;
  std::optional<platform::ScopedEnvironmentVariable> freeTdsConf_;
};

}  // namespace vl::odbc
