#include "DeflateWalk.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "dzip.h"
#include "engine/EngineError.h"

namespace dz {
namespace {

constexpr unsigned kMaxCodeBits = 15;
constexpr unsigned kLiteralSymbols = 288;  // 286 used; the fixed code defines 288
constexpr unsigned kDistanceSymbols = 32;  // 30 used; the fixed code defines 32
constexpr unsigned kEndOfBlock = 256;

[[noreturn]] void Malformed(const std::string& what) {
  throw DzipError(DZ_ERR_CHUNK_CHECK, "compressed chunk is malformed: " + what);
}

// Reads a deflate stream's bits, least significant first, through a 64-bit
// buffer refilled a word at a time. Past the end it reads zeros, at most a
// word of them before it gives up; the walk's end checks the true length.
class BitReader {
 public:
  BitReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  // Makes at least n (<= 56) bits available.
  void Need(unsigned n) {
    if (count_ < n) Refill();
  }
  uint32_t Peek(unsigned n) const { return static_cast<uint32_t>(buffer_ & ((uint64_t{1} << n) - 1)); }
  void Skip(unsigned n) {
    buffer_ >>= n;
    count_ -= n;
  }
  uint32_t Bits(unsigned n) {
    Need(n);
    uint32_t value = Peek(n);
    Skip(n);
    return value;
  }
  void AlignToByte() { Skip(count_ % 8); }
  // Steps over whole bytes from a byte boundary.
  void SkipBytes(size_t n) {
    size_t at = static_cast<size_t>(Position() / 8);
    if (n > size_ - std::min(at, size_)) Malformed("it ends inside a stored block");
    next_ = at + n;
    buffer_ = 0;
    count_ = 0;
  }
  uint64_t Position() const { return uint64_t{next_} * 8 - count_; }

 private:
  void Refill() {
    if (next_ + 8 <= size_) {
      uint64_t word;
      std::memcpy(&word, data_ + next_, 8);  // little-endian host
      buffer_ |= word << count_;
      next_ += (63 - count_) / 8;
      count_ |= 56;
      return;
    }
    while (count_ <= 56) {
      if (next_ >= size_ + 8) Malformed("it ends inside a block");
      buffer_ |= uint64_t{next_ < size_ ? data_[next_] : uint8_t{0}} << count_;
      ++next_;
      count_ += 8;
    }
  }

  const uint8_t* data_;
  size_t size_;
  size_t next_ = 0;  // the next byte to load
  uint64_t buffer_ = 0;
  unsigned count_ = 0;  // bits in buffer_
};

// A canonical Huffman code as one lookup table indexed by the next bits of the
// stream (which hold the code bit-reversed): symbol << 4 | code length, 0 when
// no code starts with those bits.
class HuffmanTable {
 public:
  void Build(const uint8_t* lengths, unsigned count) {
    std::array<unsigned, kMaxCodeBits + 1> perLength{};
    bits_ = 1;
    for (unsigned s = 0; s < count; ++s) {
      perLength[lengths[s]]++;
      if (lengths[s] > bits_) bits_ = lengths[s];
    }
    perLength[0] = 0;
    int left = 1;  // codes still free at the current length
    std::array<unsigned, kMaxCodeBits + 2> next{};
    for (unsigned length = 1; length <= kMaxCodeBits; ++length) {
      left = left * 2 - static_cast<int>(perLength[length]);
      if (left < 0) Malformed("a Huffman code is over-subscribed");
      next[length + 1] = (next[length] + perLength[length]) << 1;
    }
    entries_.assign(size_t{1} << bits_, 0);
    for (unsigned s = 0; s < count; ++s) {
      unsigned length = lengths[s];
      if (length == 0) continue;
      unsigned code = next[length]++;
      unsigned reversed = 0;
      for (unsigned b = 0; b < length; ++b) reversed |= ((code >> b) & 1u) << (length - 1 - b);
      for (size_t i = reversed; i < entries_.size(); i += size_t{1} << length) {
        entries_[i] = static_cast<uint16_t>(s << 4 | length);
      }
    }
  }

  // The reader holds at least 15 bits.
  unsigned Decode(BitReader& reader) const {
    uint16_t entry = entries_[reader.Peek(bits_)];
    if (entry == 0) Malformed("no Huffman code matches");
    reader.Skip(entry & 15u);
    return entry >> 4;
  }

