#pragma once
// Starts the stand-in SQL Server (standin/sqlstandin.py) for one test and stops it
// again when the StandIn object goes out of scope.
//
// The test target must pass two compile definitions:
//   VL_SOURCE_DIR="${CMAKE_SOURCE_DIR}"     (the script is VL_SOURCE_DIR/standin/sqlstandin.py)
//   VL_PYTHON="${Python3_EXECUTABLE}"
//
// Example:
//   vl::test::StandIn server(vl::test::StandInConfig().login("MSSQLSERVER", "sa", "pw"));
//   connect to server.host() (default instance, port 1433) or
//   server.host() + "\\VELLORAN" (found through the browser on UDP 1434 of that host);
//   then inspect server.journal().
//
// Encryption as at a real site: StandInConfig().encryption("login") (a self-signed
// certificate; the journal's login "encryption" reads "login-only" or "full") or
// "forced"; with .certificate(cert, key) from MakeTestCertificates the client can
// check the server against that CA.
//
// Every server gets its own random loopback address 127.x.y.z by default, so the
// default instance and the browser can use the real ports 1433 and 1434 without
// clashing with other tests running at the same time.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/pidfd.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "TempDir.h"

#ifndef VL_SOURCE_DIR
#error "StandIn.h needs VL_SOURCE_DIR (the source tree) as a compile definition"
#endif
#ifndef VL_PYTHON
#error "StandIn.h needs VL_PYTHON (the Python 3 interpreter) as a compile definition"
#endif

namespace vl::test {

// ------------------------------------------------------------------ JSON

// A JSON value: enough of JSON to read the server's ready line and journal.
struct Json {
  using Array = std::vector<Json>;
  using Object = std::map<std::string, Json>;
  std::variant<std::nullptr_t, bool, double, std::string, Array, Object> value = nullptr;

  bool isNull() const { return std::holds_alternative<std::nullptr_t>(value); }
  bool isString() const { return std::holds_alternative<std::string>(value); }
  bool isNumber() const { return std::holds_alternative<double>(value); }
  bool isBool() const { return std::holds_alternative<bool>(value); }
  const Object* object() const { return std::get_if<Object>(&value); }
  const Array* array() const { return std::get_if<Array>(&value); }
};

class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : text_(text) {}

  Json parseDocument() {
    Json result = parseValue();
    skipSpace();
    if (pos_ != text_.size()) fail("trailing characters");
    return result;
  }

 private:
  [[noreturn]] void fail(const std::string& why) const {
    throw std::runtime_error("bad JSON (" + why + ") at " + std::to_string(pos_) + ": " + text_);
  }
  void skipSpace() {
    while (pos_ < text_.size() && std::string(" \t\r\n").find(text_[pos_]) != std::string::npos) ++pos_;
  }
  char peek() {
    skipSpace();
    if (pos_ >= text_.size()) fail("unexpected end");
    return text_[pos_];
  }
  void expect(char c) {
    if (peek() != c) fail(std::string("expected '") + c + "'");
    ++pos_;
  }
  bool literal(const char* word) {
    const std::string w(word);
    if (text_.compare(pos_, w.size(), w) != 0) return false;
    pos_ += w.size();
    return true;
  }

  Json parseValue() {
    const char c = peek();
    Json out;
    if (c == '{') {
      out.value = parseObject();
    } else if (c == '[') {
      out.value = parseArray();
    } else if (c == '"') {
      out.value = parseString();
    } else if (literal("true")) {
      out.value = true;
    } else if (literal("false")) {
      out.value = false;
    } else if (literal("null")) {
      out.value = nullptr;
    } else {
      out.value = parseNumber();
    }
    return out;
  }

  Json::Object parseObject() {
    Json::Object object;
    expect('{');
    if (peek() == '}') {
      ++pos_;
      return object;
    }
    while (true) {
      if (peek() != '"') fail("expected a key");
      std::string key = parseString();
      expect(':');
      object[key] = parseValue();
      if (peek() == ',') {
        ++pos_;
        continue;
      }
      expect('}');
      return object;
    }
  }

  Json::Array parseArray() {
    Json::Array array;
    expect('[');
    if (peek() == ']') {
      ++pos_;
      return array;
    }
    while (true) {
      array.push_back(parseValue());
      if (peek() == ',') {
        ++pos_;
        continue;
      }
      expect(']');
      return array;
    }
  }

