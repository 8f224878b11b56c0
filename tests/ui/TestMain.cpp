// ui_tests <TestClass> [QTest options], or ui_tests Screenshot <idle|design|busy> <file.png>.
#include <QApplication>
#include <QTest>
#include <cstdio>
#include <functional>
#include <map>

#include "UiTest.h"

namespace vl::test {
namespace {
std::string& RecordedProgramPath() {
  static std::string path;
  return path;
}
}  // namespace

const std::string& ProgramPath() { return RecordedProgramPath(); }
}  // namespace vl::test

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  vl::platform::InitCommandLine(1, argv);
  vl::test::RecordedProgramPath() = vl::platform::ParamStr(0);

  const std::map<std::string, std::function<std::unique_ptr<QObject>()>> tests = {
      {"ModernFontsTest", vl::test::MakeModernFontsTest},
      {"QtUserInterfaceTest", vl::test::MakeQtUserInterfaceTest},
      {"FolderBrowserTest", vl::test::MakeFolderBrowserTest},
      {"MainWindowTest", vl::test::MakeMainWindowTest},
  };
  const std::string chosen = argc > 1 ? argv[1] : "";
  if (chosen == "Screenshot" && argc > 3) return vl::test::SaveMainWindowScreenshot(argv[2], argv[3]);

  std::vector<char*> qtestArguments{argv[0]};
  for (int i = 2; i < argc; ++i) qtestArguments.push_back(argv[i]);
  int status = 0;
  for (const auto& [name, make] : tests) {
    if (!chosen.empty() && chosen != name) continue;
    std::unique_ptr<QObject> test = make();
    status |= QTest::qExec(test.get(), static_cast<int>(qtestArguments.size()), qtestArguments.data());
  }
  if (!chosen.empty() && tests.find(chosen) == tests.end()) {
    std::fprintf(stderr, "unknown test class %s\n", chosen.c_str());
    return 2;
  }
  return status;
}
