#include "platform/UserInterface.h"

#include <gtest/gtest.h>

namespace vl::platform {
namespace {

TEST(UserInterface, ConsoleLineKeepsOneLinePerBox) {
  EXPECT_EQ(ConsoleLine("Warning", "Error backing up Database.\n\r\n\rdisk\n\r\n\rPlease call."),
            "vlbackup: Warning: Error backing up Database. disk Please call.");
  EXPECT_EQ(ConsoleLine("Error", "plain"), "vlbackup: Error: plain");
}

struct RecordingUi : UserInterface {
  std::string caption, text;
  void ShowMessage(MessageKind, const std::string& c, const std::string& t) override {
    caption = c;
    text = t;
  }
  void SetCursor(AppCursor) override {}
  void RequestTerminate() override {}
};

TEST(UserInterface, BoxesGoToTheInstalledInterfaceWithTheirCaption) {
  RecordingUi ui;
  InstallUserInterface(&ui);
  ShowMessage(MessageKind::Information, "done");
  InstallUserInterface(nullptr);
  EXPECT_EQ(ui.caption, "Information");
  EXPECT_EQ(ui.text, "done");
  EXPECT_STREQ(CaptionOf(MessageKind::Warning), "Warning");
  EXPECT_STREQ(CaptionOf(MessageKind::Error), "Error");
}

}  // namespace
}  // namespace vl::platform
