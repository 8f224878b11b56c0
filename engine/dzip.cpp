// The engine's entry: checks the command record, runs the action and turns
// every failure into a result code. Only what a caller's callback raises passes
// through, unchanged, once the run has cleaned up after itself.
#include "dzip.h"

#include <exception>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "ArchiveUpdate.h"
#include "EngineError.h"
#include "ItemList.h"

namespace {

constexpr uint32_t kCancel = 0xFFFFFFFFu;

// The reason for each thread's last failure, read through dzip_last_error. A
// table of the engine's own, not thread-local storage: the engine is loaded and
// unloaded at run time, and an unloaded library's thread-local blocks stay
// registered in every thread that outlives it (leak checkers trip over them).
// A text stays valid until its thread's next call; a success removes it.
class LastErrors {
 public:
  void Set(std::string reason) {
    std::lock_guard lock(mutex_);
    table_[std::this_thread::get_id()] = std::move(reason);
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    table_.erase(std::this_thread::get_id());
  }
  const char* Get() {
    std::lock_guard lock(mutex_);
    auto found = table_.find(std::this_thread::get_id());
    return found == table_.end() ? "" : found->second.c_str();
  }

 private:
  std::mutex mutex_;
  std::map<std::thread::id, std::string> table_;
};

LastErrors lastErrors;

int32_t Failed(int32_t code, std::string reason) {
  lastErrors.Set(std::move(reason));
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
  lastErrors.Clear();
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

extern "C" DZ_EXPORT const char* DZ_CALL dzip_last_error(void) { return lastErrors.Get(); }
