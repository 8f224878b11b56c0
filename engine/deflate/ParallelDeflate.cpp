#include "ParallelDeflate.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "DeflateWalk.h"
#include "dzip.h"
#include "engine/EngineError.h"

namespace dz {
namespace {

constexpr size_t kMinBlock = 64 * 1024;
constexpr unsigned kMaxThreads = 256;
// A final block holding only its end code: lets the check decompress a
// joinable piece as a complete stream.
constexpr std::array<uint8_t, 2> kFinalEmptyBlock = {0x03, 0x00};

std::atomic<PieceTamper> pieceTamper{nullptr};

// Only the bench's no-check build of the engine leaves the check out, to show
// what it costs.
#ifdef DZ_BENCH_WITHOUT_CHUNK_CHECK
constexpr bool kCheckChunks = false;
#else
constexpr bool kCheckChunks = true;
#endif

struct CompressorFree {
  void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};
struct DecompressorFree {
  void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// What one compressing thread keeps from chunk to chunk.
struct Worker {
  std::unique_ptr<libdeflate_compressor, CompressorFree> compressor;
  std::unique_ptr<libdeflate_decompressor, DecompressorFree> decompressor;
  std::vector<uint8_t> checkBuffer;  // the decompressed piece, one chunk long

  Worker(int level, size_t blockSize) {
    if (level == 0) return;
    compressor.reset(libdeflate_alloc_compressor(LibdeflateLevel(level)));
    decompressor.reset(libdeflate_alloc_decompressor());
    if (!compressor || !decompressor) throw std::bad_alloc();
    checkBuffer.resize(blockSize);
  }
};

enum class SlotState { Idle, Queued, Busy, Done, Failed };

struct Slot {
  std::vector<uint8_t> input;   // the chunk, blockSize long
  size_t dataSize = 0;          // bytes of the chunk
  uint64_t offset = 0;          // where the chunk starts in the input
  bool last = false;            // ends the stream
  std::vector<uint8_t> output;  // the compressed piece, with room to join and check
  size_t outputSize = 0;
  uint32_t crc = 0;  // CRC-32 of the chunk alone
  SlotState state = SlotState::Idle;
  int32_t errorCode = DZ_OK;  // why it failed
  std::string error;
};

[[noreturn]] void CheckFailed(const Slot& slot, const std::string& what) {
  throw DzipError(DZ_ERR_CHUNK_CHECK,
                  "the chunk at input byte " + std::to_string(slot.offset) + " failed its check: " + what);
}

// Decompresses the piece as written and compares it with the chunk read.
void CheckPiece(Slot& slot, Worker& worker) {
  size_t size = slot.outputSize;
  if (!slot.last) {
    std::copy(kFinalEmptyBlock.begin(), kFinalEmptyBlock.end(), slot.output.begin() + size);
    size += kFinalEmptyBlock.size();
  }
  size_t consumed = 0;
  size_t produced = 0;
  libdeflate_result rc =
      libdeflate_deflate_decompress_ex(worker.decompressor.get(), slot.output.data(), size, worker.checkBuffer.data(),
                                       worker.checkBuffer.size(), &consumed, &produced);
  if (rc != LIBDEFLATE_SUCCESS) CheckFailed(slot, "it does not decompress");
  if (consumed != size || produced != slot.dataSize) CheckFailed(slot, "its length differs");
  if (libdeflate_crc32(0, worker.checkBuffer.data(), produced) != slot.crc) CheckFailed(slot, "its CRC-32 differs");
}

// Compresses one slot's chunk into a piece the next one can follow; at level
// 0 only the CRC is taken.
void CompressSlot(Slot& slot, Worker& worker) {
  slot.crc = libdeflate_crc32(0, slot.input.data(), slot.dataSize);
  slot.outputSize = 0;
  if (!worker.compressor) return;

  size_t room = slot.output.size() - kJoinSlack - kFinalEmptyBlock.size();
  size_t size =
      libdeflate_deflate_compress(worker.compressor.get(), slot.input.data(), slot.dataSize, slot.output.data(), room);
  if (size == 0) throw DzipError(DZ_ERR_INTERNAL, "compressed chunk outgrew its bound");
  if (!slot.last) size = MakeJoinable(slot.output.data(), size, WalkDeflate(slot.output.data(), size));
  slot.outputSize = size;
  if (PieceTamper tamper = pieceTamper.load()) tamper(slot.output.data(), slot.outputSize);
  if (kCheckChunks) CheckPiece(slot, worker);
}

// Runs CompressSlot, keeping any failure in the slot for the writer to raise.
void CompressSlotCatching(Slot& slot, Worker* worker, const std::string& startError) {
  slot.errorCode = DZ_ERR_INTERNAL;
  slot.error = startError;
  if (worker == nullptr) return;
  try {
    CompressSlot(slot, *worker);
    slot.errorCode = DZ_OK;
  } catch (const DzipError& e) {
    slot.errorCode = e.Code();
    slot.error = e.what();
  } catch (const std::bad_alloc&) {
    slot.error = "out of memory";
  } catch (const std::exception& e) {
    slot.error = e.what();
  }
}

unsigned EnvironmentNumber(const char* name, unsigned low, unsigned high, unsigned fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  unsigned long value = std::strtoul(text, &end, 10);
  if (*end != '\0' || value < low || value > high) return fallback;
  return static_cast<unsigned>(value);
}

}  // namespace

int LibdeflateLevel(int compFactor) {
  // Up to 7, the fastest libdeflate level whose chunked output stays no larger
  // than zip's at the same level on a backup-like corpus (figures in the
  // README); 8 and 9 keep libdeflate's own, for those who ask for smaller.
  static constexpr std::array<int, 10> kLevels = {0, 1, 1, 2, 3, 5, 6, 6, 8, 9};
  return kLevels[static_cast<size_t>(std::clamp(compFactor, 0, 9))];
}

void SetPieceTamperForTests(PieceTamper tamper) { pieceTamper.store(tamper); }

DeflateOptions DefaultDeflateOptions(int level) {
  DeflateOptions options;
  options.level = level;
  unsigned hardware = std::max(1u, std::thread::hardware_concurrency());
  options.threads = EnvironmentNumber("DZIP_THREADS", 1, kMaxThreads, std::min(hardware, kMaxThreads));
  options.blockSize = size_t{EnvironmentNumber("DZIP_BLOCK_KIB", kMinBlock / 1024, 64 * 1024, 2048)} * 1024;
  return options;
}

struct ParallelDeflate::Impl {
  DeflateOptions options;
  std::vector<std::unique_ptr<Slot>> slots;
  std::unique_ptr<Worker> ownWorker;  // the one-thread run's

