// Replays fuzz inputs through the code the fuzzers run (fuzz/*_target.hpp):
// a target's committed seed corpus, then every input that once made it fail,
// kept under fuzz/regressions/TARGET/. Each layer's tests replay the targets
// of that layer; under tools/sanitize.sh the replay also runs with
// AddressSanitizer and UndefinedBehaviorSanitizer.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/check.hpp"

namespace varnok::fuzz_replay {

namespace fs = std::filesystem;

// This file is tests/native/fuzz_replay.hpp; fuzz/ is at the top.
inline const fs::path kFuzzDir = fs::path(__FILE__).parent_path().parent_path().parent_path() / "fuzz";

inline std::vector<fs::path> inputs_in(const fs::path& dir) {
  std::vector<fs::path> files;
  if (fs::is_directory(dir))
    for (const auto& entry : fs::directory_iterator(dir))
      if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

inline std::vector<uint8_t> read_bytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// render prints to the C standard output; keep it out of the test log.
class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

 private:
  int saved_;
};

using Runner = void (*)(const uint8_t*, size_t);

inline void replay(const fs::path& file, Runner run) {
  const std::vector<uint8_t> bytes = read_bytes(file);
  std::string failure;
  {
    QuietStdout quiet;  // the failure is reported once stdout is back
    try {
      run(bytes.data(), bytes.size());
    } catch (const fuzz::CheckFailure& e) {
      failure = e.what();
    } catch (const std::exception& e) {
      failure = std::string("exception: ") + e.what();
    }
  }
  EXPECT_EQ(failure, "") << file.string();
}

inline void replay_target(const std::string& target, Runner run) {
  const std::vector<fs::path> seeds = inputs_in(kFuzzDir / "corpus" / target);
  ASSERT_FALSE(seeds.empty()) << "no seed corpus in " << (kFuzzDir / "corpus" / target);
  for (const fs::path& file : seeds) replay(file, run);
  for (const fs::path& file : inputs_in(kFuzzDir / "regressions" / target)) replay(file, run);
}

}  // namespace varnok::fuzz_replay
