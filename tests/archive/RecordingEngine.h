#pragma once
// A stand-in zip engine for the component's tests: it keeps a copy of every
// command record it receives (with the texts behind its pointers), can call
// back through the record while it runs, and returns a code the test chooses.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "dzip.h"

namespace vl::test {

// Every text field of the record, in record order. Not inline: a unique
// symbol would keep the engine library from ever being unloaded.
constexpr std::array<char * ZIPCMDSTRUCT::*, 10> RecordTextFields = {
    &ZIPCMDSTRUCT::lpszZIPFile,          &ZIPCMDSTRUCT::lpszItemList,      &ZIPCMDSTRUCT::lpszTempPath,
    &ZIPCMDSTRUCT::lpszComment,          &ZIPCMDSTRUCT::lpszDate,          &ZIPCMDSTRUCT::lpszIncludeFollowing,
    &ZIPCMDSTRUCT::lpszExcludeFollowing, &ZIPCMDSTRUCT::lpszStoreSuffixes, &ZIPCMDSTRUCT::lpszEncryptCode,
    &ZIPCMDSTRUCT::lpszExtProgTitle,
};

struct RecordedCall {
  ZIPCMDSTRUCT command{};  // byte copy of the record
  const ZIPCMDSTRUCT* commandAddress = nullptr;
  bool hasBlock = false;
  MEMTOMEMBLOCK block{};                             // byte copy of what lpMemBlock points to
  std::array<std::optional<std::string>, 10> texts;  // by RecordTextFields; nullopt for null

  std::optional<std::string> Text(char* ZIPCMDSTRUCT::*field) const {
    for (std::size_t i = 0; i < RecordTextFields.size(); ++i)
      if (RecordTextFields[i] == field) return texts[i];
    return std::nullopt;
  }
};

struct RecordingEngine {
  std::int32_t result = 0;                    // what dzip returns
  std::string lastError;                      // what dzip_last_error returns
  std::function<void(ZIPCMDSTRUCT&)> during;  // runs inside dzip after recording
  std::vector<RecordedCall> calls;

  void Reset() {
    result = 0;
    lastError.clear();
    during = nullptr;
    calls.clear();
  }
};

}  // namespace vl::test

extern "C" {
// The engine's state, for the test to set and read.
typedef vl::test::RecordingEngine* (*RecordingEngineAccess)();
}
