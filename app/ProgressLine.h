#pragma once
// The silent run's progress for a person at a terminal: one line on standard
// error, rewritten in place as the job moves on. A scheduler's run (standard
// error no terminal) gets no such sink and stays silent on success.
#include <functional>
#include <string>
#include <string_view>

#include "app/job/BackupJob.h"

namespace vl {

class ProgressLine : public SilentSink {
 public:
  using Writer = std::function<void(std::string_view)>;
  explicit ProgressLine(Writer write);
  // Clears the line, so whatever is written next starts a line of its own.
  ~ProgressLine() override;
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // Writes only when the text changes: the engine reports far more often
  // than the whole percentage moves.
  void Phase(BackupPhase phase, int percent) override;

 private:
  void Clear();
  void Write(const std::string& text);

  Writer write_;
  std::string shown_;      // the text on the line now; empty when the line is clear
  std::size_t width_ = 0;  // how much of the line is written, blanks included
};

}  // namespace vl
