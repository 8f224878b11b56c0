// Where the program takes its zip engine from, and what it says when it cannot.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/CommandLine.h"
#include "platform/DynamicLibrary.h"
#include "tests/app/Program.h"
#include "tests/support/TempDir.h"

namespace vl::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

const std::string kMultiarchFolder = std::string("lib/") + VL_LIBRARY_ARCHITECTURE + "/vlbackup";

// An installed tree in a scratch folder: bin/ for the program, the private lib folders beside it.
class ScratchTree {
 public:
  // The program reports folders with every link resolved, as /proc/self/exe gives them.
  std::string Bin() const { return Root() + "/bin"; }
  std::string Root() const { return fs::canonical(root_.path()).string(); }
  // Puts library under the engine's name into folder (relative to the tree).
  std::string PlaceEngine(const std::string& folder, const std::string& library) const {
    const std::string target = EngineFile(folder);
    fs::copy_file(library, target, fs::copy_options::overwrite_existing);
    return target;
  }
  std::string PlaceText(const std::string& folder, const std::string& text) const {
    const std::string target = EngineFile(folder);
    WriteFile(target, text);
    return target;
  }

 private:
  std::string EngineFile(const std::string& folder) const {
    fs::create_directories(Root() + "/" + folder);
    return Root() + "/" + folder + "/libdzip32.so";
  }

  TempDir root_;
};

TEST(EngineSearchFolders, AreTheProgramsFolderThenThePrivateLibraryFolders) {
  const auto folders = platform::DynamicLibrary::SearchFolders("/opt/x/bin");
  const std::vector<std::string> expected = {"/opt/x/bin", "/opt/x/" + kMultiarchFolder, "/opt/x/lib/vlbackup"};
  EXPECT_EQ(folders, expected);
  EXPECT_EQ(platform::DynamicLibrary::SearchFolders("/usr/bin")[2], "/usr/lib/vlbackup");
}

TEST(EngineSearchFolders, NeedAnAbsoluteProgramFolder) {
  for (const std::string folder : {"", "bin", "./bin", "../usr/bin"}) {
    SCOPED_TRACE(folder);
    EXPECT_TRUE(platform::DynamicLibrary::SearchFolders(folder).empty());
  }
}

// In this process: an engine in either private folder is found, and the
// program's own folder wins over them.
TEST(EngineLookup, FindsTheEngineWhereAnInstallationPutsIt) {
  struct Case {
    std::vector<std::string> placed;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{"bin"}, "bin"},
      {{kMultiarchFolder}, kMultiarchFolder},
      {{"lib/vlbackup"}, "lib/vlbackup"},
      {{"lib/vlbackup", kMultiarchFolder}, kMultiarchFolder},
      {{"lib/vlbackup", kMultiarchFolder, "bin"}, "bin"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    ScratchTree tree;
    for (const auto& folder : c.placed) tree.PlaceEngine(folder, VL_RECORDING_ENGINE);
    platform::SetCommandLine({tree.Bin() + "/vlbackup"});
    const auto library = platform::DynamicLibrary::Load("DZIP32.DLL");
    EXPECT_TRUE(library.IsLoaded()) << library.Failure();
    EXPECT_EQ(library.Path(), tree.Root() + "/" + c.expected + "/libdzip32.so");
    EXPECT_NE(library.Symbol("dzip"), nullptr);
  }
}

// The real program copied into a scratch tree and run as a scheduler would:
// no display, so each box is one line on standard error.
class EngineLoadFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(tree_.Bin());
    fs::copy_file(VLBACKUP_PROGRAM, Program());
  }
  std::string Program() const { return tree_.Bin() + "/vlbackup"; }

  // A working engine in the current directory and on LD_LIBRARY_PATH must not be taken.
  ProgramRun Run(const std::string& program) const {
    ProgramOptions options;
    options.unset = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
    const std::string working = tree_.PlaceEngine("cwd", VL_REAL_ENGINE);
    options.workingDirectory = fs::path(working).parent_path().string();
    options.set = {{"LD_LIBRARY_PATH", options.workingDirectory},
                   {"VLBACKUP_COMMON_APPDATA", tree_.Root()},
                   {"VLBACKUP_LOCAL_APPDATA", tree_.Root()},
                   {"VLBACKUP_SYSCONFDIR", tree_.Root()}};
    options.timeout = std::chrono::seconds(30);
    return RunProgram(program, {"/S"}, options);
  }

  ScratchTree tree_;
};

TEST_F(EngineLoadFailure, NoEngineNamesTheFoldersLookedIn) {
  const std::string root = tree_.Root();
  const ProgramRun run = Run(Program());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err, "vlbackup: Warning: Could not load DZIP32.DLL! libdzip32.so was not found in " + root + "/bin, " +
                         root + "/" + kMultiarchFolder + " or " + root + "/lib/vlbackup.\n");
}

TEST_F(EngineLoadFailure, AnUnloadableEngineGivesTheLoadersReason) {
  struct Case {
    const char* name;
    std::string folder;
    std::string library;  // copied in; empty: text that is no library
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"not a library", "bin", "", "invalid ELF header"},
      {"other word size", "bin", VL_ENGINE_32BIT, "wrong ELF class: ELFCLASS32"},
      {"private folder", kMultiarchFolder, VL_ENGINE_32BIT, "wrong ELF class: ELFCLASS32"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string placed =
        c.library.empty() ? tree_.PlaceText(c.folder, std::string(64, 'x')) : tree_.PlaceEngine(c.folder, c.library);
    const ProgramRun run = Run(Program());
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_THAT(run.err, StartsWith("vlbackup: Warning: Could not load DZIP32.DLL! " + placed + ": "));
    EXPECT_THAT(run.err, HasSubstr(c.reason));
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line";
    fs::remove(placed);
  }
}

// A damaged engine beside the program is reported, not passed over for a working one further on.
TEST_F(EngineLoadFailure, TheFirstEngineFoundIsTheOneUsed) {
  const std::string broken = tree_.PlaceEngine("bin", VL_ENGINE_WITHOUT_ENTRY);
  tree_.PlaceEngine("lib/vlbackup", VL_REAL_ENGINE);
  const ProgramRun run = Run(Program());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err, "vlbackup: Warning: Could not load dzip function! " + broken + " has no entry \"dzip\".\n");
}

// Started through a link elsewhere, the program still looks beside its real file.
TEST_F(EngineLoadFailure, TheProgramsRealLocationCountsNotTheLinkStartedThrough) {
  const std::string broken = tree_.PlaceEngine("bin", VL_ENGINE_WITHOUT_ENTRY);
  const std::string link = tree_.Root() + "/elsewhere/vlbackup";
  tree_.PlaceEngine("elsewhere", VL_REAL_ENGINE);
  fs::create_symlink(Program(), link);
  const ProgramRun run = Run(link);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err, "vlbackup: Warning: Could not load dzip function! " + broken + " has no entry \"dzip\".\n");
}

}  // namespace
}  // namespace vl::test