  double parseNumber() {
    const size_t start = pos_;
    while (pos_ < text_.size() && std::string("+-0123456789.eE").find(text_[pos_]) != std::string::npos) ++pos_;
    if (start == pos_) fail("unexpected character");
    try {
      return std::stod(text_.substr(start, pos_ - start));
    } catch (const std::exception&) {
      fail("bad number");
    }
  }

  unsigned hex4() {
    if (pos_ + 4 > text_.size()) fail("short \\u escape");
    unsigned value = 0;
    for (int i = 0; i < 4; ++i) {
      const char h = text_[pos_++];
      value <<= 4;
      if (h >= '0' && h <= '9')
        value |= unsigned(h - '0');
      else if (h >= 'a' && h <= 'f')
        value |= unsigned(h - 'a' + 10);
      else if (h >= 'A' && h <= 'F')
        value |= unsigned(h - 'A' + 10);
      else
        fail("bad \\u escape");
    }
    return value;
  }

  static void appendUtf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
      out += char(cp);
    } else if (cp < 0x800) {
      out += char(0xC0 | (cp >> 6));
      out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += char(0xE0 | (cp >> 12));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    } else {
      out += char(0xF0 | (cp >> 18));
      out += char(0x80 | ((cp >> 12) & 0x3F));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    }
  }

  std::string parseString() {
    expect('"');
    std::string out;
    while (true) {
      if (pos_ >= text_.size()) fail("unterminated string");
      const char c = text_[pos_++];
      if (c == '"') return out;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= text_.size()) fail("unterminated escape");
      const char e = text_[pos_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          unsigned cp = hex4();
          if (cp >= 0xD800 && cp < 0xDC00 && text_.compare(pos_, 2, "\\u") == 0) {
            pos_ += 2;
            const unsigned low = hex4();
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          appendUtf8(out, cp);
          break;
        }
        default: fail("unknown escape");
      }
    }
  }

  const std::string& text_;
  size_t pos_ = 0;
};

