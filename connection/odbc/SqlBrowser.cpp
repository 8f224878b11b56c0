// The only place where the client opens a socket of its own.
#include "connection/odbc/SqlBrowser.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <utility>
#include <vector>

#include "platform/Error.h"
#include "platform/Text.h"

namespace vl::odbc {
namespace {

constexpr unsigned char ClntUcastInst = 0x04;
constexpr unsigned char SvrResp = 0x05;
constexpr std::size_t MaxInstanceNameLength = 32;  // bytes, as the protocol allows
constexpr auto RetryInterval = std::chrono::milliseconds(1000);

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  Socket& operator=(Socket&&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

struct AddressList {
  addrinfo* head = nullptr;
  ~AddressList() {
    if (head != nullptr) ::freeaddrinfo(head);
  }
};

std::vector<std::string_view> Split(std::string_view text, std::string_view separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const auto at = text.find(separator);
    if (at == std::string_view::npos) {
      parts.push_back(text);
      return parts;
    }
    parts.push_back(text.substr(0, at));
    text.remove_prefix(at + separator.size());
  }
}

std::string Describe(const std::string& host, const std::string& instance) {
  return "'" + host + "\\" + instance + "'";
}

Socket ConnectedUdpSocket(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  AddressList addresses;
  const std::string service = std::to_string(port);
  if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &addresses.head); rc != 0)
    throw Exception("The server '" + host + "' could not be found (" + ::gai_strerror(rc) + ").");
  for (addrinfo* a = addresses.head; a != nullptr; a = a->ai_next) {
    Socket socket(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
    if (socket.get() < 0) continue;
    // Connected, so only the browser's own answers arrive and a closed port shows.
    if (::connect(socket.get(), a->ai_addr, a->ai_addrlen) == 0) return socket;
  }
  throw Exception("The SQL Server Browser on '" + host + "' cannot be reached.");
}

std::vector<unsigned char> InstanceRequest(const std::string& instance) {
  // The type byte, the name, its terminating zero.
  std::vector<unsigned char> request(instance.size() + 2, 0);
  request[0] = ClntUcastInst;
  std::copy(instance.begin(), instance.end(), request.begin() + 1);
  return request;
}

// The answer's text, or nothing when the datagram is no SVR_RESP.
std::optional<std::string_view> AnswerText(const unsigned char* data, std::size_t size) {
  if (size < 3 || data[0] != SvrResp) return std::nullopt;
  const std::size_t declared = static_cast<std::size_t>(data[1]) | (static_cast<std::size_t>(data[2]) << 8);
  const std::size_t length = std::min(declared, size - 3);
  return std::string_view(reinterpret_cast<const char*>(data + 3), length);
}

}  // namespace

std::optional<int> TcpPortFromBrowserAnswer(std::string_view answer, std::string_view instance) {
  for (std::string_view record : Split(answer, ";;")) {
    const auto fields = Split(record, ";");
    std::optional<std::string_view> name;
    std::optional<int> port;
    for (std::size_t i = 0; i + 1 < fields.size(); i += 2) {
      if (SameText(fields[i], "InstanceName"))
        name = fields[i + 1];
      else if (SameText(fields[i], "tcp"))
        port = ParsePortNumber(fields[i + 1]);
    }
    if (name && SameText(*name, instance)) return port;
  }
  return std::nullopt;
}

int LookUpInstancePort(const std::string& host, const std::string& instance,
                       std::chrono::steady_clock::time_point deadline, int browserPort) {
  if (instance.empty() || instance.size() > MaxInstanceNameLength)
    throw Exception("The instance name in " + Describe(host, instance) + " is not valid.");
  const Socket socket = ConnectedUdpSocket(host, browserPort);
  const auto request = InstanceRequest(instance);
  std::vector<unsigned char> buffer(65535);
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) break;
    // A lost datagram is sent again; a send error shows in the receive below.
    (void)::send(socket.get(), request.data(), request.size(), MSG_NOSIGNAL);
    const auto resend = std::min(deadline, now + RetryInterval);
    while (std::chrono::steady_clock::now() < resend) {
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(resend - std::chrono::steady_clock::now());
      pollfd p{socket.get(), POLLIN, 0};
      const int ready = ::poll(&p, 1, static_cast<int>(std::max<long long>(wait.count(), 1)));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) break;
      const ssize_t got = ::recv(socket.get(), buffer.data(), buffer.size(), 0);
      if (got < 0) {
        if (errno == ECONNREFUSED)
          throw Exception("No SQL Server Browser answers on '" + host + "' for the instance " +
                          Describe(host, instance) + ".");
        continue;
      }
      const auto answer = AnswerText(buffer.data(), static_cast<std::size_t>(got));
      if (!answer) continue;
      if (const auto port = TcpPortFromBrowserAnswer(*answer, instance)) return *port;
      throw Exception("The SQL Server instance " + Describe(host, instance) +
                      " does not accept TCP connections or is unknown to its browser.");
    }
  }
  throw Exception("The SQL Server instance " + Describe(host, instance) +
                  " could not be found: no SQL Server Browser answered in time.");
}

}  // namespace vl::odbc
