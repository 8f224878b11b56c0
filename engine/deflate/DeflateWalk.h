#pragma once
// Joining independently compressed pieces into one deflate stream.
//
// A piece compressed on its own ends with a final block (BFINAL set) whose
// end-of-block code may stop anywhere inside its last byte. To let another
// piece follow, the walk finds that last block by decoding every block header
// and every Huffman symbol (without producing output); the join then clears
// BFINAL and, when the piece ends off a byte boundary, closes it with an empty
// stored block, as a sync flush would, so the next piece starts on a byte.
#include <cstddef>
#include <cstdint>

namespace dz {

struct StreamEnd {
  uint64_t lastHeaderBit = 0;  // bit offset of the last block's BFINAL bit
  uint64_t endBit = 0;         // bit offset just past the last block's end code
};

// Walks one complete raw deflate stream; raises DZ_ERR_CHUNK_CHECK when it is
// malformed or does not fill exactly size bytes.
StreamEnd WalkDeflate(const uint8_t* data, size_t size);

// The most bytes MakeJoinable adds to a piece.
constexpr size_t kJoinSlack = 5;

// Rewrites the piece in place so that another stream may follow it; data has
// room for size + kJoinSlack bytes. Returns the piece's new size.
size_t MakeJoinable(uint8_t* data, size_t size, const StreamEnd& end);

}  // namespace dz
