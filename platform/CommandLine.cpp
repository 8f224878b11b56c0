#include "platform/CommandLine.h"

#include <filesystem>
#include <system_error>

namespace vl::platform {
namespace {
std::vector<std::string>& Args() {
  static std::vector<std::string> args;
  return args;
}

std::string OwnExecutablePath(const char* argv0) {
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) return self.string();
  // Without /proc only an absolute argv[0] names the program: a relative one
  // would be read against the current folder, where the engine must never be
  // looked for. An empty name leaves the program's folder unknown.
  const std::filesystem::path given(argv0 ? argv0 : "");
  if (!given.is_absolute()) return {};
  const auto real = std::filesystem::canonical(given, ec);
  return ec ? std::string() : real.string();
}
}  // namespace

void InitCommandLine(int argc, char** argv) {
  std::vector<std::string> args;
  args.push_back(OwnExecutablePath(argc > 0 ? argv[0] : nullptr));
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  SetCommandLine(std::move(args));
}

void SetCommandLine(std::vector<std::string> args) { Args() = std::move(args); }

int ParamCount() { return Args().empty() ? 0 : static_cast<int>(Args().size()) - 1; }

std::string ParamStr(int index) {
  if (index < 0 || index >= static_cast<int>(Args().size())) return {};
  return Args()[index];
}

std::span<const std::string> Arguments() {
  const std::vector<std::string>& args = Args();
  return args.empty() ? std::span<const std::string>() : std::span<const std::string>(args).subspan(1);
}

std::string ProgramFolder() { return std::filesystem::path(ParamStr(0)).parent_path().string(); }

}  // namespace vl::platform
