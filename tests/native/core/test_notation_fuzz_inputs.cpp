// The notation fuzz targets (fuzz/fen_strict_target.hpp, fuzz/pgn_target.hpp)
// replayed on their seed corpus and on every input that once made them fail,
// kept under fuzz/regressions/TARGET/.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fen_strict_target.hpp"
#include "fuzz/pgn_target.hpp"

namespace varnok {
namespace {

namespace fs = std::filesystem;

const fs::path kFuzzDir = fs::path(__FILE__).parent_path().parent_path().parent_path().parent_path() / "fuzz";

using Runner = void (*)(const uint8_t*, size_t);

void replay_target(const std::string& target, Runner run) {
  std::vector<fs::path> files;
  for (const char* kind : {"corpus", "regressions"}) {
    const fs::path dir = kFuzzDir / kind / target;
    if (fs::is_directory(dir))
      for (const auto& entry : fs::directory_iterator(dir))
        if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty()) << "no inputs for " << target << " under " << kFuzzDir;
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::string failure;
    try {
      run(bytes.data(), bytes.size());
    } catch (const std::exception& e) {
      failure = e.what();
    }
    EXPECT_EQ(failure, "") << file.string();
  }
}

TEST(NotationFuzzInputs, FenStrictTargetReplays) { replay_target("fen_strict", fuzz::run_fen_strict_input); }

TEST(NotationFuzzInputs, PgnTargetReplays) { replay_target("pgn", fuzz::run_pgn_input); }

}  // namespace
}  // namespace varnok
