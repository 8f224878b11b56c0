// The zip engine through its one entry, as the component calls it. Every
// archive it writes is read back by three independent readers.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "archive/DynaLibZ.h"
#include "dzip.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using vl::test::ReadFile;
using vl::test::ScopedEnv;
using vl::test::TempDir;
using vl::test::WriteFile;

constexpr uint32_t kCancel = 0xFFFFFFFFu;

// ---- fixtures

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937_64 random(seed);
  std::string data(size, '\0');
  for (auto& c : data) c = static_cast<char>(random() & 0xFF);
  return data;
}

// Compressible but varied, like text or database pages.
std::string TextLike(size_t size, unsigned seed) {
  static const char* const words[] = {"backup", "Velloran", "table ", "row", "0000", "index",  "\r\n",
                                      "page",   "log",      " ",      "LSN", "  ",   "SELECT", "ff"};
  std::mt19937 random(seed);
  std::string data;
  while (data.size() < size) {
    data += words[random() % std::size(words)];
    if (random() % 7 == 0) data += std::to_string(random() % 100000);
  }
  data.resize(size);
  return data;
}

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Exit status of a shell command, its output in *output when asked for.
int Shell(const std::string& command, std::string* output = nullptr) {
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  int status = ::pclose(pipe);
  if (output != nullptr) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

using Entries = std::vector<std::pair<std::string, std::string>>;  // entry name, source file

// unzip, 7-Zip and Python's zipfile all accept the archive, and Python finds
// exactly these entries with the bytes of their files.
// Python's zipfile alone: the entries and their bytes.
void ExpectEntries(const std::string& archive, const Entries& entries, bool zip64 = false) {
  std::string output;
  std::string check = std::string(PYTHON_EXECUTABLE) + " " + CHECK_ZIP_SCRIPT + " " + Quote(archive);
  if (zip64) check += " --zip64";
  for (const auto& [name, path] : entries) check += " " + Quote(name + "=" + path);
  EXPECT_EQ(Shell(check, &output), 0) << output;
}

void ExpectReadable(const std::string& archive, const Entries& entries, bool zip64 = false) {
  std::string output;
  EXPECT_EQ(Shell("unzip -tq " + Quote(archive), &output), 0) << output;
  EXPECT_EQ(Shell("7zz t " + Quote(archive), &output), 0) << output;
  ExpectEntries(archive, entries, zip64);
}

// A hand-made hostile archive (see craft_zip.py) at path.
void Craft(const std::string& kind, const std::string& path) {
  std::string output;
  ASSERT_EQ(Shell(std::string(PYTHON_EXECUTABLE) + " " + CRAFT_ZIP_SCRIPT + " " + kind + " " + Quote(path), &output), 0)
      << output;
}

std::string LastError() { return dzip_last_error(); }

uint32_t ModeOf(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return 0xFFFFFFFFu;
  return st.st_mode & 07777;
}

// Runs body in a child that may take at most a few seconds, so a call that
// blocks fails the test instead of hanging it. The child's exit code comes back.
int InChild(const std::function<int()>& body) {
  pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    ::alarm(20);
    ::_exit(body());
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::set<std::string> Listing(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.insert(e.path().filename().string());
  return names;
}

// The request as the component hands it over, with the backup job's flags.
struct Request {
  const char* archive = nullptr;  // null means no archive name
  const char* items = nullptr;    // null means no item list
  int32_t level = 7;
  bool bareNames = true;
  bool largeFiles = true;
  bool diagnostic = false;
  bool encrypt = false;
  DZ_STATUS_CALLBACK major = nullptr;
  DZ_STATUS_CALLBACK minor = nullptr;
  DZ_MESSAGE_CALLBACK message = nullptr;
  void* userData = nullptr;
};

ZIPCMDSTRUCT Record(const Request& r) {
  ZIPCMDSTRUCT c;
  std::memset(&c, 0, sizeof c);
  c.zipStructSize = sizeof c;
  c.function = DZ_ACTION_ADD;
  c.lpszZIPFile = const_cast<char*>(r.archive);
  c.lpszItemList = const_cast<char*>(r.items);
  c.compFactor = r.level;
  c.noDirectoryNamesFlag = r.bareNames ? DZ_TRUE : DZ_FALSE;
  c.largeZIPFilesFlag = r.largeFiles ? DZ_TRUE : DZ_FALSE;
  c.bDiagnostic = r.diagnostic ? DZ_TRUE : DZ_FALSE;
  c.encryptFlag = r.encrypt ? DZ_TRUE : DZ_FALSE;
  c.lpMajorStatus = r.major;
  c.lpMajorUserData = r.userData;
  c.lpMinorStatus = r.minor;
  c.lpMinorUserData = r.userData;
  c.lpMessageDisplay = r.message;
  c.lpMessageDisplayUserData = r.userData;
  c.wZipSubOptions = 0x000A;
  return c;
}

int32_t Pack(const Request& r) {
  ZIPCMDSTRUCT c = Record(r);
  return dzip(&c);
}

int32_t Pack(const std::string& archive, const std::string& items, int32_t level = 7) {
  Request r;
  r.archive = archive.c_str();
  r.items = items.c_str();
  r.level = level;
  return Pack(r);
}

// ---- round trips

TEST(EngineRoundTrip, ContentsSurviveEveryBlockAndThreadLayout) {
  TempDir dir;
  const std::vector<std::pair<std::string, std::string>> files = {
      {"empty.bin", ""},
      {"one.txt", "x"},
      {"text.txt", TextLike((3 << 20) + 7, 1)},                 // several blocks, odd tail
      {"random.bin", RandomBytes((5 << 19) + 3, 2)},            // incompressible
      {"exact.txt", TextLike(1 << 20, 3)},                      // ends on a block boundary
      {"repeat.bin", std::string(700 * 1024 + 1, '\0') + "z"},  // long matches across blocks
  };
  std::string items;
  Entries entries;
  for (const auto& [name, content] : files) {
    WriteFile(dir / name, content);
    items += "\"" + (dir / name) + "\" ";
    entries.push_back({name, dir / name});
  }
  struct Layout {
    const char* threads;
    const char* blockKib;
  };
  for (Layout layout : {Layout{"1", "64"}, Layout{"3", "64"}, Layout{nullptr, nullptr}}) {
    SCOPED_TRACE(std::string("threads ") + (layout.threads ? layout.threads : "default") + ", block KiB " +
                 (layout.blockKib ? layout.blockKib : "default"));
    ScopedEnv threads("DZIP_THREADS", layout.threads);
    ScopedEnv block("DZIP_BLOCK_KIB", layout.blockKib);
    std::string archive = dir / "out.zip";
    fs::remove(archive);
    ASSERT_EQ(Pack(archive, items), DZ_OK);
    ExpectReadable(archive, entries);
  }
}

TEST(EngineRoundTrip, LevelsChangeTheSizeAndOutOfRangeLevelsTakeTheNearest) {
  TempDir dir;
  WriteFile(dir / "data.txt", TextLike(2 << 20, 4));
  auto sizeAt = [&](int32_t level) {
    std::string archive = dir / ("level" + std::to_string(level) + ".zip");
    EXPECT_EQ(Pack(archive, dir / "data.txt", level), DZ_OK) << "level " << level;
    ExpectEntries(archive, {{"data.txt", dir / "data.txt"}});
    return fs::file_size(archive);
  };
  auto stored = sizeAt(0);
  auto fast = sizeAt(1);
  auto best = sizeAt(9);
  ExpectReadable(dir / "level0.zip", {{"data.txt", dir / "data.txt"}});  // the stored method
  EXPECT_GT(stored, fs::file_size(dir / "data.txt"));
  EXPECT_GT(stored, fast);
  EXPECT_GT(fast, best);
  EXPECT_EQ(sizeAt(-3), stored);
  EXPECT_EQ(sizeAt(42), best);
}

TEST(EngineRoundTrip, EntryIsTheBareNameOrThePathWithoutItsRoot) {
  TempDir dir;
  fs::create_directories(dir.path() / "in" / "deep");
  std::string file = dir / "in/deep/VL.BAK";
  WriteFile(file, TextLike(10000, 5));

  Request r;
  std::string bare = dir / "bare.zip";
  std::string quoted = "\"" + file + "\"";
  r.archive = bare.c_str();
  r.items = quoted.c_str();
  ASSERT_EQ(Pack(r), DZ_OK);
  ExpectReadable(bare, {{"VL.BAK", file}});

  std::string full = dir / "full.zip";
  std::string dotted = dir.str() + "/in/./deep/../deep//VL.BAK";
  r.archive = full.c_str();
  r.items = dotted.c_str();
  r.bareNames = false;
  ASSERT_EQ(Pack(r), DZ_OK);
  // "." and ".." are dropped, never resolved, so nothing can escape the unpack folder.
  ExpectReadable(full, {{dir.str().substr(1) + "/in/deep/deep/VL.BAK", file}});
}

TEST(EngineRoundTrip, ItemListSyntax) {
  TempDir dir;
  const std::string a = dir / "a.txt", b = dir / "b.txt", spaced = dir / "my file.txt";
  WriteFile(a, "first");
  WriteFile(b, "second");
  WriteFile(spaced, "with blanks");
  const std::string quotedDir = dir / "a\"b\"", blankQuoteDir = dir / "x\" \"";
  fs::create_directories(quotedDir);
  fs::create_directories(blankQuoteDir);
  WriteFile(quotedDir + "/q.txt", "in a folder with quotes");
  WriteFile(blankQuoteDir + "/q \" \".txt", "a quote before a blank");
  struct Case {
    std::string list;
    Entries expected;
  };
  const std::vector<Case> cases = {
      {a, {{"a.txt", a}}},
      {"\"" + a + "\"", {{"a.txt", a}}},
      {"\"" + spaced + "\"", {{"my file.txt", spaced}}},
      {"  " + a + " \t\"" + spaced + "\"   " + b + " ", {{"a.txt", a}, {"my file.txt", spaced}, {"b.txt", b}}},
      {a + " " + a, {{"a.txt", a}}},  // listed twice, packed once
      // Double quotes in a name: one closes a quoted name only before a blank or the end.
      {"\"" + quotedDir + "/q.txt\" " + b, {{"q.txt", quotedDir + "/q.txt"}, {"b.txt", b}}},
      {quotedDir + "/q.txt", {{"q.txt", quotedDir + "/q.txt"}}},
      // As the component quotes it (quotes doubled), any name comes through.
      {vl::QuotedZipItem(blankQuoteDir + "/q \" \".txt") + " " + vl::QuotedZipItem(a),
       {{"q \" \".txt", blankQuoteDir + "/q \" \".txt"}, {"a.txt", a}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.list);
    std::string archive = dir / "list.zip";
    fs::remove(archive);
    ASSERT_EQ(Pack(archive, c.list), DZ_OK);
    ExpectEntries(archive, c.expected);
  }
}

// ---- existing archives

TEST(EngineExistingArchive, KeepsOtherEntriesAndReplacesTheSameName) {
  TempDir dir;
  fs::create_directories(dir.path() / "new");
  const std::string archive = dir / "vl.zip";
  WriteFile(dir / "a.txt", TextLike(300000, 6));
  WriteFile(dir / "b.bin", RandomBytes(70000, 7));
  WriteFile(dir / "new/a.txt", TextLike(200000, 8));

  ASSERT_EQ(Pack(archive, dir / "a.txt"), DZ_OK);
  ASSERT_EQ(Pack(archive, dir / "b.bin"), DZ_OK);
  ExpectReadable(archive, {{"a.txt", dir / "a.txt"}, {"b.bin", dir / "b.bin"}});

  ASSERT_EQ(Pack(archive, dir / "new/a.txt"), DZ_OK);
  ExpectReadable(archive, {{"a.txt", dir / "new/a.txt"}, {"b.bin", dir / "b.bin"}});
  EXPECT_EQ(Listing(dir.path()), (std::set<std::string>{"a.txt", "b.bin", "new", "vl.zip"}));
}

TEST(EngineExistingArchive, CopiesForeignEntriesWithDataDescriptorsAndKeepsTheComment) {
  TempDir dir;
  const std::string archive = dir / "foreign.zip";
  WriteFile(dir / "hello.txt", "hello from a pipe");
  // Written to a pipe, Info-ZIP cannot seek back and ends the entry "-" with a data descriptor.
  std::string output;
  ASSERT_EQ(Shell("cat " + Quote(dir / "hello.txt") + " | zip -q - - > " + Quote(archive), &output), 0) << output;
  ASSERT_EQ(Shell("echo 'kept comment' | zip -q -z " + Quote(archive), &output), 0) << output;
  WriteFile(dir / "b.txt", TextLike(50000, 9));

  ASSERT_EQ(Pack(archive, dir / "b.txt"), DZ_OK);
  ExpectReadable(archive, {{"-", dir / "hello.txt"}, {"b.txt", dir / "b.txt"}});
  std::string bytes = ReadFile(archive);
  EXPECT_NE(bytes.find("kept comment", bytes.size() - 40), std::string::npos);
}

// ---- failures

struct FailureCase {
  const char* what;
  std::function<std::string(const TempDir&)> archive;  // "" for a null name
  std::function<std::string(const TempDir&)> items;
  std::function<void(const TempDir&)> damage;  // applied to the archive already there
  int32_t expected;
};

TEST(EngineFailures, LeaveNoArchiveNoTemporaryFileAndTheOldArchiveUntouched) {
  auto out = [](const TempDir& d) { return d / "out.zip"; };
  auto input = [](const TempDir& d) { return d / "in.bin"; };
  auto none = [](const TempDir&) {};
  auto overwrite = [](std::string content) {
    return [content](const TempDir& d) { WriteFile(d / "out.zip", content); };
  };
  const std::vector<FailureCase> cases = {
      {"missing folder", [](const TempDir& d) { return d / "missing/out.zip"; }, input, none, DZ_ERR_CANNOT_CREATE},
      {"folder below a file", [](const TempDir& d) { return d / "in.bin/out.zip"; }, input, none, DZ_ERR_CANNOT_CREATE},
      {"archive name is a folder", [](const TempDir& d) { return d / "sub"; }, input, none, DZ_ERR_CANNOT_CREATE},
      {"no archive name", [](const TempDir&) { return std::string(); }, input, none, DZ_ERR_CANNOT_CREATE},
      {"missing input", out, [](const TempDir& d) { return d / "nope.bin"; }, none, DZ_ERR_ITEM_UNREADABLE},
      {"second input missing", out, [](const TempDir& d) { return d / "in.bin " + d / "nope.bin"; }, none,
       DZ_ERR_ITEM_UNREADABLE},
      {"folder as item", out, [](const TempDir& d) { return d / "sub"; }, none, DZ_ERR_ITEM_UNREADABLE},
      {"symbolic link as item", out, [](const TempDir& d) { return d / "link.bin"; }, none, DZ_ERR_ITEM_UNREADABLE},
      {"empty item list", out, [](const TempDir&) { return std::string(); }, none, DZ_ERR_NO_ITEM},
      {"blank item list", out, [](const TempDir&) { return std::string(" \t  "); }, none, DZ_ERR_NO_ITEM},
      {"quoted nothing", out, [](const TempDir&) { return std::string("\"\""); }, none, DZ_ERR_NO_ITEM},
      {"existing archive is garbage", out, input, overwrite(RandomBytes(5000, 10)), DZ_ERR_EXISTING_ARCHIVE},
      {"existing archive is empty", out, input, overwrite(""), DZ_ERR_EXISTING_ARCHIVE},
      {"existing archive cut short", out, input,
       [](const TempDir& d) { fs::resize_file(d / "out.zip", fs::file_size(d / "out.zip") - 30); },
       DZ_ERR_EXISTING_ARCHIVE},
      {"existing archive with a broken local header", out, input,
       [](const TempDir& d) {
         std::string bytes = ReadFile(d / "out.zip");
         bytes[0] = 'X';
         WriteFile(d / "out.zip", bytes);
       },
       DZ_ERR_EXISTING_ARCHIVE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    fs::create_directory(dir.path() / "sub");
    WriteFile(dir / "in.bin", TextLike(200000, 11));
    fs::create_symlink(dir / "in.bin", dir / "link.bin");
    WriteFile(dir / "old.txt", "an older backup");
    ASSERT_EQ(Pack(dir / "out.zip", dir / "old.txt"), DZ_OK);
    c.damage(dir);
    const std::string before = ReadFile(dir / "out.zip");
    const auto listing = Listing(dir.path());

    std::string archive = c.archive(dir);
    std::string items = c.items(dir);
    Request r;
    r.archive = archive.empty() ? nullptr : archive.c_str();
    r.items = items.c_str();
    EXPECT_EQ(Pack(r), c.expected);
    EXPECT_EQ(Listing(dir.path()), listing);
    EXPECT_EQ(Listing(dir.path() / "sub"), std::set<std::string>{});
    EXPECT_EQ(ReadFile(dir / "out.zip"), before);
  }
}

TEST(EngineFailures, NullItemListIsNoItem) {
  TempDir dir;
  Request r;
  std::string archive = dir / "out.zip";
  r.archive = archive.c_str();
  EXPECT_EQ(Pack(r), DZ_ERR_NO_ITEM);
  EXPECT_TRUE(Listing(dir.path()).empty());
}

TEST(EngineFailures, RefusesBadRecordsOtherActionsAndEncryption) {
  TempDir dir;
  WriteFile(dir / "in.bin", "data");
  std::string archive = dir / "out.zip", items = dir / "in.bin";
  Request r;
  r.archive = archive.c_str();
  r.items = items.c_str();

  EXPECT_EQ(dzip(nullptr), DZ_ERR_BAD_RECORD);
  for (int32_t size : {0, 220, static_cast<int32_t>(sizeof(ZIPCMDSTRUCT)) - 1}) {
    ZIPCMDSTRUCT c = Record(r);
    c.zipStructSize = size;
    EXPECT_EQ(dzip(&c), DZ_ERR_BAD_RECORD) << size;
  }
  for (int32_t action : {0, 1, 3, 5, -4}) {
    ZIPCMDSTRUCT c = Record(r);
    c.function = action;
    EXPECT_EQ(dzip(&c), DZ_ERR_UNSUPPORTED) << action;
  }
  r.encrypt = true;  // packing without the asked-for encryption would be a silent failure
  EXPECT_EQ(Pack(r), DZ_ERR_UNSUPPORTED);
  EXPECT_EQ(Listing(dir.path()), std::set<std::string>{"in.bin"});
}

TEST(EngineFailures, InputOf4GiBWithoutTheLargeFileFlagIsRefusedBeforeWriting) {
  TempDir dir;
  const std::string big = dir / "big.bak";
  WriteFile(big, "");
  fs::resize_file(big, (4ull << 30) + 1);  // sparse: no disk space taken
  WriteFile(dir / "old.txt", "an older backup");
  ASSERT_EQ(Pack(dir / "out.zip", dir / "old.txt"), DZ_OK);
  const std::string before = ReadFile(dir / "out.zip");

  Request r;
  std::string archive = dir / "out.zip";
  r.archive = archive.c_str();
  r.items = big.c_str();
  r.largeFiles = false;
  EXPECT_EQ(Pack(r), DZ_ERR_TOO_LARGE);
  EXPECT_EQ(Listing(dir.path()), (std::set<std::string>{"big.bak", "old.txt", "out.zip"}));
  EXPECT_EQ(ReadFile(archive), before);
}

// A full disk: the child may write only so much before writes fail with EFBIG.
TEST(EngineFailures, FullDiskLeavesTheOldArchiveAndNoTemporaryFile) {
  TempDir dir;
  WriteFile(dir / "in.bin", RandomBytes(3 << 20, 12));
  WriteFile(dir / "old.txt", "an older backup");
  ASSERT_EQ(Pack(dir / "out.zip", dir / "old.txt"), DZ_OK);
  const std::string before = ReadFile(dir / "out.zip");

  int reason[2];
  ASSERT_EQ(::pipe(reason), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{1 << 20, 1 << 20};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    int32_t result = Pack(dir / "out.zip", dir / "in.bin");
    std::string text = dzip_last_error();
    (void)!::write(reason[1], text.data(), text.size());
    ::_exit(result);
  }
  ::close(reason[1]);
  std::string detail;
  char buffer[512];
  for (ssize_t n; (n = ::read(reason[0], buffer, sizeof buffer)) > 0;) detail.append(buffer, static_cast<size_t>(n));
  ::close(reason[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), DZ_ERR_WRITE);
  // The cause in the system's words (the size limit's EFBIG stands in for ENOSPC).
  EXPECT_NE(detail.find("cannot write"), std::string::npos) << detail;
  EXPECT_NE(detail.find(std::strerror(EFBIG)), std::string::npos) << detail;
  EXPECT_EQ(Listing(dir.path()), (std::set<std::string>{"in.bin", "old.txt", "out.zip"}));
  EXPECT_EQ(ReadFile(dir / "out.zip"), before);
}

// ---- an archive already there is untrusted input

constexpr const char* kKept = "kept data\n";  // the honest entries' content in craft_zip.py

// A folder with a fresh VL.BAK to pack into an archive someone else left there.
struct PlantedFolder {
  TempDir dir;
  std::string archive = dir / "vl.zip";
  std::string backup = dir / "VL.BAK";
  PlantedFolder() { WriteFile(backup, TextLike(100000, 20)); }
  int32_t Update() const { return Pack(archive, "\"" + backup + "\""); }
};

TEST(EngineUntrustedArchive, RefusesWhatIsUnsafeOrDamagedAndTouchesNothing) {
  struct Case {
    const char* kind;    // craft_zip.py case
    const char* reason;  // part of the reason the engine gives
  };
  const std::vector<Case> cases = {
      {"three-headers-one-entry", "overlap"},
      {"nested-entry", "overlap"},
      {"local-size-differs", "disagree"},
      {"local-name-differs", "names another entry"},
      {"outside-the-file", "outside the archive"},
      {"bad-crc", "CRC"},
      {"inflates-beyond-its-size", "more than its declared size"},
      {"unknown-method", "method 12"},
      {"encrypted", "encrypted"},
      {"name-dot-dot", "\"..\""},
      {"name-inner-dot-dot", "\"..\""},
      {"name-absolute", "absolute"},
      {"name-drive", "absolute"},
      {"name-nul", "NUL"},
      {"name-backslash", "backslash"},
      {"name-case-of-new-entry", "restored as the new entry VL.BAK"},
      {"unicode-path-of-new-entry", "restored as the new entry VL.BAK"},
      {"unicode-path-dot-dot", "Unicode Path"},
      {"two-names-differ-by-case", "restored as entry"},
      {"too-many-entries", "65536 entries"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kind);
    PlantedFolder folder;
    Craft(c.kind, folder.archive);
    const std::string before = ReadFile(folder.archive);
    const auto listing = Listing(folder.dir.path());

    EXPECT_EQ(folder.Update(), DZ_ERR_UNSAFE_ARCHIVE);
    EXPECT_NE(LastError().find(c.reason), std::string::npos) << LastError();
    EXPECT_EQ(LastError().rfind(folder.archive + ": ", 0), 0u) << LastError();
    EXPECT_EQ(Listing(folder.dir.path()), listing);
    EXPECT_EQ(ReadFile(folder.archive), before);
  }
}

TEST(EngineUntrustedArchive, KeepsHarmlessEntriesOnceWithoutWhatTheyCannotCarry) {
  for (const char* kind : {"forged-extra", "unix-setuid", "honest-unicode-path"}) {
    SCOPED_TRACE(kind);
    PlantedFolder folder;
    Craft(kind, folder.archive);
    WriteFile(folder.dir / "kept.txt", kKept);
    ASSERT_EQ(folder.Update(), DZ_OK) << LastError();
    ExpectReadable(folder.archive, {{"kept.txt", folder.dir / "kept.txt"}, {"VL.BAK", folder.backup}});
    std::string printed;
    EXPECT_EQ(Shell("unzip -p " + Quote(folder.archive) + " VL.BAK", &printed), 0);
    EXPECT_EQ(printed, ReadFile(folder.backup));
    // No extra field but ZIP64 survives, and no setuid, setgid or sticky bit.
    std::string attributes;
    const std::string show =
        " -c \"import zipfile,sys; i=zipfile.ZipFile(sys.argv[1]).getinfo('kept.txt'); "
        "print(len(i.extra), oct(i.external_attr >> 16))\" ";
    ASSERT_EQ(Shell(PYTHON_EXECUTABLE + show + Quote(folder.archive), &attributes), 0) << attributes;
    EXPECT_EQ(attributes, std::string(kind) == "unix-setuid" ? "0 0o100755\n" : "0 0o0\n");
  }
}

TEST(EngineUntrustedArchive, KeepsAsManyEntriesAsTheClassicFormatHolds) {
  PlantedFolder folder;
  Craft("most-entries", folder.archive);
  ASSERT_EQ(folder.Update(), DZ_OK) << LastError();
  std::string count;
  ASSERT_EQ(Shell(std::string(PYTHON_EXECUTABLE) +
                      " -c \"import zipfile,sys; z=zipfile.ZipFile(sys.argv[1]); "
                      "print(len(z.namelist()), z.testzip())\" " +
                      Quote(folder.archive),
                  &count),
            0)
      << count;
  EXPECT_EQ(count, "65536 None\n");
}

TEST(EngineUntrustedArchive, OnlyAPlainFileIsReadAndNeverThroughALink) {
  PlantedFolder source;  // a valid archive, say one only root may read
  ASSERT_EQ(source.Update(), DZ_OK);
  const std::string protectedArchive = ReadFile(source.archive);
  struct Case {
    const char* what;
    std::function<void(const std::string& archive)> plant;
  };
  const std::vector<Case> cases = {
      {"FIFO", [](const std::string& a) { ASSERT_EQ(::mkfifo(a.c_str(), 0666), 0); }},
      {"symbolic link to an archive", [&](const std::string& a) { fs::create_symlink(source.archive, a); }},
      {"dangling symbolic link", [](const std::string& a) { fs::create_symlink("/nonexistent/x.zip", a); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PlantedFolder folder;
    c.plant(folder.archive);
    const auto listing = Listing(folder.dir.path());
    EXPECT_EQ(InChild([&] { return folder.Update(); }), DZ_ERR_UNSAFE_ARCHIVE);
    EXPECT_EQ(Listing(folder.dir.path()), listing);
    EXPECT_FALSE(fs::is_regular_file(fs::symlink_status(folder.archive)));
  }
  EXPECT_EQ(ReadFile(source.archive), protectedArchive);
}

TEST(EngineUntrustedArchive, TheNewArchiveTakesTheBackupsModeNeverThePlantedFiles) {
  PlantedFolder folder;
  ASSERT_EQ(folder.Update(), DZ_OK);
  ASSERT_EQ(::chmod(folder.archive.c_str(), 06777), 0);
  ASSERT_EQ(::chmod(folder.backup.c_str(), 0640), 0);
  ASSERT_EQ(folder.Update(), DZ_OK);
  EXPECT_EQ(ModeOf(folder.archive), 0640u);
}

TEST(EngineArchiveMode, IsTheBackupsPermissionBitsWhateverTheUmask) {
  struct Case {
    mode_t umask;
    uint32_t backupMode;
    uint32_t archiveMode;
  };
  const std::vector<Case> cases = {
      {000, 0640, 0640}, {077, 0640, 0640}, {000, 0600, 0600}, {077, 0644, 0644}, {000, 06755, 0755}, {022, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("umask " + std::to_string(c.umask) + ", backup mode " + std::to_string(c.backupMode));
    PlantedFolder folder;
    ASSERT_EQ(::chmod(folder.backup.c_str(), c.backupMode), 0);
    mode_t old = ::umask(c.umask);
    int32_t result = folder.Update();
    ::umask(old);
    ASSERT_EQ(result, DZ_OK) << LastError();
    EXPECT_EQ(ModeOf(folder.archive), c.archiveMode);
  }
}

TEST(EngineUntrustedArchive, ArchivesOfOtherWritersAreStillUpdated) {
  struct Case {
    const char* writer;
    std::string command;  // makes in.zip in the folder from a.txt and b.bin
  };
  const std::string python = PYTHON_EXECUTABLE;
  const std::vector<Case> cases = {
      {"7-Zip", "7zz a -tzip -bd -bso0 in.zip a.txt b.bin"},
      {"Python, ZIP64 records",
       python + " -c \"import zipfile\nwith zipfile.ZipFile('in.zip', 'w', zipfile.ZIP_DEFLATED) as z:\n"
                "  for n in ('a.txt', 'b.bin'):\n    with open(n, 'rb') as f, z.open(n, 'w', force_zip64=True) as o: "
                "o.write(f.read())\""},
      {"Python, data descriptors (unseekable output)",
       python + " -c \"import zipfile,sys\nwith zipfile.ZipFile(sys.stdout.buffer, 'w', zipfile.ZIP_DEFLATED) as z:\n"
                "  z.write('a.txt'); z.write('b.bin', compress_type=zipfile.ZIP_STORED)\" | cat > in.zip"},
      {"Info-ZIP", "zip -q in.zip a.txt b.bin"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.writer);
    PlantedFolder folder;
    WriteFile(folder.dir / "a.txt", TextLike(200000, 21));
    WriteFile(folder.dir / "b.bin", RandomBytes(50000, 22));
    std::string output;
    ASSERT_EQ(Shell("cd " + Quote(folder.dir.str()) + " && " + c.command, &output), 0) << output;
    fs::rename(folder.dir / "in.zip", folder.archive);
    ASSERT_EQ(folder.Update(), DZ_OK) << LastError();
    ExpectReadable(folder.archive,
                   {{"a.txt", folder.dir / "a.txt"}, {"b.bin", folder.dir / "b.bin"}, {"VL.BAK", folder.backup}});
  }
}

// ---- status callbacks and cancelling

struct StatusLog {
  struct Call {
    bool major;
    std::string item;
    int32_t percent;
    std::thread::id thread;
  };
  std::vector<Call> calls;
  std::function<uint32_t(const Call&)> answer = [](const Call&) { return 0u; };

  static uint32_t DZ_CALL Major(const char* item, int32_t percent, void* self) {
    return static_cast<StatusLog*>(self)->Record(true, item, percent);
  }
  static uint32_t DZ_CALL Minor(const char* item, int32_t percent, void* self) {
    return static_cast<StatusLog*>(self)->Record(false, item, percent);
  }
  uint32_t Record(bool major, const char* item, int32_t percent) {
    calls.push_back({major, item, percent, std::this_thread::get_id()});
    return answer(calls.back());
  }
};

TEST(EngineStatus, ReportsEachItemAndItsProgressOnTheCallingThread) {
  ScopedEnv threads("DZIP_THREADS", "3");
  ScopedEnv block("DZIP_BLOCK_KIB", "64");
  TempDir dir;
  WriteFile(dir / "a.txt", TextLike(1 << 20, 13));
  WriteFile(dir / "b.txt", "");
  StatusLog log;
  Request r;
  std::string archive = dir / "out.zip", items = dir / "a.txt " + dir / "b.txt";
  r.archive = archive.c_str();
  r.items = items.c_str();
  r.major = StatusLog::Major;
  r.minor = StatusLog::Minor;
  r.userData = &log;
  ASSERT_EQ(Pack(r), DZ_OK);

  std::vector<std::pair<std::string, int32_t>> majors;
  std::vector<int32_t> minorsOfA;
  for (const auto& call : log.calls) {
    EXPECT_EQ(call.thread, std::this_thread::get_id());
    if (call.major) majors.push_back({call.item, call.percent});
    if (!call.major && call.item == dir / "a.txt") minorsOfA.push_back(call.percent);
  }
  EXPECT_EQ(majors, (std::vector<std::pair<std::string, int32_t>>{
                        {dir / "a.txt", 0}, {dir / "b.txt", 100}, {dir / "b.txt", 100}}));
  ASSERT_GT(minorsOfA.size(), 4u);
  EXPECT_EQ(minorsOfA.front(), 0);
  EXPECT_EQ(minorsOfA.back(), 100);
  EXPECT_TRUE(std::is_sorted(minorsOfA.begin(), minorsOfA.end()));
}

TEST(EngineStatus, CancelOrARaisingHandlerLeavesTheOldArchive) {
  ScopedEnv block("DZIP_BLOCK_KIB", "64");
  struct Case {
    const char* what;
    std::function<uint32_t(const StatusLog::Call&)> answer;
    bool raises;
  };
  const std::vector<Case> cases = {
      {"major cancels at once", [](const StatusLog::Call& c) { return c.major ? kCancel : 0u; }, false},
      {"minor cancels half way", [](const StatusLog::Call& c) { return !c.major && c.percent >= 50 ? kCancel : 0u; },
       false},
      {"minor raises half way",
       [](const StatusLog::Call& c) -> uint32_t {
         if (!c.major && c.percent >= 50) throw std::runtime_error("handler failed");
         return 0;
       },
       true},
      {"only 0xFFFFFFFF cancels", [](const StatusLog::Call&) { return 1u; }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    WriteFile(dir / "in.bin", TextLike(2 << 20, 14));
    WriteFile(dir / "old.txt", "an older backup");
    ASSERT_EQ(Pack(dir / "out.zip", dir / "old.txt"), DZ_OK);
    const std::string before = ReadFile(dir / "out.zip");
    StatusLog log;
    log.answer = c.answer;
    Request r;
    std::string archive = dir / "out.zip", items = dir / "in.bin";
    r.archive = archive.c_str();
    r.items = items.c_str();
    r.major = StatusLog::Major;
    r.minor = StatusLog::Minor;
    r.userData = &log;

    bool goesOn = std::string(c.what) == "only 0xFFFFFFFF cancels";
    if (c.raises) {
      EXPECT_THROW(Pack(r), std::runtime_error);
    } else {
      EXPECT_EQ(Pack(r), goesOn ? DZ_OK : DZ_ERR_CANCELLED);
    }
    EXPECT_EQ(Listing(dir.path()), (std::set<std::string>{"in.bin", "old.txt", "out.zip"}));
    if (goesOn) {
      ExpectReadable(archive, {{"old.txt", dir / "old.txt"}, {"in.bin", dir / "in.bin"}});
    } else {
      EXPECT_EQ(ReadFile(dir / "out.zip"), before);
    }
  }
}

// ---- diagnostics

struct MessageLog {
  std::vector<std::pair<uint32_t, std::string>> lines;
  static int32_t DZ_CALL Handle(uint32_t id, uint32_t, int32_t, int32_t, const char* text, const char*, void* self) {
    static_cast<MessageLog*>(self)->lines.push_back({id, text});
    return 0;
  }
};

TEST(EngineDiagnostics, GoToTheMessageHandlerOnlyWhenAskedAndNeverToTheConsole) {
  TempDir dir;
  WriteFile(dir / "in.bin", "data");
  std::string archive = dir / "out.zip", items = dir / "in.bin", missing = dir / "nope.bin";
  MessageLog log;
  Request r;
  r.archive = archive.c_str();
  r.items = items.c_str();
  r.message = MessageLog::Handle;
  r.userData = &log;

  ASSERT_EQ(Pack(r), DZ_OK);
  EXPECT_TRUE(log.lines.empty());

  r.diagnostic = true;
  ASSERT_EQ(Pack(r), DZ_OK);
  ASSERT_FALSE(log.lines.empty());
  for (const auto& [id, text] : log.lines) EXPECT_EQ(id, uint32_t{DZ_MSG_DIAGNOSTIC});

  log.lines.clear();
  r.items = missing.c_str();
  EXPECT_EQ(Pack(r), DZ_ERR_ITEM_UNREADABLE);
  ASSERT_FALSE(log.lines.empty());
  EXPECT_NE(log.lines.back().second.find(missing), std::string::npos) << log.lines.back().second;

  // The backup job's request: diagnostics on, no handler.
  r.message = nullptr;
  r.items = items.c_str();
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(Pack(r), DZ_OK);
  r.items = missing.c_str();
  EXPECT_EQ(Pack(r), DZ_ERR_ITEM_UNREADABLE);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(EngineResultText, EveryCodeHasItsOwnText) {
  std::set<std::string> texts;
  for (int32_t code = DZ_OK; code <= DZ_ERR_UNSAFE_ARCHIVE; ++code) texts.insert(DzipResultText(code));
  EXPECT_EQ(texts.size(), static_cast<size_t>(DZ_ERR_UNSAFE_ARCHIVE + 1));
  EXPECT_EQ(texts.count(DzipResultText(99)), 0u);
}

// ---- over 4 GiB (label "long")

TEST(EngineLong, SparseInputOver4GiBGetsZip64Records) {
  TempDir dir;
  const std::string big = dir / "VL.BAK";
  const uint64_t size = 4509715660ull;  // about 4.2 GiB
  {
    WriteFile(big, RandomBytes(1 << 20, 15));
    fs::resize_file(big, size);
    std::FILE* f = std::fopen(big.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::string tail = TextLike(1 << 20, 16);
    ASSERT_EQ(::fseeko(f, static_cast<off_t>(size - tail.size()), SEEK_SET), 0);
    ASSERT_EQ(std::fwrite(tail.data(), 1, tail.size(), f), tail.size());
    std::fclose(f);
  }
  const std::string archive = dir / "vl.zip";
  const std::string items = "\"" + big + "\"";
  Request r;
  r.archive = archive.c_str();
  r.items = items.c_str();
  r.largeFiles = false;
  EXPECT_EQ(Pack(r), DZ_ERR_TOO_LARGE);
  EXPECT_EQ(Listing(dir.path()), std::set<std::string>{"VL.BAK"});

  r.largeFiles = true;
  ASSERT_EQ(Pack(r), DZ_OK);
  ExpectReadable(archive, {{"VL.BAK", big}}, true);
}

}  // namespace
