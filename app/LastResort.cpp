#include "app/LastResort.h"

#include <cxxabi.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <typeinfo>

#include "app/job/RunModes.h"
#include "platform/CommandLine.h"
#include "platform/Error.h"
#include "platform/UserInterface.h"

namespace vl {
namespace {

std::string Demangled(const char* mangled) {
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> name(abi::__cxa_demangle(mangled, nullptr, nullptr, &status), &std::free);
  return (status == 0 && name) ? std::string(name.get()) : std::string(mangled);
}

std::string FullStopFor(const std::string& message) {
  return (!message.empty() && static_cast<unsigned char>(message.back()) > '.') ? "." : "";
}

std::string ModuleName() { return std::filesystem::path(platform::ParamStr(0)).filename().string(); }

std::string PointerText(const void* address) {
  char text[32];
  const int size = std::snprintf(text, sizeof text, "%p", address);
  return size > 0 ? std::string(text) : std::string();
}

// Stands for the code address Windows reports; stable for the program's life.
const void* HandlerAddress() {
  static const char anchor = 0;
  return &anchor;
}

}  // namespace

std::string ApplicationErrorText(const std::string& className, const std::string& module, const void* address,
                                 const std::string& message) {
  // The picture "Exception %s in module %s at %p.\n%s%s", filled in.
  return "Exception " + className + " in module " + module + " at " + PointerText(address) + ".\n" + message +
         FullStopFor(message);
}

std::string ErrorClassName(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const Exception& e) {
    return e.ClassName();
  } catch (const std::exception& e) {
    return Demangled(typeid(e).name());
  } catch (...) {
    const std::type_info* type = abi::__cxa_current_exception_type();
    return type != nullptr ? Demangled(type->name()) : std::string("unknown");
  }
}

std::string ErrorMessage(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return {};
  }
}

int HandleEscapedError(const std::exception_ptr& error) {
  const std::string text =
      ApplicationErrorText(ErrorClassName(error), ModuleName(), HandlerAddress(), ErrorMessage(error));
  try {
    platform::CurrentUserInterface().ShowMessage(platform::MessageKind::Error, ApplicationErrorCaption, text);
  } catch (...) {
    std::fputs((platform::ConsoleLine(ApplicationErrorCaption, text) + "\n").c_str(), stderr);
  }
  return ExitStopped;
}

}  // namespace vl
