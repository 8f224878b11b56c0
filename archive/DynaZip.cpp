#include "archive/DynaZip.h"

namespace vl {
namespace {

constexpr std::uint32_t Cancel = 0xFFFFFFFFu;

std::uint32_t RunStatusHandler(const TStatusCallback& handler, const char* item, std::int32_t percent) {
  bool doCancel = false;
  if (handler) handler(item, percent, doCancel);
  return doCancel ? Cancel : 0;
}

TDynaZip& Component(void* userData) { return *static_cast<TDynaZip*>(userData); }

}  // namespace

std::uint32_t DZ_CALL TDynaZip::MajorStatusAdapter(const char* item, std::int32_t percent, void* userData) {
  return RunStatusHandler(Component(userData).OnMajorCallback, item, percent);
}

std::uint32_t DZ_CALL TDynaZip::MinorStatusAdapter(const char* item, std::int32_t percent, void* userData) {
  return RunStatusHandler(Component(userData).OnMinorCallback, item, percent);
}

std::int32_t DZ_CALL TDynaZip::MessageAdapter(std::uint32_t msgId, std::uint32_t mbType, std::int32_t p1,
                                              std::int32_t p2, const char* text1, const char* text2, void* userData) {
  std::int32_t rtnResult = 0;
  const TMessageCallback& handler = Component(userData).OnMessageCallback;
  if (handler)
    handler(static_cast<std::uint16_t>(msgId), static_cast<std::uint16_t>(mbType), p1, p2, text1, text2, rtnResult);
  return rtnResult;
}

std::int32_t DZ_CALL TDynaZip::RenameAdapter(DZRENAME* rename, void* userData) {
  const TRenameCallback& handler = Component(userData).OnRenameCallback;
  if (handler) handler(rename);
  return 0;
}

void DZ_CALL TDynaZip::MemToMemAdapter(std::int32_t action, std::uint8_t* buffer, std::int32_t* size,
                                       std::int32_t totalReadLow, std::int32_t totalReadHigh,
                                       std::int32_t totalWrittenLow, std::int32_t totalWrittenHigh, void* userData,
                                       std::int32_t* result) {
  const TMemToMemCallback& handler = Component(userData).OnMemToMem;
  if (handler) handler(action, buffer, size, totalReadLow, totalReadHigh, totalWrittenLow, totalWrittenHigh, result);
}

}  // namespace vl
