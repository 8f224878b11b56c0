// Text conversion and how driver diagnostics become one error text.
#include <gtest/gtest.h>

#include "connection/odbc/OdbcHandle.h"
#include "connection/odbc/OdbcText.h"

namespace vl::odbc {
namespace {

TEST(TextConversion, Utf8RoundTripsThroughUtf16) {
  const std::string samples[] = {"", "C:\\Backup\\O'Brien", "/tmp/Ünïcødé/€/VL.BAK", "\xF0\x9F\x98\x80 emoji"};
  for (const auto& s : samples) EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(s)), s) << s;
  EXPECT_EQ(Utf8ToUtf16("\xF0\x9F\x98\x80"), std::u16string(u"\xD83D\xDE00"));
}

TEST(TextConversion, BytesThatAreNoUtf8AreReadAsWindows1252) {
  EXPECT_EQ(Utf8ToUtf16("M\xFCller \x80"), std::u16string(u"M\u00FCller \u20AC"));
  EXPECT_EQ(Utf8ToUtf16("\xC3"), std::u16string(u"\u00C3"));            // cut short
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), std::u16string(u"\u00C0\u00AF"));  // overlong
  EXPECT_EQ(Utf16ToUtf8(u"\xD800x"), "\xEF\xBF\xBDx");                  // lone surrogate
}

TEST(Diagnostics, ComponentPrefixesAreStripped) {
  EXPECT_EQ(StripComponentPrefixes("[FreeTDS][SQL Server]Login failed for user 'sa'."), "Login failed for user 'sa'.");
  EXPECT_EQ(StripComponentPrefixes("[unixODBC][Driver Manager]Data source name not found"),
            "Data source name not found");
  EXPECT_EQ(StripComponentPrefixes("[Microsoft][ODBC Driver 18 for SQL Server][SQL Server]Text\n"), "Text");
  EXPECT_EQ(StripComponentPrefixes("No prefix [kept]"), "No prefix [kept]");
}

TEST(Diagnostics, FailureTextKeepsErrorsOnceInOrderAndDropsInformation) {
  const std::vector<DiagRecord> backup = {
      {"01000", 4035, "[FreeTDS][SQL Server]Processed 10 pages."},
      {"42000", 3201,
       "[FreeTDS][SQL Server]Cannot open backup device 'x'. Operating system error 5(Access is denied.)."},
      {"42000", 3013, "[FreeTDS][SQL Server]BACKUP DATABASE is terminating abnormally."},
      {"42000", 3013, "[FreeTDS][SQL Server]BACKUP DATABASE is terminating abnormally."},
  };
  EXPECT_EQ(FailureText(backup, "Executing"),
            "Cannot open backup device 'x'. Operating system error 5(Access is denied.).\n"
            "BACKUP DATABASE is terminating abnormally.");
  EXPECT_EQ(FailureText({{"01000", 0, "[x]Only information"}}, "Executing"), "Only information");
  EXPECT_EQ(FailureText({}, "Executing the command"), "Executing the command failed.");
}

TEST(Diagnostics, LostConnectionIsSaidFirstWithTheDriversTextAndCodes) {
  struct Case {
    const char* name;
    std::vector<DiagRecord> records;
    std::string driverText, state;
    int native;
  };
  const Case cases[] = {
      {"LinkFailure", {{"08S01", 0, "[FreeTDS]Communication link failure"}}, "Communication link failure", "08S01", 0},
      {"EndOfStreamAsInformation",
       {{"01000", 20017, "[FreeTDS][SQL Server]Unexpected EOF from the server"}},
       "Unexpected EOF from the server",
       "01000",
       20017},
      {"BesideAServerError",
       {{"01000", 20004, "[FreeTDS]Read from the server failed"}, {"42000", 3013, "[SQL Server]BACKUP failed."}},
       "BACKUP failed.\nRead from the server failed",
       "01000",
       20004},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const EDatabaseError e = SessionFailureError(c.records, "Executing the command");
    EXPECT_EQ(e.Message(), std::string(LostConnectionText) + "\n" + c.driverText);
    EXPECT_EQ(e.SqlState, c.state);
    EXPECT_EQ(e.NativeError, c.native);
  }
  // Anything else is the plain failure.
  const EDatabaseError plain = SessionFailureError({{"42000", 208, "[SQL Server]Invalid object name 'x'."}}, "x");
  EXPECT_EQ(plain.Message(), "Invalid object name 'x'.");
  EXPECT_EQ(plain.SqlState, "42000");
}

TEST(Diagnostics, OnlyServerMessagesLetDrainingContinue) {
  EXPECT_TRUE(MoreResultsMayFollow({SQL_ERROR, {{"42000", 3201, "x"}}}));
  EXPECT_FALSE(MoreResultsMayFollow({SQL_ERROR, {}}));
  EXPECT_FALSE(MoreResultsMayFollow({SQL_ERROR, {{"HY010", 0, "sequence"}}}));
  EXPECT_FALSE(MoreResultsMayFollow({SQL_ERROR, {{"42000", 1, "x"}, {"08S01", 0, "link"}}}));
  EXPECT_FALSE(MoreResultsMayFollow({SQL_ERROR, {{"HYT00", 0, "Timeout expired"}}}));
}

}  // namespace
}  // namespace vl::odbc
