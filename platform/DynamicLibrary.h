#pragma once
// A loaded shared library, released when the object goes. A Windows library name
// such as "DZIP32.DLL" stands for "libdzip32.so", looked up in the program's own
// folder first and then along the library search path.
#include <memory>
#include <string>

namespace vl::platform {

class DynamicLibrary {
 public:
  // An unloaded library when the name cannot be loaded.
  static DynamicLibrary Load(const std::string& windowsName);

  DynamicLibrary() = default;
  bool IsLoaded() const { return handle_ != nullptr; }
  void* Symbol(const char* name) const;  // null when absent or not loaded
  void Release() { handle_.reset(); }

  // "DZIP32.DLL" -> "libdzip32.so".
  static std::string NativeName(const std::string& windowsName);

 private:
  struct Closer {
    void operator()(void* handle) const;
  };
  std::unique_ptr<void, Closer> handle_;
};

}  // namespace vl::platform
