// The chunked deflate: every piece joined into one stream that zlib's inflate
// reads, the walk that finds each piece's last block, the check that refuses a
// damaged piece, and chunk edges through the engine's three readers.
#include <gtest/gtest.h>
#include <libdeflate.h>
#include <sys/wait.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "DeflateWalk.h"
#include "ParallelDeflate.h"
#include "dzip.h"
#include "engine/EngineError.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using vl::test::ScopedEnv;
using vl::test::TempDir;
using vl::test::WriteFile;

constexpr size_t kChunk = 64 * 1024;  // the smallest chunk, so edges are cheap to reach

// ---- fixtures

Bytes RandomBytes(size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes out(size);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Words and numbers: compresses into dynamic blocks.
Bytes TextLike(size_t size, unsigned seed) {
  static const char* words[] = {"backup ", "page ", "extent ", "row ", "index ", "\n", "0042 ", "Velloran "};
  std::mt19937 rng(seed);
  Bytes out;
  while (out.size() < size) {
    const char* w = words[rng() % 8];
    out.insert(out.end(), w, w + std::strlen(w));
  }
  out.resize(size);
  return out;
}

Bytes Inflate(const Bytes& stream, size_t expected) {
  z_stream zs{};
  EXPECT_EQ(inflateInit2(&zs, -15), Z_OK);
  Bytes out(expected + 1);
  zs.next_in = const_cast<Bytef*>(stream.data());
  zs.avail_in = static_cast<uInt>(stream.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  int rc = inflate(&zs, Z_FINISH);
  EXPECT_EQ(rc, Z_STREAM_END) << "inflate says " << (zs.msg ? zs.msg : "nothing");
  EXPECT_EQ(zs.avail_in, 0u) << "bytes left after the stream";
  out.resize(zs.total_out);
  inflateEnd(&zs);
  return out;
}

struct Packed {
  Bytes stream;
  dz::DeflateResult result;
};

Packed Compress(const Bytes& input, int level, unsigned threads) {
  dz::ParallelDeflate deflate({level, threads, kChunk});
  Packed packed;
  size_t at = 0;
  packed.result = deflate.Compress(
      [&](uint8_t* buffer, size_t size) {
        size_t n = std::min(size, input.size() - at);
        std::copy_n(input.begin() + static_cast<ptrdiff_t>(at), n, buffer);
        at += n;
        return n;
      },
      [&](const uint8_t* data, size_t size) { packed.stream.insert(packed.stream.end(), data, data + size); },
      [](uint64_t) {});
  return packed;
}

struct Piece {
  Bytes data;
  dz::StreamEnd end;
};

Piece LibdeflatePiece(const Bytes& input, int level) {
  std::unique_ptr<libdeflate_compressor, decltype(&libdeflate_free_compressor)> c(libdeflate_alloc_compressor(level),
                                                                                  libdeflate_free_compressor);
  Piece piece;
  piece.data.resize(libdeflate_deflate_compress_bound(c.get(), input.size()) + dz::kJoinSlack);
  size_t size = libdeflate_deflate_compress(c.get(), input.data(), input.size(), piece.data.data(), piece.data.size());
  piece.end = dz::WalkDeflate(piece.data.data(), size);
  piece.data.resize(size);
  return piece;
}

unsigned BitsAt(const Bytes& data, uint64_t bit, unsigned count) {
  unsigned value = 0;
  for (unsigned i = 0; i < count; ++i, ++bit) value |= ((data[bit / 8] >> (bit % 8)) & 1u) << i;
  return value;
}

// A whole chunk whose piece, at the libdeflate level of CompFactor 6, ends at
// the given bit of its last byte; found among text chunks of different seeds.
Bytes ChunkEndingAtBit(unsigned bitInByte) {
  for (unsigned seed = 0; seed < 400; ++seed) {
    Bytes chunk = TextLike(kChunk, seed);
    if (LibdeflatePiece(chunk, dz::LibdeflateLevel(6)).end.endBit % 8 == bitInByte) return chunk;
  }
  ADD_FAILURE() << "no chunk ends at bit " << bitInByte;
  return {};
}

// ---- the walk and the join

TEST(DeflateWalk, FindsTheLastBlockOfStoredFixedAndDynamicStreams) {
  struct Case {
    const char* name;
    Bytes input;
    int level;
    unsigned lastType;  // BTYPE of the last block
  };
  const Case cases[] = {
      {"stored (incompressible)", RandomBytes(200000, 1), 6, 0},
      {"stored (level 0)", TextLike(100000, 2), 0, 0},
      {"stored (empty)", {}, 6, 0},
      {"fixed (short, repetitive)", Text("hello hello hello hello hello world, hello hello"), 6, 1},
      {"dynamic, several blocks", TextLike(1 << 20, 3), 6, 2},
  };
  const Bytes follower = TextLike(5000, 4);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Piece piece = LibdeflatePiece(c.input, c.level);
    EXPECT_EQ((piece.end.endBit + 7) / 8, piece.data.size());
    EXPECT_EQ(BitsAt(piece.data, piece.end.lastHeaderBit, 1), 1u) << "BFINAL of the last block";
    EXPECT_EQ(BitsAt(piece.data, piece.end.lastHeaderBit + 1, 2), c.lastType);

    // Joined, then followed by another complete stream: one stream of both.
    piece.data.resize(piece.data.size() + dz::kJoinSlack);
    piece.data.resize(dz::MakeJoinable(piece.data.data(), piece.data.size() - dz::kJoinSlack, piece.end));
    EXPECT_EQ(BitsAt(piece.data, piece.end.lastHeaderBit, 1), 0u);
    Bytes stream = piece.data;
    Piece next = LibdeflatePiece(follower, 6);
    stream.insert(stream.end(), next.data.begin(), next.data.end());
    Bytes expected = c.input;
    expected.insert(expected.end(), follower.begin(), follower.end());
    EXPECT_EQ(Inflate(stream, expected.size()), expected);
  }
  EXPECT_GT(LibdeflatePiece(TextLike(1 << 20, 3), 6).end.lastHeaderBit, 0u) << "the dynamic case has one block";
}

TEST(DeflateWalk, RefusesMalformedStreamsWithTheCheckCode) {
  Piece good = LibdeflatePiece(TextLike(300000, 5), 6);
  struct Case {
    const char* name;
    Bytes data;
  };
  Bytes truncated(good.data.begin(), good.data.end() - 3);
  Bytes trailing = good.data;
  trailing.push_back(0);
  const Case cases[] = {
      {"truncated", truncated},
      {"a byte after the last block", trailing},
      {"reserved block type", {0x07, 0x00}},
      {"stored length check differs", {0x01, 0x05, 0x00, 0x00, 0x00}},
      {"empty", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      dz::WalkDeflate(c.data.data(), c.data.size());
      ADD_FAILURE() << "accepted";
    } catch (const dz::DzipError& e) {
      EXPECT_EQ(e.Code(), DZ_ERR_CHUNK_CHECK);
    }
  }
}

// Every residue of the end bit: on a byte (nothing appended), and the two
// where the stored block's header spills into a new byte.
TEST(DeflateJoin, PiecesEndingAtEveryBitOfTheirLastByteJoin) {
  for (unsigned bit = 0; bit < 8; ++bit) {
    SCOPED_TRACE("first piece ends at bit " + std::to_string(bit));
    Bytes input = ChunkEndingAtBit(bit);
    size_t alone = LibdeflatePiece(input, dz::LibdeflateLevel(6)).data.size();
    Bytes tail = RandomBytes(3000, bit);
    size_t tailAlone = LibdeflatePiece(tail, dz::LibdeflateLevel(6)).data.size();
    input.insert(input.end(), tail.begin(), tail.end());
    for (unsigned threads : {1u, 2u}) {
      Packed packed = Compress(input, 6, threads);
      size_t stretched = bit == 0 ? alone : (alone * 8 - (8 - bit) + 3 + 7) / 8 + 4;
      EXPECT_EQ(packed.result.compressedSize, stretched + tailAlone) << "a piece ending on a byte gets nothing added";
      EXPECT_EQ(Inflate(packed.stream, input.size()), input);
    }
  }
}

// ---- round trips through the pipeline

TEST(ParallelDeflateRoundTrip, EveryLevelAndChunkEdgeInflatesToTheInput) {
  struct Input {
    const char* name;
    Bytes data;
  };
  Bytes mixed = TextLike(9 * kChunk + 11, 8);
  Bytes noise = RandomBytes(2 * kChunk, 9);
  std::copy(noise.begin(), noise.end(), mixed.begin() + 3 * kChunk);  // incompressible chunks among text
  const Input inputs[] = {
      {"empty", {}},
      {"one byte", {'v'}},
      {"chunk - 1", TextLike(kChunk - 1, 10)},
      {"one chunk", TextLike(kChunk, 11)},
      {"chunk + 1", TextLike(kChunk + 1, 12)},
      {"many chunks, some incompressible", mixed},
      {"incompressible", RandomBytes(3 * kChunk + 5, 13)},
      {"all zero", Bytes(4 * kChunk + 2, 0)},
  };
  for (int level = 0; level <= 9; ++level) {
    for (const auto& input : inputs) {
      for (unsigned threads : {1u, 3u}) {
        SCOPED_TRACE(std::string(input.name) + ", level " + std::to_string(level) + ", threads " +
                     std::to_string(threads));
        Packed packed = Compress(input.data, level, threads);
        EXPECT_EQ(packed.result.size, input.data.size());
        EXPECT_EQ(packed.result.compressedSize, packed.stream.size());
        EXPECT_EQ(packed.result.crc, crc32_z(0, input.data.data(), input.data.size()));
        if (level == 0) {
          EXPECT_EQ(packed.stream, input.data);
        } else {
          EXPECT_EQ(Inflate(packed.stream, input.data.size()), input.data);
        }
      }
    }
  }
}

TEST(ParallelDeflateRoundTrip, AllZeroChunksCompressToAFewBytesEach) {
  Packed packed = Compress(Bytes(16 * kChunk, 0), 7, 2);
  EXPECT_LT(packed.stream.size(), 17u * 100);
}

// ---- through the engine's entry

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

int Shell(const std::string& command, std::string* output) {
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, n);
  int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int32_t Pack(const std::string& archive, const std::string& items, int32_t level) {
  ZIPCMDSTRUCT c;
  std::memset(&c, 0, sizeof c);
  c.zipStructSize = sizeof c;
  c.function = DZ_ACTION_ADD;
  c.lpszZIPFile = const_cast<char*>(archive.c_str());
  c.lpszItemList = const_cast<char*>(items.c_str());
  c.compFactor = level;
  c.noDirectoryNamesFlag = DZ_TRUE;
  c.largeZIPFilesFlag = DZ_TRUE;
  return dzip(&c);
}

TEST(EngineChunks, ChunkEdgesAtEveryLevelPassTheThreeReaders) {
  TempDir dir;
  ScopedEnv chunk("DZIP_BLOCK_KIB", "64");
  ScopedEnv threads("DZIP_THREADS", "2");
  Bytes byteEnd = ChunkEndingAtBit(0);
  Bytes after = TextLike(100, 1);
  byteEnd.insert(byteEnd.end(), after.begin(), after.end());
  const std::vector<std::pair<std::string, Bytes>> files = {
      {"empty", {}},
      {"one", {'x'}},
      {"chunk-1", TextLike(kChunk - 1, 2)},
      {"chunk", TextLike(kChunk, 3)},
      {"chunk+1", TextLike(kChunk + 1, 4)},
      {"many", TextLike(7 * kChunk + 3, 5)},
      {"random", RandomBytes(2 * kChunk + 1, 6)},
      {"zeros", Bytes(3 * kChunk, 0)},
      {"byte-end", byteEnd},  // its first piece ends on a byte at CompFactor 6 and 7
  };
  std::string items;
  std::string entries;
  for (const auto& [name, content] : files) {
    WriteFile(dir / name, std::string(content.begin(), content.end()));
    items += "\"" + (dir / name) + "\" ";
    entries += " " + Quote(name + "=" + (dir / name));
  }
  for (int level = 0; level <= 9; ++level) {
    SCOPED_TRACE("level " + std::to_string(level));
    std::string archive = dir / ("out" + std::to_string(level) + ".zip");
    ASSERT_EQ(Pack(archive, items, level), DZ_OK);
    std::string output;
    EXPECT_EQ(Shell("unzip -tq " + Quote(archive), &output), 0) << output;
    EXPECT_EQ(Shell("7zz t " + Quote(archive), &output), 0) << output;
    EXPECT_EQ(Shell(std::string(PYTHON_EXECUTABLE) + " " + CHECK_ZIP_SCRIPT + " " + Quote(archive) + entries, &output),
              0)
        << output;
  }
}

// Flips one bit in the middle of every piece, as a fault in memory would.
void FlipABit(uint8_t* piece, size_t size) { piece[size / 2] ^= 0x10; }

class TamperScope {
 public:
  TamperScope() { dz::SetPieceTamperForTests(FlipABit); }
  ~TamperScope() { dz::SetPieceTamperForTests(nullptr); }
};

TEST(EngineChunks, ADamagedPieceFailsTheArchiveAndLeavesNothingBehind) {
  TempDir dir;
  ScopedEnv chunk("DZIP_BLOCK_KIB", "64");
  WriteFile(dir / "data", std::string(4 * kChunk, 'a') + "end");
  Bytes text = TextLike(5 * kChunk, 1);
  WriteFile(dir / "text", std::string(text.begin(), text.end()));
  for (const char* threads : {"1", "2"}) {
    for (const char* name : {"data", "text"}) {
      SCOPED_TRACE(std::string(name) + ", threads " + threads);
      ScopedEnv threadCount("DZIP_THREADS", threads);
      std::string fresh = dir / "fresh.zip";
      std::string old = dir / "old.zip";
      fs::remove(old);
      ASSERT_EQ(Pack(old, "\"" + (dir / "data") + "\"", 6), DZ_OK);
      std::string before = vl::test::ReadFile(old);
      {
        TamperScope tamper;
        EXPECT_EQ(Pack(fresh, "\"" + (dir / name) + "\"", 6), DZ_ERR_CHUNK_CHECK);
        EXPECT_EQ(Pack(old, "\"" + (dir / name) + "\"", 6), DZ_ERR_CHUNK_CHECK);
      }
      EXPECT_FALSE(fs::exists(fresh));
      EXPECT_EQ(vl::test::ReadFile(old), before);
      size_t files = 0;
      for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path())) ++files;
      EXPECT_EQ(files, 3u) << "a temporary file was left";
    }
  }
  EXPECT_STREQ(DzipResultText(DZ_ERR_CHUNK_CHECK), "compressed data failed its check");
}

}  // namespace
