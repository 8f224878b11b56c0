#include "RecordingEngine.h"

#include <cstring>

namespace {
vl::test::RecordingEngine& State() {
  static vl::test::RecordingEngine state;
  return state;
}

vl::test::RecordedCall Record(const ZIPCMDSTRUCT* command) {
  vl::test::RecordedCall call;
  call.commandAddress = command;
  std::memcpy(&call.command, command, sizeof call.command);
  if (command->lpMemBlock != nullptr) {
    call.hasBlock = true;
    std::memcpy(&call.block, command->lpMemBlock, sizeof call.block);
  }
  for (std::size_t i = 0; i < vl::test::RecordTextFields.size(); ++i) {
    const char* text = command->*vl::test::RecordTextFields[i];
    if (text != nullptr) call.texts[i] = std::string(text);
  }
  return call;
}
}  // namespace

extern "C" DZ_EXPORT vl::test::RecordingEngine* recording_engine() { return &State(); }

extern "C" DZ_EXPORT int32_t DZ_CALL dzip(ZIPCMDSTRUCT* command) {
  State().calls.push_back(Record(command));
  if (State().during) State().during(*command);
  return State().result;
}

// An engine built before the companion entry lacks it.
#ifndef RECORDING_ENGINE_WITHOUT_LAST_ERROR
extern "C" DZ_EXPORT const char* DZ_CALL dzip_last_error(void) { return State().lastError.c_str(); }
#endif
