// The SQL Server Browser look-up against a small local responder.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "connection/odbc/SqlBrowser.h"
#include "platform/Error.h"

namespace vl::odbc {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(SqlBrowserAnswer, PortOfTheNamedInstance) {
  const std::string two =
      "ServerName;SRV;InstanceName;OTHER;IsClustered;No;Version;15.0;tcp;1500;;"
      "ServerName;SRV;InstanceName;VELLORAN;IsClustered;No;Version;15.0;np;\\\\SRV\\pipe\\x;tcp;49170;;";
  EXPECT_EQ(TcpPortFromBrowserAnswer(two, "VELLORAN"), 49170);
  EXPECT_EQ(TcpPortFromBrowserAnswer(two, "velloran"), 49170);
  EXPECT_EQ(TcpPortFromBrowserAnswer(two, "OTHER"), 1500);
  EXPECT_EQ(TcpPortFromBrowserAnswer(two, "MISSING"), std::nullopt);
  EXPECT_EQ(TcpPortFromBrowserAnswer("ServerName;SRV;InstanceName;VELLORAN;np;x;;", "VELLORAN"), std::nullopt);
  EXPECT_EQ(TcpPortFromBrowserAnswer("ServerName;SRV;InstanceName;VELLORAN;tcp;99999;;", "VELLORAN"), std::nullopt);
  EXPECT_EQ(TcpPortFromBrowserAnswer("", "VELLORAN"), std::nullopt);
}

// A UDP responder on a free loopback port that answers from the given datagrams.
class Responder {
 public:
  Responder(std::string answer, int ignoreFirst) : answer_(std::move(answer)), ignoreFirst_(ignoreFirst) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t length = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length);
    port_ = ntohs(a.sin_port);
    timeval tv{0, 100000};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    thread_ = std::thread([this] { Serve(); });
  }
  ~Responder() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  int port() const { return port_; }
  std::string lastRequest() const { return request_; }
  int requests() const { return requests_; }

 private:
  void Serve() {
    while (!stop_) {
      char buffer[512];
      sockaddr_in from{};
      socklen_t length = sizeof from;
      const ssize_t got = ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
      if (got <= 0) continue;
      request_.assign(buffer, static_cast<std::size_t>(got));
      if (++requests_ <= ignoreFirst_) continue;  // lost on the way
      std::string reply = "\x05";
      reply += static_cast<char>(answer_.size() & 0xFF);
      reply += static_cast<char>(answer_.size() >> 8);
      reply += answer_;
      ::sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
    }
  }

  std::string answer_;
  int ignoreFirst_;
  int fd_ = -1;
  int port_ = 0;
  std::string request_;
  std::atomic<int> requests_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(SqlBrowserLookUp, AsksForTheInstanceAndRepeatsALostRequest) {
  Responder browser("ServerName;H;InstanceName;VELLORAN;IsClustered;No;Version;15.0;tcp;41433;;", 1);
  EXPECT_EQ(LookUpInstancePort("127.0.0.1", "VELLORAN", Clock::now() + 5s, browser.port()), 41433);
  EXPECT_EQ(browser.lastRequest(), std::string("\x04VELLORAN\0", 10));
  EXPECT_EQ(browser.requests(), 2);
}

TEST(SqlBrowserLookUp, InstanceWithoutTcpIsAnError) {
  Responder browser("ServerName;H;InstanceName;VELLORAN;np;x;;", 0);
  EXPECT_THROW(LookUpInstancePort("127.0.0.1", "VELLORAN", Clock::now() + 5s, browser.port()), Exception);
}

TEST(SqlBrowserLookUp, NoBrowserFailsBeforeTheDeadline) {
  // A bound socket that never answers: the look-up must give up at the deadline.
  Responder silent("", 1000);
  const auto start = Clock::now();
  EXPECT_THROW(LookUpInstancePort("127.0.0.1", "VELLORAN", start + 1500ms, silent.port()), Exception);
  const auto took = Clock::now() - start;
  EXPECT_GE(took, 1400ms);
  EXPECT_LT(took, 4s);
  EXPECT_GE(silent.requests(), 2);
}

TEST(SqlBrowserLookUp, ClosedPortAndBadNamesFailAtOnce) {
  int free = 0;
  {
    Responder probe("", 1000);
    free = probe.port();
  }
  const auto start = Clock::now();
  EXPECT_THROW(LookUpInstancePort("127.0.0.1", "VELLORAN", start + 5s, free), Exception);
  EXPECT_THROW(LookUpInstancePort("127.0.0.1", std::string(33, 'X'), start + 5s, free), Exception);
  EXPECT_THROW(LookUpInstancePort("no-such-host.invalid", "VELLORAN", start + 5s, free), Exception);
  EXPECT_LT(Clock::now() - start, 3s);
}

}  // namespace
}  // namespace vl::odbc
