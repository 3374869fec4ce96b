// Replays the saved fuzz corpus through the same property checks the fuzz
// targets run, so every input the fuzzers kept (including past crashes)
// stays a regression test without a fuzzing compiler.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz_entries.hpp"

namespace {

namespace fs = std::filesystem;

struct Target {
  const char* name;
  std::string (*entry)(std::string_view);
};

fs::path corpus_dir(const char* target) {
  return fs::path(__FILE__).parent_path().parent_path().parent_path() / "fuzz" / "corpus" / target;
}

class FuzzCorpus : public testing::TestWithParam<Target> {};

TEST_P(FuzzCorpus, EverySavedInputKeepsItsProperties) {
  const fs::path dir = corpus_dir(GetParam().name);
  ASSERT_TRUE(fs::is_directory(dir)) << dir;
  std::size_t replayed = 0;
  for (const auto& file : fs::directory_iterator(dir)) {
    if (!file.is_regular_file()) continue;
    std::ifstream in(file.path(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(GetParam().entry(bytes), "") << file.path();
    ++replayed;
  }
  EXPECT_GT(replayed, 0u) << dir;
}

INSTANTIATE_TEST_SUITE_P(
    Targets, FuzzCorpus,
    testing::Values(Target{"state_document", kelvora::fuzz::state_document},
                    Target{"records_document", kelvora::fuzz::records_document},
                    Target{"merkle_proof", kelvora::fuzz::merkle_proof}),
    [](const testing::TestParamInfo<Target>& info) { return std::string(info.param.name); });

}  // namespace
