// The engine's entry: checks the command record, runs the action and turns
// every failure into a result code. Only what a caller's callback raises passes
// through, unchanged, once the run has cleaned up after itself.
#include "dzip.h"

#include <exception>
#include <new>
#include <string>

#include "ArchiveUpdate.h"
#include "EngineError.h"
#include "ItemList.h"

namespace {

constexpr uint32_t kCancel = 0xFFFFFFFFu;

// The reason for the calling thread's last failure, read through dzip_last_error.
thread_local std::string lastError;

int32_t Failed(int32_t code, std::string reason) {
  lastError = std::move(reason);
  return code;
}

bool IsSet(DZ_BOOL flag) { return flag != DZ_FALSE; }

// Calls a caller's function, carrying anything it raises past the engine's
// own error handling.
template <typename Call>
auto CallOut(Call&& call) {
  try {
    return call();
  } catch (...) {
    throw dz::CallbackEscape{std::current_exception()};
  }
}

std::function<void(const std::string&, int32_t)> StatusReporter(DZ_STATUS_CALLBACK callback, void* userData) {
  if (callback == nullptr) return {};
  return [callback, userData](const std::string& item, int32_t percent) {
    uint32_t answer = CallOut([&] { return callback(item.c_str(), percent, userData); });
    if (answer == kCancel) throw dz::DzipError(DZ_ERR_CANCELLED, "cancelled while packing " + item);
  };
}

// Diagnostic lines go to the caller's message handler and nowhere else.
void Diagnose(const ZIPCMDSTRUCT& command, const std::string& text) {
  if (!IsSet(command.bDiagnostic) || command.lpMessageDisplay == nullptr) return;
  command.lpMessageDisplay(DZ_MSG_DIAGNOSTIC, 0, 0, 0, text.c_str(), "", command.lpMessageDisplayUserData);
}

dz::AddRequest MakeAddRequest(const ZIPCMDSTRUCT& command) {
  if (IsSet(command.encryptFlag)) throw dz::DzipError(DZ_ERR_UNSUPPORTED, "encryption is not supported");
  dz::AddRequest request;
  request.archivePath = command.lpszZIPFile != nullptr ? command.lpszZIPFile : "";
  request.items = dz::ParseItemList(command.lpszItemList);
  // Out-of-range factors take the nearest level rather than failing a backup.
  request.level = command.compFactor < 0 ? 0 : command.compFactor > 9 ? 9 : command.compFactor;
  request.bareNames = IsSet(command.noDirectoryNamesFlag);
  request.largeFiles = IsSet(command.largeZIPFilesFlag);
  request.major = StatusReporter(command.lpMajorStatus, command.lpMajorUserData);
  request.minor = StatusReporter(command.lpMinorStatus, command.lpMinorUserData);
  if (IsSet(command.bDiagnostic) && command.lpMessageDisplay != nullptr) {
    request.diagnostic = [&command](const std::string& text) { CallOut([&] { Diagnose(command, text); }); };
  }
  return request;
}

}  // namespace

extern "C" DZ_EXPORT int32_t DZ_CALL dzip(ZIPCMDSTRUCT* command) {
  lastError.clear();
  if (command == nullptr || command->zipStructSize != static_cast<int32_t>(sizeof(ZIPCMDSTRUCT))) {
    return Failed(DZ_ERR_BAD_RECORD, "the command record is missing or has the wrong size");
  }
  if (command->function != DZ_ACTION_ADD) {
    return Failed(DZ_ERR_UNSUPPORTED, "action " + std::to_string(command->function) + " is not supported");
  }

  int32_t code = DZ_OK;
  std::string failure;
  try {
    dz::AddToArchive(MakeAddRequest(*command));
  } catch (const dz::CallbackEscape& escape) {
    std::rethrow_exception(escape.raised);
  } catch (const dz::DzipError& e) {
    code = e.Code();
    failure = e.what();
  } catch (const std::bad_alloc&) {
    code = DZ_ERR_INTERNAL;
    failure = "out of memory";
  } catch (const std::exception& e) {
    code = DZ_ERR_INTERNAL;
    failure = e.what();
  }
  if (code == DZ_OK) return DZ_OK;
  Diagnose(*command, std::string(DzipResultText(code)) + ": " + failure);
  return Failed(code, failure);
}

extern "C" DZ_EXPORT const char* DZ_CALL dzip_last_error(void) { return lastError.c_str(); }
