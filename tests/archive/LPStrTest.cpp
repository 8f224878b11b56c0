#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "archive/DynaZip.h"
#include "platform/Error.h"

namespace vl {
namespace {

std::string TextOf(const TLPStr& s) { return s.TextPtr() ? std::string(s.TextPtr()) : std::string("<null>"); }

TEST(LPStrTest, GrowableHoldsExactCopiesAndNullWhenCleared) {
  TLPStr s;
  EXPECT_EQ(s.TextPtr(), nullptr);
  EXPECT_FALSE(s.FixedCapacity());

  s.SetText(nullptr);
  EXPECT_EQ(s.TextPtr(), nullptr);

  const char source[] = "abc";
  s.SetText(source);
  EXPECT_EQ(TextOf(s), "abc");
  EXPECT_NE(s.TextPtr(), source);
  EXPECT_EQ(s.Capacity(), 4);

  s.SetText("");
  ASSERT_NE(s.TextPtr(), nullptr);
  EXPECT_EQ(TextOf(s), "");
  EXPECT_EQ(s.Capacity(), 1);

  s.Clear();
  EXPECT_EQ(s.TextPtr(), nullptr);
}

TEST(LPStrTest, FixedCutsLongTextsAndKeepsItsBuffer) {
  const char twenty[] = "abcdefghijklmnopqrst";
  TLPStr s(10);
  EXPECT_TRUE(s.FixedCapacity());
  EXPECT_EQ(s.Capacity(), 10);
  ASSERT_NE(s.TextPtr(), nullptr);
  EXPECT_EQ(TextOf(s), "");

  s.SetText(twenty);
  EXPECT_EQ(TextOf(s), "abcdefghi");
  char* buffer = s.TextPtr();

  s.Clear();
  EXPECT_EQ(s.TextPtr(), buffer);
  EXPECT_EQ(TextOf(s), "");

  s.SetText("xyz");
  s.SetText(nullptr);
  EXPECT_EQ(s.TextPtr(), buffer);
  EXPECT_EQ(TextOf(s), "");

  s.SetCapacity(0);
  EXPECT_FALSE(s.FixedCapacity());
  s.SetText(twenty);
  EXPECT_EQ(TextOf(s), twenty);
  EXPECT_EQ(s.Capacity(), 21);
}

TEST(LPStrTest, SetCapacityFixesAndCutsAHeldText) {
  TLPStr s;
  s.SetText("hello world");
  s.SetCapacity(6);
  EXPECT_TRUE(s.FixedCapacity());
  EXPECT_EQ(s.Capacity(), 6);
  EXPECT_EQ(TextOf(s), "hello");

  // The same capacity keeps the buffer as it is.
  char* buffer = s.TextPtr();
  s.SetCapacity(6);
  EXPECT_EQ(s.TextPtr(), buffer);

  s.SetCapacity(20);
  EXPECT_EQ(s.Capacity(), 20);
  EXPECT_EQ(TextOf(s), "hello");
}

// A growable text cleared after SetText keeps its old capacity but no buffer;
// fixing it at that capacity must give it a buffer to write into.
TEST(LPStrTest, FixingAClearedTextAtItsOldCapacityGivesItABuffer) {
  TLPStr s;
  s.SetText("abc");
  s.Clear();
  s.SetCapacity(4);
  EXPECT_TRUE(s.FixedCapacity());
  ASSERT_NE(s.TextPtr(), nullptr);
  s.SetText("abcdef");
  EXPECT_EQ(TextOf(s), "abc");
}

TEST(LPStrTest, LoadFromStreamUpToTheLimit) {
  struct Case {
    const char* name;
    std::uint16_t capacity;  // 0: growable
    std::size_t bytes;
    bool tooLong;
  };
  const Case cases[] = {
      {"growable, 32767 bytes", 0, 32767, false}, {"growable, 32768 bytes", 0, 32768, true},
      {"growable, 40000 bytes", 0, 40000, true},  {"growable, empty stream", 0, 0, false},
      {"fixed 10, 9 bytes", 10, 9, false},        {"fixed 10, 10 bytes", 10, 10, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TLPStr s(c.capacity);
    s.SetText("old");
    const std::string content(c.bytes, 'x');
    std::istringstream in(content);
    if (c.tooLong) {
      try {
        s.LoadFromStream(in);
        ADD_FAILURE() << "no error";
      } catch (const EStreamError& e) {
        EXPECT_EQ(e.Message(), "Line too long");
      }
      EXPECT_EQ(TextOf(s), "old");
    } else {
      s.LoadFromStream(in);
      ASSERT_NE(s.TextPtr(), nullptr);
      EXPECT_EQ(TextOf(s), content);
    }
  }
}

TEST(LPStrTest, SaveToStreamWritesTheCharactersOnly) {
  TLPStr s;
  std::ostringstream none;
  s.SaveToStream(none);
  EXPECT_EQ(none.str().size(), 0u);

  s.SetText("abc");
  std::ostringstream three;
  s.SaveToStream(three);
  EXPECT_EQ(three.str(), "abc");
}

TEST(LPStrTest, SaveToAFailedStreamIsAnError) {
  TLPStr s;
  s.SetText("abc");
  std::ostringstream out;
  out.setstate(std::ios::badbit);
  EXPECT_THROW(s.SaveToStream(out), EStreamError);
}

TEST(LPStrTest, GetTextCopiesOrMakesAnEmptyText) {
  TLPStr s;
  std::unique_ptr<char[]> empty = s.GetText();
  ASSERT_NE(empty, nullptr);
  EXPECT_STREQ(empty.get(), "");

  char dest[16];
  std::memset(dest, 'z', sizeof dest);
  EXPECT_EQ(s.GetText(dest), dest);
  EXPECT_STREQ(dest, "");

  s.SetText("a:\\vl.zip");
  std::unique_ptr<char[]> copy = s.GetText();
  EXPECT_STREQ(copy.get(), "a:\\vl.zip");
  EXPECT_NE(copy.get(), s.TextPtr());
  EXPECT_STREQ(s.GetText(dest), "a:\\vl.zip");
}

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<std::uint8_t> bytes;
  for (int v : values) bytes.push_back(static_cast<std::uint8_t>(v));
  return bytes;
}

const std::vector<std::uint8_t> StoredZipName =
    Bytes({10, 10, 0, 0, 0, 'a', ':', '\\', 'v', 'l', '.', 'z', 'i', 'p', 0});

TEST(LPStrTest, PCharStoresNonEmptyTextsOnly) {
  TLPStr s;
  EXPECT_FALSE(s.StoresPChar());
  EXPECT_TRUE(s.PCharValue().empty());
  s.SetText("");
  EXPECT_FALSE(s.StoresPChar());
  std::ostringstream nothing;
  s.WritePChar(nothing);
  EXPECT_EQ(nothing.str().size(), 0u);

  s.SetText("a:\\vl.zip");
  EXPECT_TRUE(s.StoresPChar());
  EXPECT_EQ(s.PCharValue(), StoredZipName);
  std::ostringstream out;
  s.WritePChar(out);
  EXPECT_EQ(out.str(), std::string(StoredZipName.begin(), StoredZipName.end()));
}

TEST(LPStrTest, PCharReadsBackTheStoredText) {
  TLPStr s;
  s.ReadPChar(StoredZipName);
  EXPECT_EQ(TextOf(s), "a:\\vl.zip");
  EXPECT_EQ(s.Capacity(), 10);

  std::istringstream in(std::string(StoredZipName.begin(), StoredZipName.end()) + "next");
  TLPStr fromStream;
  fromStream.ReadPChar(in);
  EXPECT_EQ(TextOf(fromStream), "a:\\vl.zip");
  std::string rest;
  in >> rest;
  EXPECT_EQ(rest, "next");  // reads exactly its own value
}

TEST(LPStrTest, PCharCountOfZeroOrLessClears) {
  for (const auto& value : {Bytes({10, 0, 0, 0, 0}), Bytes({10, 0xFF, 0xFF, 0xFF, 0xFF})}) {
    TLPStr s;
    s.SetText("old");
    s.ReadPChar(value);
    EXPECT_EQ(s.TextPtr(), nullptr);
  }
}

TEST(LPStrTest, PCharWithoutItsZeroIsTerminatedAtTheCount) {
  TLPStr s;
  s.ReadPChar(Bytes({10, 3, 0, 0, 0, 'a', 'b', 'c', 'd'}));
  EXPECT_EQ(TextOf(s), "abc");
}

TEST(LPStrTest, DamagedPCharIsAnErrorAndKeepsTheText) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> value;
  };
  const Case cases[] = {
      {"nothing", {}},
      {"type byte only", Bytes({10})},
      {"count cut short", Bytes({10, 10, 0})},
      {"fewer bytes than counted", Bytes({10, 10, 0, 0, 0, 'a', ':', 0})},
      {"count beyond any capacity", Bytes({10, 0, 0, 1, 0, 'a'})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TLPStr s;
    s.SetText("old");
    EXPECT_THROW(s.ReadPChar(c.value), EStreamError);
    EXPECT_EQ(TextOf(s), "old");
  }
}

}  // namespace
}  // namespace vl
