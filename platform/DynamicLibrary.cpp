#include "platform/DynamicLibrary.h"

#include <algorithm>
#include <cctype>
#include <dlfcn.h>

#include "platform/CommandLine.h"
#include "platform/Files.h"

namespace vl::platform {

void DynamicLibrary::Closer::operator()(void* handle) const { ::dlclose(handle); }

std::string DynamicLibrary::NativeName(const std::string& windowsName) {
  std::string base = windowsName;
  std::transform(base.begin(), base.end(), base.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (base.size() > 4 && base.ends_with(".dll")) base.resize(base.size() - 4);
  return "lib" + base + ".so";
}

DynamicLibrary DynamicLibrary::Load(const std::string& windowsName) {
  const std::string native = NativeName(windowsName);
  DynamicLibrary lib;
  const std::string beside = ProgramFolder() + "/" + native;
  if (FileExists(beside)) lib.handle_.reset(::dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL));
  if (!lib.handle_) lib.handle_.reset(::dlopen(native.c_str(), RTLD_NOW | RTLD_LOCAL));
  return lib;
}

void* DynamicLibrary::Symbol(const char* name) const {
  return handle_ ? ::dlsym(handle_.get(), name) : nullptr;
}

}  // namespace vl::platform