inline std::string JsonQuote(const std::string& text) {
  std::string out = "\"";
  for (const unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

// ------------------------------------------------------------------ journal

// One journal line. Missing keys read as empty text, 0 or false.
struct JournalRecord {
  Json::Object fields;

  std::string event() const { return text("event"); }
  bool has(const std::string& key) const { return fields.count(key) != 0; }
  bool isNull(const std::string& key) const {
    auto it = fields.find(key);
    return it == fields.end() || it->second.isNull();
  }
  std::string text(const std::string& key) const {
    auto it = fields.find(key);
    if (it == fields.end() || !it->second.isString()) return {};
    return std::get<std::string>(it->second.value);
  }
  long long number(const std::string& key) const {
    auto it = fields.find(key);
    if (it == fields.end() || !it->second.isNumber()) return 0;
    return static_cast<long long>(std::get<double>(it->second.value));
  }
  bool flag(const std::string& key) const {
    auto it = fields.find(key);
    return it != fields.end() && it->second.isBool() && std::get<bool>(it->second.value);
  }
  // The statement's parameter values; a NULL parameter reads as empty text.
  std::vector<std::string> params() const {
    std::vector<std::string> out;
    auto it = fields.find("params");
    if (it == fields.end() || it->second.array() == nullptr) return out;
    for (const Json& item : *it->second.array())
      out.push_back(item.isString() ? std::get<std::string>(item.value) : std::string());
    return out;
  }
};

inline std::vector<JournalRecord> ParseJournal(const std::string& content) {
  std::vector<JournalRecord> records;
  std::istringstream lines(content);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    Json value = JsonReader(line).parseDocument();
    if (value.object() == nullptr) throw std::runtime_error("journal line is no object: " + line);
    records.push_back(JournalRecord{*value.object()});
  }
  return records;
}

// ------------------------------------------------------------------ configuration

inline std::string RandomLoopbackHost() {
  static thread_local std::mt19937 engine(std::random_device{}());
  std::uniform_int_distribution<int> octet(1, 254);
  // 127.0.0.x stays free for tests that must use localhost itself.
  return "127." + std::to_string(octet(engine)) + "." + std::to_string(octet(engine)) + "." +
         std::to_string(octet(engine));
}

struct StandInLogin {
  std::string user;
  std::string password;
};

// What the stand-in serves. Defaults: a random loopback host, the default
// instance on port 1433, "VELLORAN" on a free port, the browser on UDP 1434,
// the database "Velloran", "sa"/"MarlyK5vo" on VELLORAN and no login on the
// default instance, a 64 KiB backup, no faults.
class StandInConfig {
 public:
  StandInConfig() {
    instances_["MSSQLSERVER"] = 1433;
    instances_["VELLORAN"] = 0;
    logins_["VELLORAN"] = {{"sa", "MarlyK5vo"}};
  }

  StandInConfig& host(std::string value) {
    host_ = std::move(value);
    return *this;
  }
  // port 0 means any free port.
  StandInConfig& instance(const std::string& name, int port) {
    instances_[name] = port;
    return *this;
  }
  StandInConfig& withoutInstance(const std::string& name) {
    instances_.erase(name);
    return *this;
  }
  // std::nullopt: no browser; 0: any free UDP port.
  StandInConfig& browserPort(std::optional<int> port) {
    browserPort_ = port;
    return *this;
  }
  StandInConfig& login(const std::string& instanceName, const std::string& user, const std::string& password) {
    logins_[instanceName].push_back({user, password});
    return *this;
  }
  StandInConfig& noLogins(const std::string& instanceName) {
    logins_[instanceName].clear();
    return *this;
  }
  StandInConfig& databases(std::vector<std::string> names) {
    databases_ = std::move(names);
    return *this;
  }
  StandInConfig& backupSize(long long bytes) {
    backupSize_ = bytes;
    return *this;
  }
  // number 3201 with osError 3 or 5 gives SQL Server's "Cannot open backup device" text.
  StandInConfig& backupError(int number, int osError = 5, const std::string& message = "") {
    backupError_ = "{\"number\": " + std::to_string(number) + ", \"os_error\": " + std::to_string(osError) +
                   (message.empty() ? "" : ", \"message\": " + JsonQuote(message)) + "}";
    return *this;
  }
  StandInConfig& updateError(int number, const std::string& message) {
    updateError_ = "{\"number\": " + std::to_string(number) + ", \"message\": " + JsonQuote(message) + "}";
    return *this;
  }
  // Applies to BACKUP and UPDATE statements, before they do anything: nothing is
  // written while it waits.
  StandInConfig& delaySeconds(double seconds) {
    delaySeconds_ = seconds;
    return *this;
  }
  // The backup file is written and journaled, then the answer waits this long
  // (a cancel from the client ends the wait): time for a test to act between
  // the server's write and the client's next step.
  StandInConfig& delayAfterWrite(double seconds) {
    delayAfterWrite_ = seconds;
    return *this;
  }
  // "off" (answers "encryption not supported"), "login" (a certificate: login-only
  // TLS for a client that says OFF, full TLS for ON/REQUIRED) or "forced" (full
  // TLS for everyone, refuses a client that cannot encrypt).
  StandInConfig& encryption(std::string mode) {
    encryption_ = std::move(mode);
    return *this;
  }
  // PEM files of the server's certificate and key (e.g. from MakeTestCertificates);
  // without them a self-signed certificate for the host is made at start.
  StandInConfig& certificate(std::string certPath, std::string keyPath) {
    certPath_ = std::move(certPath);
    keyPath_ = std::move(keyPath);
    return *this;
  }
  // "backup" or "update": the connection is closed when that statement arrives.
  StandInConfig& dropConnectionOn(const std::string& statement) {
    dropOn_ = statement;
    return *this;
  }
  // Accept TCP connections and never answer.
  StandInConfig& silentLogin(bool on = true) {
    silentLogin_ = on;
    return *this;
  }

  bool hostChosen() const { return !host_.empty(); }

  std::string toJson(const std::string& host, const std::string& journalPath) const {
    std::ostringstream out;
    out << "{\"host\": " << JsonQuote(host) << ", \"instances\": {";
    const char* sep = "";
    for (const auto& [name, port] : instances_) {
      out << sep << JsonQuote(name) << ": {\"port\": " << port << "}";
      sep = ", ";
    }
    out << "}, \"browser_port\": " << (browserPort_ ? std::to_string(*browserPort_) : "null");
    out << ", \"logins\": {";
    sep = "";
    for (const auto& [name, list] : logins_) {
      out << sep << JsonQuote(name) << ": [";
      const char* inner = "";
      for (const auto& login : list) {
        out << inner << "{\"user\": " << JsonQuote(login.user) << ", \"password\": " << JsonQuote(login.password)
            << "}";
        inner = ", ";
      }
      out << "]";
      sep = ", ";
    }
    out << "}, \"encryption\": " << JsonQuote(encryption_) << ", \"certificate\": "
        << (certPath_.empty() ? std::string("null")
                              : "{\"cert\": " + JsonQuote(certPath_) + ", \"key\": " + JsonQuote(keyPath_) + "}");
    out << ", \"databases\": [";
    sep = "";
    for (const auto& name : databases_) {
      out << sep << JsonQuote(name);
      sep = ", ";
    }
    out << "], \"backup_size\": " << backupSize_ << ", \"journal\": " << JsonQuote(journalPath)
        << ", \"faults\": {\"backup_error\": " << backupError_ << ", \"update_error\": " << updateError_
        << ", \"delay_seconds\": " << delaySeconds_ << ", \"delay_after_write_seconds\": " << delayAfterWrite_
        << ", \"drop_connection_on\": " << (dropOn_.empty() ? "null" : JsonQuote(dropOn_))
        << ", \"silent_login\": " << (silentLogin_ ? "true" : "false") << "}}";
    return out.str();
  }

  const std::string& chosenHost() const { return host_; }

 private:
  std::string host_;
  std::map<std::string, int> instances_;
  std::optional<int> browserPort_ = 1434;
  std::map<std::string, std::vector<StandInLogin>> logins_;
  std::vector<std::string> databases_ = {"Velloran"};
  long long backupSize_ = 65536;
  std::string backupError_ = "null";
  std::string updateError_ = "null";
  double delaySeconds_ = 0;
  double delayAfterWrite_ = 0;
  std::string encryption_ = "off";
  std::string certPath_;
  std::string keyPath_;
  std::string dropOn_;
  bool silentLogin_ = false;
};

// The stand-in with a login on its default instance and none on VELLORAN, so no
// fallback login can succeed behind a test's back.
inline StandInConfig ServerWithLogin(const std::string& user, const std::string& password) {
  return StandInConfig().login("MSSQLSERVER", user, password).noLogins("VELLORAN");
}

// ------------------------------------------------------------------ certificates

struct TestCertificates {
  std::string caCert;      // the throwaway CA, for a client's "ca file"
  std::string serverCert;  // signed by it for the host (IP subjectAltName), for certificate()
  std::string serverKey;
};

// Makes a new CA and a server certificate for host in folder (files
// <name>-ca.pem, <name>-server.pem, <name>-server.key), with the openssl command.
// Two calls with different names give two CAs that do not trust each other.
inline TestCertificates MakeTestCertificates(const std::string& folder, const std::string& host,
                                             const std::string& name = "test") {
  std::vector<std::string> args = {VL_PYTHON, std::string(VL_SOURCE_DIR) + "/standin/tls.py", folder, host, name};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) ::dup2(null, STDOUT_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  if (pid < 0) throw std::runtime_error("fork failed");
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error("making test certificates in " + folder + " failed");
  const std::string base = folder + "/" + name;
  return {base + "-ca.pem", base + "-server.pem", base + "-server.key"};
}

// ------------------------------------------------------------------ the server

class StandIn {
 public:
  explicit StandIn(const StandInConfig& config = StandInConfig(),
                   std::chrono::milliseconds readyTimeout = std::chrono::seconds(30))
      : journalPath_(dir_ / "journal.jsonl") {
    // A random host may, very rarely, already carry another test's server.
    const int attempts = config.hostChosen() ? 1 : 5;
    for (int attempt = 1;; ++attempt) {
      host_ = config.hostChosen() ? config.chosenHost() : RandomLoopbackHost();
      WriteFile(dir_ / "config.json", config.toJson(host_, journalPath_));
      try {
        start(readyTimeout);
        return;
      } catch (const std::exception&) {
        if (attempt >= attempts) throw;
      }
    }
  }
  ~StandIn() { stop(); }
  StandIn(const StandIn&) = delete;
  StandIn& operator=(const StandIn&) = delete;

  const std::string& host() const { return host_; }
  int port(const std::string& instance = "MSSQLSERVER") const {
    auto it = ports_.find(instance);
    if (it == ports_.end()) throw std::runtime_error("the stand-in serves no instance " + instance);
    return it->second;
  }
  // 0 when no browser runs.
  int browserPort() const { return browserPort_; }
  // The PEM file of the certificate the server presents; empty when it does not encrypt.
  const std::string& certificatePath() const { return certificatePath_; }
  const std::string& journalPath() const { return journalPath_; }
  std::vector<JournalRecord> journal() const { return ParseJournal(ReadFile(journalPath_)); }
  std::vector<JournalRecord> journal(const std::string& event) const {
    std::vector<JournalRecord> out;
    for (auto& record : journal())
      if (record.event() == event) out.push_back(record);
    return out;
  }
  std::string stderrText() const { return ReadFile(dir_ / "stderr.txt"); }
  // A folder that lives as long as the server, for backup targets and the like.
  const TempDir& folder() const { return dir_; }

  // Ends the server (SIGTERM, then SIGKILL after 5 s); safe to call twice.
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (!awaitExit(std::chrono::seconds(5))) ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    closeFd(stdoutFd_);
  }

 private:
  static void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }

  // Waits up to limit for the server to end, woken by its exit rather than
  // polling; false when it still runs (or cannot be watched).
  bool awaitExit(std::chrono::milliseconds limit) const {
    const int fd = ::pidfd_open(pid_, 0);
    if (fd < 0) return false;
    pollfd p{fd, POLLIN, 0};
    int n;
    while ((n = ::poll(&p, 1, static_cast<int>(limit.count()))) < 0 && errno == EINTR) {
    }
    ::close(fd);
    return n > 0;
  }

  void start(std::chrono::milliseconds readyTimeout) {
    const std::string python = VL_PYTHON;
    const std::string script = std::string(VL_SOURCE_DIR) + "/standin/sqlstandin.py";
    const std::string configPath = dir_ / "config.json";
    const std::string errPath = dir_ / "stderr.txt";
    std::vector<std::string> args = {python, "-u", script, "--config", configPath, "--exit-with-parent"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (err < 0) {
      ::close(out[0]);
      ::close(out[1]);
      throw std::runtime_error("cannot create " + errPath);
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::dup2(err, STDERR_FILENO);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err);
    if (pid < 0) {
      ::close(out[0]);
      throw std::runtime_error("fork failed");
    }
    pid_ = pid;
    stdoutFd_ = out[0];
    std::string line;
    const bool ready = readLine(line, readyTimeout);
    if (!ready || !parseReady(line)) {
      stop();
      throw std::runtime_error("the stand-in SQL Server did not start (" +
                               (ready ? "ready line: " + line : std::string("no ready line")) + "): " + stderrText());
    }
  }

  bool readLine(std::string& line, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{stdoutFd_, POLLIN, 0};
      const int n = ::poll(&p, 1, static_cast<int>(left.count()));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      char c;
      const ssize_t got = ::read(stdoutFd_, &c, 1);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      if (c == '\n') return true;
      line += c;
    }
  }

  bool parseReady(const std::string& line) {
    try {
      const Json value = JsonReader(line).parseDocument();
      const Json::Object* object = value.object();
      if (object == nullptr || object->count("ready") == 0) return false;
      const Json::Object* instances = object->at("instances").object();
      if (instances == nullptr) return false;
      for (const auto& [name, port] : *instances) ports_[name] = static_cast<int>(std::get<double>(port.value));
      const Json& browser = object->at("browser_port");
      browserPort_ = browser.isNumber() ? static_cast<int>(std::get<double>(browser.value)) : 0;
      auto certificate = object->find("certificate");
      if (certificate != object->end() && certificate->second.isString())
        certificatePath_ = std::get<std::string>(certificate->second.value);
      return true;
    } catch (const std::exception&) {
      return false;
    }
  }

  TempDir dir_;
  std::string journalPath_;
  std::string host_;
  std::map<std::string, int> ports_;
  int browserPort_ = 0;
  std::string certificatePath_;
  pid_t pid_ = -1;
  int stdoutFd_ = -1;
};

}  // namespace vl::test
