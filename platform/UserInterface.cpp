#include "platform/UserInterface.h"

#include <cstdio>

namespace vl::platform {
namespace {
class ConsoleUserInterface : public UserInterface {
 public:
  void ShowMessage(MessageKind, const std::string& caption, const std::string& text) override {
    std::string line = ConsoleLine(caption, text) + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
  }
  void SetCursor(AppCursor) override {}
  void RequestTerminate() override {}
};

ConsoleUserInterface& Console() {
  static ConsoleUserInterface console;
  return console;
}

UserInterface*& Installed() {
  static UserInterface* installed = nullptr;
  return installed;
}
}  // namespace

void InstallUserInterface(UserInterface* ui) { Installed() = ui; }

UserInterface& CurrentUserInterface() { return Installed() != nullptr ? *Installed() : Console(); }

const char* CaptionOf(MessageKind kind) {
  switch (kind) {
    case MessageKind::Warning: return "Warning";
    case MessageKind::Error: return "Error";
    case MessageKind::Information: return "Information";
  }
  return "";
}

void ShowMessage(MessageKind kind, const std::string& text) {
  CurrentUserInterface().ShowMessage(kind, CaptionOf(kind), text);
}

std::string ConsoleLine(const std::string& caption, const std::string& text) {
  std::string line = "vlbackup: " + caption + ": ";
  bool inBreak = false;
  for (char c : text) {
    if (c == '\n' || c == '\r') {
      if (!inBreak) line += ' ';
      inBreak = true;
    } else {
      line += c;
      inBreak = false;
    }
  }
  return line;
}

}  // namespace vl::platform
