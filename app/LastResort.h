#pragma once
// The last-resort handler: an error that escapes the silent job is shown in a
// box captioned "Application Error" and ends the program with exit code 1.
#include <exception>
#include <string>

namespace vl {

inline constexpr const char* ApplicationErrorCaption = "Application Error";

// "Exception <class> in module <module> at <address>.\n<message><dot>", the dot
// being a full stop appended when the message's last character sorts after it
// (the rule of the standard error box), so the text ends in one sentence mark.
std::string ApplicationErrorText(const std::string& className, const std::string& module, const void* address,
                                 const std::string& message);

// The class name of an error: ClassName() of the system's own errors, the
// demangled type name of any other.
std::string ErrorClassName(const std::exception_ptr& error);
std::string ErrorMessage(const std::exception_ptr& error);

// Shows the box for the error (module: the base name of the program's file)
// and returns the exit code the program then ends with.
int HandleEscapedError(const std::exception_ptr& error);

}  // namespace vl