  std::mutex mutex;
  std::condition_variable workAvailable;  // queue filled or stopping
  std::condition_variable workDone;       // a slot became Done or Failed
  std::deque<Slot*> queue;
  bool stopping = false;
  std::vector<std::jthread> workers;  // declared last: joined before the rest goes

  explicit Impl(const DeflateOptions& opts) : options(opts) {
    options.blockSize = std::max(options.blockSize, kMinBlock);
    options.threads = std::clamp(options.threads, 1u, kMaxThreads);
    options.level = std::clamp(options.level, 0, 9);
    size_t slotCount = options.threads == 1 ? 1 : 2 * options.threads + 2;
    size_t outputRoom = OutputRoom();
    for (size_t i = 0; i < slotCount; ++i) {
      auto slot = std::make_unique<Slot>();
      slot->input.resize(options.blockSize);
      slot->output.resize(outputRoom);
      slots.push_back(std::move(slot));
    }
    if (options.threads == 1) {
      ownWorker = std::make_unique<Worker>(options.level, options.blockSize);
      return;
    }
    try {
      for (unsigned i = 0; i < options.threads; ++i) workers.emplace_back([this] { WorkerLoop(); });
    } catch (...) {
      Stop();  // the workers already started must see it before they are joined
      throw;
    }
  }

  ~Impl() { Stop(); }

  // The piece's bound for a full chunk, plus what joining and checking add.
  size_t OutputRoom() const {
    if (options.level == 0) return 0;
    return libdeflate_deflate_compress_bound(nullptr, options.blockSize) + kJoinSlack + kFinalEmptyBlock.size();
  }

