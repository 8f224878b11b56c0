#include "ParallelDeflate.h"

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "EngineError.h"
#include "dzip.h"

namespace dz {
namespace {

constexpr size_t kWindow = 32768;  // deflate's reach back
constexpr size_t kMinBlock = 64 * 1024;
constexpr unsigned kMaxThreads = 256;

// A raw deflate stream (no zlib header), ended with the object.
class DeflateStream {
 public:
  explicit DeflateStream(int level) {
    if (deflateInit2(&stream_, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      throw DzipError(DZ_ERR_INTERNAL, "cannot start deflate");
    }
  }
  ~DeflateStream() { deflateEnd(&stream_); }
  DeflateStream(const DeflateStream&) = delete;
  DeflateStream& operator=(const DeflateStream&) = delete;
  z_stream& Get() { return stream_; }

 private:
  z_stream stream_{};
};

enum class SlotState { Idle, Queued, Busy, Done, Failed };

struct Slot {
  std::vector<uint8_t> input;   // kWindow bytes of dictionary room, then the block
  size_t dictionarySize = 0;    // dictionary bytes just before the block
  size_t dataSize = 0;          // bytes of the block
  bool last = false;            // ends the stream
  std::vector<uint8_t> output;  // compressed block, grown if ever too small
  size_t outputSize = 0;
  uint32_t crc = 0;             // CRC-32 of the block alone
  SlotState state = SlotState::Idle;
  std::string error;            // why it failed

  const uint8_t* Data() const { return input.data() + kWindow; }
  uint8_t* Data() { return input.data() + kWindow; }
};

// Compresses one slot's block; stream is null when storing.
void CompressSlot(Slot& slot, DeflateStream* stream) {
  slot.crc = static_cast<uint32_t>(crc32_z(0, slot.Data(), slot.dataSize));
  slot.outputSize = 0;
  if (stream == nullptr) return;

  z_stream& zs = stream->Get();
  if (deflateReset(&zs) != Z_OK) throw DzipError(DZ_ERR_INTERNAL, "deflate reset failed");
  if (slot.dictionarySize > 0 &&
      deflateSetDictionary(&zs, slot.Data() - slot.dictionarySize, static_cast<uInt>(slot.dictionarySize)) != Z_OK) {
    throw DzipError(DZ_ERR_INTERNAL, "deflate dictionary refused");
  }
  zs.next_in = const_cast<Bytef*>(slot.Data());
  zs.avail_in = static_cast<uInt>(slot.dataSize);
  const int flush = slot.last ? Z_FINISH : Z_SYNC_FLUSH;
  for (;;) {
    if (slot.outputSize == slot.output.size()) slot.output.resize(slot.output.size() * 2 + 1024);
    size_t room = std::min<size_t>(slot.output.size() - slot.outputSize, 1u << 30);
    zs.next_out = slot.output.data() + slot.outputSize;
    zs.avail_out = static_cast<uInt>(room);
    int rc = deflate(&zs, flush);
    slot.outputSize += room - zs.avail_out;
    if (rc == Z_STREAM_ERROR) throw DzipError(DZ_ERR_INTERNAL, "deflate failed");
    bool complete = slot.last ? rc == Z_STREAM_END : (zs.avail_in == 0 && zs.avail_out != 0);
    if (complete) return;
    if (zs.avail_out != 0 && rc == Z_BUF_ERROR) throw DzipError(DZ_ERR_INTERNAL, "deflate made no progress");
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

DeflateOptions DefaultDeflateOptions(int level) {
  DeflateOptions options;
  options.level = level;
  unsigned hardware = std::max(1u, std::thread::hardware_concurrency());
  options.threads = EnvironmentNumber("DZIP_THREADS", 1, kMaxThreads, std::min(hardware, kMaxThreads));
  options.blockSize = size_t{EnvironmentNumber("DZIP_BLOCK_KIB", kMinBlock / 1024, 64 * 1024, 1024)} * 1024;
  return options;
}

struct ParallelDeflate::Impl {
  DeflateOptions options;
  std::vector<std::unique_ptr<Slot>> slots;
  std::vector<uint8_t> window;  // the last kWindow bytes read, for the next block
  std::unique_ptr<DeflateStream> ownStream;  // the one-thread run's stream

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
    size_t outputRoom = deflateBound(nullptr, static_cast<uLong>(options.blockSize)) + 1024;
    for (size_t i = 0; i < slotCount; ++i) {
      auto slot = std::make_unique<Slot>();
      slot->input.resize(kWindow + options.blockSize);
      if (options.level > 0) slot->output.resize(outputRoom);
      slots.push_back(std::move(slot));
    }
    window.reserve(kWindow);
    if (options.threads == 1) {
      if (options.level > 0) ownStream = std::make_unique<DeflateStream>(options.level);
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

  void Stop() {
    {
      std::lock_guard lock(mutex);
      stopping = true;
    }
    workAvailable.notify_all();
  }

  void WorkerLoop() {
    std::unique_ptr<DeflateStream> stream;
    std::string startError;
    try {
      if (options.level > 0) stream = std::make_unique<DeflateStream>(options.level);
    } catch (const std::exception& e) {
      startError = e.what();
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
      std::string error = startError;
      if (error.empty()) {
        try {
          CompressSlot(*slot, stream.get());
        } catch (const std::exception& e) {
          error = e.what();
        }
      }
      {
        std::lock_guard lock(mutex);
        slot->error = error;
        slot->state = error.empty() ? SlotState::Done : SlotState::Failed;
      }
      workDone.notify_all();
    }
  }

  void Submit(Slot& slot) {
    if (workers.empty()) {
      CompressSlot(slot, ownStream.get());
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
    if (slot.state == SlotState::Failed) throw DzipError(DZ_ERR_INTERNAL, "compression failed: " + slot.error);
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

  // Reads the next block into slot, behind the dictionary of what came before.
  void Fill(Slot& slot, const Source& source) {
    slot.dictionarySize = window.size();
    std::memcpy(slot.Data() - window.size(), window.data(), window.size());
    slot.dataSize = source(slot.Data(), options.blockSize);
    slot.last = slot.dataSize < options.blockSize;
    if (slot.dataSize >= kWindow) {
      window.assign(slot.Data() + slot.dataSize - kWindow, slot.Data() + slot.dataSize);
    } else {
      window.insert(window.end(), slot.Data(), slot.Data() + slot.dataSize);
      if (window.size() > kWindow) window.erase(window.begin(), window.end() - kWindow);
    }
  }

  DeflateResult Compress(const Source& source, const Sink& sink, const Progress& progress) {
    struct DrainOnExit {
      Impl& impl;
      ~DrainOnExit() { impl.Drain(); }
    } drain{*this};

    window.clear();
    std::vector<Slot*> idle;
    for (auto& s : slots) idle.push_back(s.get());
    std::deque<Slot*> inFlight;
    bool endOfInput = false;
    DeflateResult result;
    for (;;) {
      while (!endOfInput && !idle.empty()) {
        Slot& slot = *idle.back();
        idle.pop_back();
        Fill(slot, source);
        endOfInput = slot.last;
        Submit(slot);
        inFlight.push_back(&slot);
      }
      if (inFlight.empty()) break;
      Slot& slot = *inFlight.front();
      inFlight.pop_front();
      WaitFor(slot);
      bool stored = options.level == 0;
      const uint8_t* out = stored ? slot.Data() : slot.output.data();
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
