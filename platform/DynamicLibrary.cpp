#include "platform/DynamicLibrary.h"

#include <dlfcn.h>
#include <algorithm>
#include <filesystem>

#include "platform/CommandLine.h"
#include "platform/Files.h"
#include "platform/Text.h"

#ifndef VL_LIBRARY_ARCHITECTURE
#define VL_LIBRARY_ARCHITECTURE ""
#endif

namespace vl::platform {
namespace {

// The installation's private library folders relative to the program's bin folder.
std::vector<std::string> PrivateLibraryFolders() {
  std::vector<std::string> folders;
  const std::string multiarch = VL_LIBRARY_ARCHITECTURE;
  if (!multiarch.empty()) folders.push_back("../lib/" + multiarch + "/vlbackup");
  folders.push_back("../lib/vlbackup");
  return folders;
}

std::string JoinedForMessage(const std::vector<std::string>& folders) {
  std::string text;
  for (std::size_t i = 0; i < folders.size(); ++i) {
    if (i > 0) text += i + 1 == folders.size() ? " or " : ", ";
    text += folders[i];
  }
  return text;
}

}  // namespace

void DynamicLibrary::Closer::operator()(void* handle) const { ::dlclose(handle); }

std::string DynamicLibrary::NativeName(const std::string& windowsName) {
  std::string base = windowsName;
  std::transform(base.begin(), base.end(), base.begin(), LowerAscii);
  if (base.size() > 4 && base.ends_with(".dll")) base.resize(base.size() - 4);
  return "lib" + base + ".so";
}

std::vector<std::string> DynamicLibrary::SearchFolders(const std::string& programFolder) {
  const std::filesystem::path program(programFolder);
  if (!program.is_absolute()) return {};
  // The program's folder comes from /proc/self/exe, with every link resolved, so
  // ".." here is the real parent and may be removed lexically.
  std::vector<std::string> folders{program.lexically_normal().string()};
  for (const auto& relative : PrivateLibraryFolders())
    folders.push_back((program / relative).lexically_normal().string());
  return folders;
}

DynamicLibrary DynamicLibrary::Load(const std::string& windowsName) {
  const std::string native = NativeName(windowsName);
  DynamicLibrary lib;
  const std::vector<std::string> folders = SearchFolders(ProgramFolder());
  if (folders.empty()) {
    lib.failure_ = "The program's own folder is unknown, so " + native + " is not looked for.";
    return lib;
  }
  // The first file found is the one: a damaged engine is reported, not passed over for another.
  for (const auto& folder : folders) {
    const std::string candidate = folder + "/" + native;
    if (!FileExists(candidate)) continue;
    lib.path_ = candidate;
    ::dlerror();
    lib.handle_.reset(::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!lib.handle_) {
      const char* reason = ::dlerror();
      lib.failure_ = reason != nullptr ? reason : candidate + ": cannot be loaded";
    }
    return lib;
  }
  lib.failure_ = native + " was not found in " + JoinedForMessage(folders) + ".";
  return lib;
}

void* DynamicLibrary::Symbol(const char* name) const { return handle_ ? ::dlsym(handle_.get(), name) : nullptr; }

}  // namespace vl::platform
