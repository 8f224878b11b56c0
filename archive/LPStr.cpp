#include <algorithm>
#include <array>
#include <cstring>
#include <istream>
#include <new>
#include <ostream>
#include <sstream>
#include <string>

#include "archive/DynaZip.h"
#include "platform/Error.h"

namespace vl {
namespace {

// Capacity is 16 bits wide; a growable text longer than that keeps its whole
// buffer and reports the largest capacity, which never exceeds the buffer.
std::uint16_t CapacityFor(std::size_t bytes) {
  return static_cast<std::uint16_t>(std::min<std::size_t>(bytes, 0xFFFF));
}

std::unique_ptr<char[]> CopyOf(const char* text, std::size_t length) {
  auto copy = std::make_unique<char[]>(length + 1);
  std::memcpy(copy.get(), text, length);
  copy[length] = '\0';
  return copy;
}

// The largest count a stored value may carry: what a 16-bit capacity can hold.
constexpr std::int64_t MaxPCharCount = 0xFFFF;

}  // namespace

TLPStr::TLPStr(std::uint16_t size) {
  if (size != 0) SetCapacity(size);
}

void TLPStr::Clear() {
  if (fixedCapacity_) {
    if (buffer_) buffer_[0] = '\0';
  } else {
    buffer_.reset();
  }
}

void TLPStr::SetText(const char* value) {
  Clear();
  if (value == nullptr) return;
  const std::size_t length = std::strlen(value);
  if (fixedCapacity_) {
    if (!buffer_ || capacity_ == 0) return;
    const std::size_t kept = std::min<std::size_t>(length, capacity_ - 1u);
    std::memcpy(buffer_.get(), value, kept);
    buffer_[kept] = '\0';
  } else {
    buffer_ = CopyOf(value, length);
    capacity_ = CapacityFor(length + 1);
  }
}

char* TLPStr::GetText(char* dest) const {
  // The caller-owned copy for a missing destination is the other overload.
  if (dest == nullptr) throw Exception("GetText needs a destination");
  const char* text = buffer_ ? buffer_.get() : "";
  std::memcpy(dest, text, std::strlen(text) + 1);
  return dest;
}

std::unique_ptr<char[]> TLPStr::GetText() const {
  if (!buffer_) return std::make_unique<char[]>(2);
  return CopyOf(buffer_.get(), std::strlen(buffer_.get()));
}

void TLPStr::SetCapacity(std::uint16_t size) {
  if (size == 0) {
    fixedCapacity_ = false;
    return;
  }
  if (size == capacity_ && buffer_) {
    fixedCapacity_ = true;
    return;
  }
  std::unique_ptr<char[]> fresh(new (std::nothrow) char[size]);
  if (!fresh) return;
  fresh[0] = '\0';
  if (buffer_) {
    const std::size_t kept = std::min<std::size_t>(std::strlen(buffer_.get()), size - 1u);
    std::memcpy(fresh.get(), buffer_.get(), kept);
    fresh[kept] = '\0';
  }
  fixedCapacity_ = true;
  buffer_ = std::move(fresh);
  capacity_ = size;
}

void TLPStr::LoadFromStream(std::istream& stream) {
  const std::size_t limit = fixedCapacity_ ? capacity_ : GrowableLoadLimit;
  auto scratch = std::make_unique<char[]>(limit + 1);
  stream.read(scratch.get(), static_cast<std::streamsize>(limit));
  const auto n = static_cast<std::size_t>(stream.gcount());
  if (stream.bad()) throw EStreamError("Stream read error");
  if (n >= limit) throw EStreamError("Line too long");
  scratch[n] = '\0';
  SetText(scratch.get());
}

void TLPStr::SaveToStream(std::ostream& stream) const {
  if (!buffer_) return;
  stream.write(buffer_.get(), static_cast<std::streamsize>(std::strlen(buffer_.get())));
  if (!stream) throw EStreamError("Stream write error");
}

bool TLPStr::StoresPChar() const { return buffer_ && buffer_[0] != '\0'; }

std::vector<std::uint8_t> TLPStr::PCharValue() const {
  std::vector<std::uint8_t> value;
  if (!StoresPChar()) return value;
  const std::size_t count = std::strlen(buffer_.get()) + 1;
  value.reserve(5 + count);
  value.push_back(PCharValueType);
  for (int shift = 0; shift < 32; shift += 8) value.push_back(static_cast<std::uint8_t>(count >> shift));
  value.insert(value.end(), buffer_.get(), buffer_.get() + count);
  return value;
}

void TLPStr::WritePChar(std::ostream& stream) const {
  const std::vector<std::uint8_t> value = PCharValue();
  if (value.empty()) return;
  stream.write(reinterpret_cast<const char*>(value.data()), static_cast<std::streamsize>(value.size()));
  if (!stream) throw EStreamError("Stream write error");
}

// The whole value is read before the text changes, so a damaged stored form
// leaves the text as it was.
void TLPStr::ReadPChar(std::istream& stream) {
  std::array<char, 5> head{};
  stream.read(head.data(), head.size());
  if (stream.gcount() != static_cast<std::streamsize>(head.size())) throw EStreamError("PChar value truncated");
  std::uint32_t raw = 0;
  for (int i = 0; i < 4; ++i) raw |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(head[1 + i])) << (8 * i);
  const auto count = static_cast<std::int32_t>(raw);
  if (count <= 0) {
    Clear();
    return;
  }
  if (count > MaxPCharCount) throw EStreamError("PChar value too long");
  // One extra byte terminates a value stored without its zero.
  auto scratch = std::make_unique<char[]>(static_cast<std::size_t>(count) + 1);
  stream.read(scratch.get(), count);
  if (stream.gcount() != count) throw EStreamError("PChar value truncated");
  scratch[count] = '\0';
  Clear();
  SetText(scratch.get());
}

void TLPStr::ReadPChar(std::span<const std::uint8_t> value) {
  std::istringstream stream(std::string(value.begin(), value.end()));
  ReadPChar(stream);
}

}  // namespace vl
