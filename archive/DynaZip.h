#pragma once
// The text holder behind the zip component's text properties (TLPStr) and the
// component's event base (TDynaZip) with the adapters the engine calls back.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <span>
#include <vector>

#include "dzip.h"

namespace vl {

// One zero-terminated 8-bit text. Growable: every new text is an exact-size
// copy and clearing frees it, so "no text" (null) and "empty text" differ.
// Fixed: the buffer keeps its size and longer texts are cut to Capacity - 1.
class TLPStr {
 public:
  // Growable limit of LoadFromStream: at most 32767 characters load.
  static constexpr std::size_t GrowableLoadLimit = 0x8000;
  // Value type byte of the stored "PChar" form (a binary value).
  static constexpr std::uint8_t PCharValueType = 10;

  // A non-zero size makes the text fixed with that capacity.
  explicit TLPStr(std::uint16_t size = 0);
  virtual ~TLPStr() = default;
  TLPStr(const TLPStr&) = delete;
  TLPStr& operator=(const TLPStr&) = delete;

  // Fixed: the text becomes empty, the buffer stays. Growable: frees it (null).
  virtual void Clear();
  // Dest must hold the whole text and its terminator; returns Dest.
  virtual char* GetText(char* dest) const;
  // A copy owned by the caller: the text, or an empty text when none is held.
  std::unique_ptr<char[]> GetText() const;
  // Reads up to the limit (Capacity when fixed, else 32768 bytes) in one
  // request; EStreamError "Line too long" when the limit is reached, the text
  // then unchanged.
  virtual void LoadFromStream(std::istream& stream);
  // Writes the characters without the terminator; nothing when no text is held.
  virtual void SaveToStream(std::ostream& stream) const;
  // Null leaves the text cleared (null when growable, empty when fixed).
  virtual void SetText(const char* value);

  // The held buffer, lent: valid until the next change of the text.
  char* TextPtr() const { return buffer_.get(); }
  // 0 makes the text growable; another size makes it fixed with that capacity.
  // An allocation failure is swallowed and changes nothing.
  void SetCapacity(std::uint16_t size);

  std::uint16_t Capacity() const { return capacity_; }
  bool FixedCapacity() const { return fixedCapacity_; }

  // The stored "PChar" form: type byte 10, a 32-bit little-endian count
  // N = length + 1, then the N bytes with the terminator. Only a non-empty
  // text is stored.
  bool StoresPChar() const;
  void WritePChar(std::ostream& stream) const;   // writes nothing unless StoresPChar()
  std::vector<std::uint8_t> PCharValue() const;  // the same bytes, empty unless StoresPChar()
  // Reads one stored value: a count of 0 or less leaves the text cleared. A
  // truncated value raises EStreamError and keeps the text as it was.
  void ReadPChar(std::istream& stream);
  void ReadPChar(std::span<const std::uint8_t> value);

 private:
  std::unique_ptr<char[]> buffer_;
  std::uint16_t capacity_ = 0;  // size of buffer_ in bytes, terminator included
  bool fixedCapacity_ = false;
};

// The component's events: each empty by default, called by the adapters only
// when set.
using TStatusCallback = std::function<void(const char* szItem, std::int32_t Percent, bool& DoCancel)>;
using TMessageCallback = std::function<void(std::uint16_t MsgID, std::uint16_t mbType, std::int32_t p1, std::int32_t p2,
                                            const char* lpsz1, const char* lpsz2, std::int32_t& RtnResult)>;
using PDZRename = DZRENAME*;
using TRenameCallback = std::function<void(PDZRename dzr)>;
using TMemToMemCallback = std::function<void(
    std::int32_t lAction, std::uint8_t* lpMemBuf, std::int32_t* pdwSize, std::int32_t dwTotalReadL,
    std::int32_t dwTotalReadH, std::int32_t dwTotalWrittenL, std::int32_t dwTotalWrittenH, std::int32_t* plRet)>;

class TDynaZip {
 public:
  TStatusCallback OnMajorCallback;
  TStatusCallback OnMinorCallback;
  TMessageCallback OnMessageCallback;
  TRenameCallback OnRenameCallback;
  TMemToMemCallback OnMemToMem;

  // What the engine calls, with the component as user data.
  // 0 to go on, 0xFFFFFFFF when the handler set DoCancel.
  static std::uint32_t DZ_CALL MajorStatusAdapter(const char* item, std::int32_t percent, void* userData);
  static std::uint32_t DZ_CALL MinorStatusAdapter(const char* item, std::int32_t percent, void* userData);
  // The handler's result, 0 without one; id and type are cut to their low 16 bits.
  static std::int32_t DZ_CALL MessageAdapter(std::uint32_t msgId, std::uint32_t mbType, std::int32_t p1,
                                             std::int32_t p2, const char* text1, const char* text2, void* userData);
  // Always 0.
  static std::int32_t DZ_CALL RenameAdapter(DZRENAME* rename, void* userData);
  // The handler answers through result; without one it stays untouched.
  static void DZ_CALL MemToMemAdapter(std::int32_t action, std::uint8_t* buffer, std::int32_t* size,
                                      std::int32_t totalReadLow, std::int32_t totalReadHigh,
                                      std::int32_t totalWrittenLow, std::int32_t totalWrittenHigh, void* userData,
                                      std::int32_t* result);

 protected:
  TDynaZip() = default;
  ~TDynaZip() = default;
  TDynaZip(const TDynaZip&) = delete;
  TDynaZip& operator=(const TDynaZip&) = delete;
};

}  // namespace vl
