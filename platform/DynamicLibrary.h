#pragma once
// A loaded shared library, released when the object goes. A Windows library name
// such as "DZIP32.DLL" stands for "libdzip32.so". It is taken only from folders the
// installation owns, found from the program's own real location: the program's
// folder (the build tree), then ../lib/<multiarch>/vlbackup and ../lib/vlbackup
// (an installed tree under any prefix). Never from the library search path, the
// current directory or LD_LIBRARY_PATH, since a root run from a scheduler must
// not run code from anywhere else.
#include <memory>
#include <string>
#include <vector>

namespace vl::platform {

class DynamicLibrary {
 public:
  // An unloaded library, with Failure() saying why, when the name cannot be loaded.
  static DynamicLibrary Load(const std::string& windowsName);

  DynamicLibrary() = default;
  bool IsLoaded() const { return handle_ != nullptr; }
  void* Symbol(const char* name) const;  // null when absent or not loaded
  void Release() { handle_.reset(); }
  const std::string& Path() const { return path_; }        // the file loaded, or the one that failed
  const std::string& Failure() const { return failure_; }  // why loading failed; empty once loaded

  // "DZIP32.DLL" -> "libdzip32.so".
  static std::string NativeName(const std::string& windowsName);
  // The folders looked in, in order, for a program in programFolder (empty when it is not absolute).
  static std::vector<std::string> SearchFolders(const std::string& programFolder);

 private:
  struct Closer {
    void operator()(void* handle) const;
  };
  std::unique_ptr<void, Closer> handle_;
  std::string path_;
  std::string failure_;
};

}  // namespace vl::platform