 private:
  std::vector<uint16_t> entries_;
  unsigned bits_ = 1;
};

struct BlockCodes {
  HuffmanTable literals;
  HuffmanTable distances;
};

const BlockCodes& FixedCodes() {
  static const BlockCodes codes = [] {
    BlockCodes fixed;
    std::array<uint8_t, kLiteralSymbols> lengths{};
    for (unsigned s = 0; s < kLiteralSymbols; ++s) lengths[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
    fixed.literals.Build(lengths.data(), kLiteralSymbols);
    std::array<uint8_t, kDistanceSymbols> distances;
    distances.fill(5);
    fixed.distances.Build(distances.data(), kDistanceSymbols);
    return fixed;
  }();
  return codes;
}

void ReadDynamicCodes(BitReader& reader, BlockCodes& codes) {
  static constexpr std::array<uint8_t, 19> kOrder = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  unsigned literalCount = reader.Bits(5) + 257;
  unsigned distanceCount = reader.Bits(5) + 1;
  unsigned lengthCodeCount = reader.Bits(4) + 4;
  if (literalCount > 286 || distanceCount > 30) Malformed("too many codes in a block header");

  std::array<uint8_t, 19> lengthCodeLengths{};
  for (unsigned i = 0; i < lengthCodeCount; ++i) lengthCodeLengths[kOrder[i]] = static_cast<uint8_t>(reader.Bits(3));
  HuffmanTable lengthCode;
  lengthCode.Build(lengthCodeLengths.data(), 19);

  std::array<uint8_t, 286 + 30> lengths{};
  for (unsigned i = 0; i < literalCount + distanceCount;) {
    reader.Need(kMaxCodeBits + 7);
    unsigned symbol = lengthCode.Decode(reader);
    if (symbol < 16) {
      lengths[i++] = static_cast<uint8_t>(symbol);
      continue;
    }
    uint8_t value = 0;
    unsigned repeat = 0;
    if (symbol == 16) {
      if (i == 0) Malformed("a code length repeats nothing");
      value = lengths[i - 1];
      repeat = 3 + reader.Bits(2);
    } else {
      repeat = symbol == 17 ? 3 + reader.Bits(3) : 11 + reader.Bits(7);
    }
    if (i + repeat > literalCount + distanceCount) Malformed("code lengths overrun the block header");
    for (unsigned k = 0; k < repeat; ++k) lengths[i++] = value;
  }
  if (lengths[kEndOfBlock] == 0) Malformed("a block has no end code");
  codes.literals.Build(lengths.data(), literalCount);
  codes.distances.Build(lengths.data() + literalCount, distanceCount);
}

// Steps over one block's symbols up to and including its end code.
void SkipSymbols(BitReader& reader, const BlockCodes& codes) {
  for (;;) {
    reader.Need(kMaxCodeBits + 5);  // a literal/length code and its extra bits
    unsigned symbol = codes.literals.Decode(reader);
    if (symbol < kEndOfBlock) continue;
    if (symbol == kEndOfBlock) return;
    unsigned lengthIndex = symbol - 257;
    if (lengthIndex > 28) Malformed("an invalid length code");
    reader.Skip(lengthIndex < 8 || lengthIndex == 28 ? 0 : (lengthIndex - 4) / 4);
    reader.Need(kMaxCodeBits + 13);  // a distance code and its extra bits
    unsigned distance = codes.distances.Decode(reader);
    if (distance > 29) Malformed("an invalid distance code");
    reader.Skip(distance < 4 ? 0 : (distance - 2) / 2);
  }
}

}  // namespace

StreamEnd WalkDeflate(const uint8_t* data, size_t size) {
  BitReader reader(data, size);
  BlockCodes dynamic;
  for (;;) {
    uint64_t header = reader.Position();
    bool final = reader.Bits(1) != 0;
    switch (reader.Bits(2)) {
      case 0: {
        reader.AlignToByte();
        uint32_t length = reader.Bits(16);
        if ((reader.Bits(16) ^ 0xFFFFu) != length) Malformed("a stored block's length check differs");
        reader.SkipBytes(length);
        break;
      }
      case 1: SkipSymbols(reader, FixedCodes()); break;
      case 2:
        ReadDynamicCodes(reader, dynamic);
        SkipSymbols(reader, dynamic);
        break;
      default: Malformed("a reserved block type");
    }
    if (final) {
      StreamEnd end{header, reader.Position()};
      if ((end.endBit + 7) / 8 != size) Malformed("bytes follow its last block");
      return end;
    }
  }
}

size_t MakeJoinable(uint8_t* data, size_t size, const StreamEnd& end) {
  data[end.lastHeaderBit / 8] &= static_cast<uint8_t>(~(1u << (end.lastHeaderBit % 8)));
  if (end.endBit % 8 == 0) return size;
  // An empty stored block: three zero header bits, zeros to the byte, then
  // LEN 0 and NLEN 0xFFFF.
  data[end.endBit / 8] &= static_cast<uint8_t>((1u << (end.endBit % 8)) - 1);
  size_t headerEnd = static_cast<size_t>((end.endBit + 3 + 7) / 8);
  if (headerEnd > size) data[size] = 0;
  const uint8_t lengths[4] = {0x00, 0x00, 0xFF, 0xFF};
  std::memcpy(data + headerEnd, lengths, sizeof lengths);
  return headerEnd + sizeof lengths;
}

}  // namespace dz
