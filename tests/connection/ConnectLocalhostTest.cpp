// ConnectDatabase with nothing configured: every attempt goes to this machine
// (127.0.0.1), so these tests hold the "sqlserver-localhost" lock.
#include <gtest/gtest.h>

#include "SettingsFolders.h"
#include "connection/UtilityConnect.h"

namespace vl {
namespace {

TEST(ConnectLocalhost, NothingConfiguredAndNoServerGivesTheMessageForTheLocalInstance) {
  test::SettingsFolders settings;
  TADOConnection connection;
  std::string errorText;
  EXPECT_FALSE(ConnectDatabase(connection, errorText));
  // The configured source is empty, so the detail names this machine.
  EXPECT_EQ(errorText.rfind("Unable to connect to the Velloran database 'Velloran' on '.\\VELLORAN'.\n\n"
                            "Please check your connection properties.\n\n"
                            "The configured connection to this machine failed: ",
                            0),
            0u)
      << errorText;
  EXPECT_FALSE(connection.Connected());
}

}  // namespace
}  // namespace vl