  void Stop() {
    {
      std::lock_guard lock(mutex);
      stopping = true;
    }
    workAvailable.notify_all();
  }

  void WorkerLoop() {
    std::unique_ptr<Worker> worker;
    std::string startError;
    try {
      worker = std::make_unique<Worker>(options.level, options.blockSize);
    } catch (const std::exception&) {
      startError = "cannot start compressing: out of memory";
    }
    for (;;) {
      Slot* slot = nullptr;
      {
        std::unique_lock lock(mutex);
        workAvailable.wait(lock, [this] { return stopping || !queue.empty(); });
        if (stopping) return;
        slot = queue.front();
        queue.pop_front();
        slot->state = SlotState::Busy;
      }
      CompressSlotCatching(*slot, worker.get(), startError);
      {
        std::lock_guard lock(mutex);
        slot->state = slot->errorCode == DZ_OK ? SlotState::Done : SlotState::Failed;
      }
      workDone.notify_all();
    }
  }

  void Submit(Slot& slot) {
    if (workers.empty()) {
      CompressSlot(slot, *ownWorker);
      slot.state = SlotState::Done;
      return;
    }
    {
      std::lock_guard lock(mutex);
      slot.state = SlotState::Queued;
      queue.push_back(&slot);
    }
    workAvailable.notify_one();
  }

  void WaitFor(Slot& slot) {
    std::unique_lock lock(mutex);
    workDone.wait(lock, [&] { return slot.state == SlotState::Done || slot.state == SlotState::Failed; });
    if (slot.state == SlotState::Failed) throw DzipError(slot.errorCode, "compression failed: " + slot.error);
  }

  // Takes back every queued slot and waits for those being worked on, so no
  // worker touches a slot once Compress has returned.
  void Drain() {
    std::unique_lock lock(mutex);
    queue.clear();
    workDone.wait(lock, [this] {
      return std::none_of(slots.begin(), slots.end(), [](const auto& s) { return s->state == SlotState::Busy; });
    });
    for (auto& s : slots) s->state = SlotState::Idle;
  }

  void Fill(Slot& slot, const Source& source, uint64_t offset) {
    slot.offset = offset;
    slot.dataSize = source(slot.input.data(), options.blockSize);
    slot.last = slot.dataSize < options.blockSize;
  }

  DeflateResult Compress(const Source& source, const Sink& sink, const Progress& progress) {
    struct DrainOnExit {
      Impl& impl;
      ~DrainOnExit() { impl.Drain(); }
    } drain{*this};

    std::vector<Slot*> idle;
    for (auto& s : slots) idle.push_back(s.get());
    std::deque<Slot*> inFlight;
    bool endOfInput = false;
    uint64_t bytesRead = 0;
    DeflateResult result;
    for (;;) {
      while (!endOfInput && !idle.empty()) {
        Slot& slot = *idle.back();
        idle.pop_back();
        Fill(slot, source, bytesRead);
        bytesRead += slot.dataSize;
        endOfInput = slot.last;
        Submit(slot);
        inFlight.push_back(&slot);
      }
      if (inFlight.empty()) break;
      Slot& slot = *inFlight.front();
      inFlight.pop_front();
      WaitFor(slot);
      bool stored = options.level == 0;
      const uint8_t* out = stored ? slot.input.data() : slot.output.data();
      size_t outSize = stored ? slot.dataSize : slot.outputSize;
      sink(out, outSize);
      result.crc = static_cast<uint32_t>(crc32_combine(result.crc, slot.crc, static_cast<z_off_t>(slot.dataSize)));
      result.size += slot.dataSize;
      result.compressedSize += outSize;
      slot.state = SlotState::Idle;
      idle.push_back(&slot);
      progress(result.size);
    }
    return result;
  }
};

ParallelDeflate::ParallelDeflate(const DeflateOptions& options) : impl_(std::make_unique<Impl>(options)) {}
ParallelDeflate::~ParallelDeflate() = default;

DeflateResult ParallelDeflate::Compress(const Source& source, const Sink& sink, const Progress& progress) {
  return impl_->Compress(source, sink, progress);
}

}  // namespace dz
