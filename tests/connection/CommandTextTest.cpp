// Named parameter markers to ODBC's "?".
#include <gtest/gtest.h>

#include "connection/odbc/OdbcCommandText.h"

namespace vl::odbc {
namespace {

TEST(CommandText, MarkersOutsideLiteralsBecomeQuestionMarks) {
  struct Case {
    const char* text;
    const char* sql;
    std::vector<std::string> params;
  } cases[] = {
      {"BACKUP DATABASE Velloran TO DISK = :path WITH INIT,SKIP",
       "BACKUP DATABASE Velloran TO DISK = ? WITH INIT,SKIP",
       {"path"}},
      {"UPDATE SystemData SET LastBackupUtilityDate=getdate()",
       "UPDATE SystemData SET LastBackupUtilityDate=getdate()",
       {}},
      {"SELECT ':path', \":path\", [a:path] FROM t WHERE x=:path",
       "SELECT ':path', \":path\", [a:path] FROM t WHERE x=?",
       {"path"}},
      {"SELECT 'it''s :path' + :p_1", "SELECT 'it''s :path' + ?", {"p_1"}},
      {"SELECT geometry::Point(1,2,0) -- :path\n, :path /* :path */",
       "SELECT geometry::Point(1,2,0) -- :path\n, ? /* :path */",
       {"path"}},
      {"SELECT '10:30', :1, :", "SELECT '10:30', :1, :", {}},
      {"SELECT 'unterminated :path", "SELECT 'unterminated :path", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const RewrittenCommand r = RewriteParameterMarkers(c.text);
    EXPECT_EQ(r.sql, c.sql);
    EXPECT_EQ(r.params, c.params);
  }
}

}  // namespace
}  // namespace vl::odbc
