#include "app/ProgressLine.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace vl {
namespace {

struct Step {
  BackupPhase phase;
  int percent;
};

struct ProgressCase {
  const char* name;
  std::vector<Step> steps;
  std::string written;  // everything written, the clearing at the end included
};

void PrintTo(const ProgressCase& c, std::ostream* out) { *out << c.name; }

const ProgressCase ProgressCases[] = {
    {"NothingReportedWritesNothing", {}, ""},
    {"EachPhaseRewritesTheLineAndTheEndBlanksIt",
     {{BackupPhase::Connecting, 0}, {BackupPhase::RecordingDate, 0}},
     "\rvlbackup: connecting"
     "\rvlbackup: recording the date"
     "\r                            \r"},
    {"ShorterTextBlanksTheRestOfTheLonger",
     {{BackupPhase::RecordingDate, 0}, {BackupPhase::Copying, 0}},
     "\rvlbackup: recording the date"
     "\rvlbackup: copying           "
     "\r                            \r"},
    {"RepeatedPercentageIsWrittenOnce",
     {{BackupPhase::Packing, 0}, {BackupPhase::Packing, 0}, {BackupPhase::Packing, 7}, {BackupPhase::Packing, 7}},
     "\rvlbackup: packing [0%]"
     "\rvlbackup: packing [7%]"
     "\r                      \r"},
    {"EnginesFigureIsKeptWithinARange",
     {{BackupPhase::Packing, -5}, {BackupPhase::Packing, 250}},
     "\rvlbackup: packing [0%]"
     "\rvlbackup: packing [100%]"
     "\r                        \r"},
};

class ProgressLineTest : public testing::TestWithParam<ProgressCase> {};

TEST_P(ProgressLineTest, WritesOneLineInPlace) {
  std::string written;
  {
    ProgressLine line([&written](std::string_view text) { written += text; });
    for (const Step& step : GetParam().steps) line.Phase(step.phase, step.percent);
  }
  EXPECT_EQ(written, GetParam().written);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgressLineTest, testing::ValuesIn(ProgressCases),
                         [](const testing::TestParamInfo<ProgressCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vl
