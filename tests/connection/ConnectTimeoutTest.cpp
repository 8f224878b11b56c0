// A server that never answers, and a browser that never answers: each open
// gives up after about the connection time-out of 5 seconds.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "SettingsFolders.h"
#include "StandIn.h"
#include "connection/UtilityConnect.h"
#include "platform/Error.h"

namespace vl {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

TEST(ConnectTimeout, SilentServerEndsEachAttemptAfterAboutFiveSeconds) {
  test::StandIn server(test::StandInConfig().silentLogin());
  test::SettingsFolders settings;
  settings.WriteDataFile({"Data Source=" + server.host(), "User ID=sa", "Password=pw"});
  settings.WriteConfigFile(true);  // two attempts: the configured one, the product instance
  TADOConnection connection;
  std::string errorText;
  const auto start = Clock::now();
  EXPECT_FALSE(ConnectDatabase(connection, errorText));
  const double took = SecondsSince(start);
  EXPECT_GE(took, 8.0);
  EXPECT_LE(took, 16.0);
  EXPECT_NE(errorText.find("Unable to connect"), std::string::npos);
}

TEST(ConnectTimeout, SilentBrowserEndsTheOpenAfterTheTimeout) {
  // A UDP socket on port 1434 of a loopback address of its own that never answers.
  const std::string host = test::RandomLoopbackHost();
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(1434);
  ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  TADOConnection connection;
  connection.ConnectionString = "Data Source=" + host + "\\VELLORAN;User ID=sa;Password=x";
  connection.ConnectionTimeout = 5;
  const auto start = Clock::now();
  EXPECT_THROW(connection.Open(), Exception);
  const double took = SecondsSince(start);
  ::close(fd);
  EXPECT_GE(took, 4.5);
  EXPECT_LE(took, 8.0);
}

}  // namespace
}  // namespace vl
