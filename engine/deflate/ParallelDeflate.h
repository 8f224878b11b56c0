#pragma once
// Deflate on every core, in independent chunks.
//
// The calling thread reads the input in chunks (2 MiB by default) into a fixed
// pool of slots, 2 x workers + 2 of them, so memory is bounded by the thread
// count and never by the input size. Worker threads, started once and kept for
// every entry, take slots in any order and compress each chunk on its own with
// libdeflate. A chunk that is not the last is then made joinable (see
// DeflateWalk.h), so the pieces written one after the other form one deflate
// stream. Before a chunk may be written, its worker decompresses the piece with
// libdeflate's decompressor and compares length and CRC-32 with the input; a
// mismatch fails the run with DZ_ERR_CHUNK_CHECK. The calling thread writes
// the slots strictly in read order, joins the CRCs with crc32_combine and
// reports progress, so callbacks run on it.
//
// A failing worker marks its slot; the caller raises that error when it gets
// there, which stops the pipeline. Leaving Compress early, by an error or a
// cancel, first waits for the workers to let go of every slot.
//
// With one thread no worker is started: the calling thread compresses each
// chunk itself, which makes that run a true single-thread baseline.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace dz {

struct DeflateResult {
  uint32_t crc = 0;
  uint64_t size = 0;            // bytes read
  uint64_t compressedSize = 0;  // bytes written
};

struct DeflateOptions {
  int level = 6;  // CompFactor (see LibdeflateLevel); 0 stores the data as it is
  unsigned threads = 1;
  size_t blockSize = 2 << 20;  // chunk size, at least 64 KiB
};

// The thread count and block size for this machine: DZIP_THREADS limits the
// threads (default: every hardware thread), DZIP_BLOCK_KIB sets the chunk size.
DeflateOptions DefaultDeflateOptions(int level);

class ParallelDeflate {
 public:
  // Reads up to size bytes; fewer only at the end of the input.
  using Source = std::function<size_t(uint8_t* buffer, size_t size)>;
  using Sink = std::function<void(const uint8_t* data, size_t size)>;
  // Called after each chunk is written with the bytes read so far; may raise.
  using Progress = std::function<void(uint64_t bytesRead)>;

  explicit ParallelDeflate(const DeflateOptions& options);
  ~ParallelDeflate();
  ParallelDeflate(const ParallelDeflate&) = delete;
  ParallelDeflate& operator=(const ParallelDeflate&) = delete;

  // One complete raw deflate stream (or the stored bytes at level 0).
  DeflateResult Compress(const Source& source, const Sink& sink, const Progress& progress);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The libdeflate level for a CompFactor of 1 to 9.
int LibdeflateLevel(int compFactor);

// For tests only: called on each compressed piece just before its check, so a
// test can damage it and see the check fail. Null (the default) in real runs.
using PieceTamper = void (*)(uint8_t* piece, size_t size);
void SetPieceTamperForTests(PieceTamper tamper);

}  // namespace dz
