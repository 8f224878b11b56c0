#include "app/ProgressLine.h"

#include <algorithm>
#include <utility>

#include "platform/Text.h"

namespace vl {
namespace {

// A line of its own begins in lower case after the program's name.
std::string LineText(BackupPhase phase) {
  std::string name = PhaseName(phase);
  if (!name.empty()) name.front() = LowerAscii(name.front());
  return name;
}

}  // namespace

ProgressLine::ProgressLine(Writer write) : write_(std::move(write)) {}

ProgressLine::~ProgressLine() {
  try {
    Clear();
  } catch (...) {
  }
}

void ProgressLine::Phase(BackupPhase phase, int percent) {
  std::string text = "vlbackup: " + LineText(phase);
  // Only packing has a measure; the engine's figure is kept within 0 to 100.
  if (phase == BackupPhase::Packing) text += " [" + std::to_string(std::clamp(percent, 0, 100)) + "%]";
  if (text != shown_) Write(text);
}

void ProgressLine::Clear() {
  if (width_ == 0) return;
  write_("\r" + std::string(width_, ' ') + "\r");
  shown_.clear();
  width_ = 0;
}

// Blanks rather than a terminal control clear the rest of a longer previous
// text, so any console shows it the same.
void ProgressLine::Write(const std::string& text) {
  width_ = std::max(width_, text.size());
  write_("\r" + text + std::string(width_ - text.size(), ' '));
  shown_ = text;
}

}  // namespace vl
