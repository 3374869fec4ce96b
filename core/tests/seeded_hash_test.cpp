// Tables keyed by caller text against texts crafted offline to share one
// value of the standard library's string hash: on that hash they would all
// pile into one probe run or bucket, which makes every lookup walk them all.
#include "kelvora/seeded_hash.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "crafted_texts.hpp"
#include "kelvora/first_positions.hpp"
#include "kelvora/operations.hpp"
#include "kelvora/provenance_id_table.hpp"

namespace kelvora {
namespace {

constexpr std::size_t kCount = 1000;

const std::vector<std::string>& crafted() {
  static const std::vector<std::string> texts = crafted::colliding_texts(kCount);
  return texts;
}

// Without this the tests below would prove nothing. The texts are made for
// the GNU C++ library's string hash, which every test build here uses.
TEST(CraftedTexts, AreDistinctTermsOfOneStandardHash) {
#ifndef __GLIBCXX__
  GTEST_SKIP() << "the texts are crafted against the GNU C++ library's string hash";
#endif
  const auto& texts = crafted();
  ASSERT_EQ(std::set<std::string>(texts.begin(), texts.end()).size(), kCount);
  std::set<std::size_t> hashes;
  for (const std::string& text : texts) {
    hashes.insert(std::hash<std::string_view>{}(text));
    EXPECT_EQ(operations::normalize_term(text), text);
  }
  EXPECT_EQ(hashes.size(), 1u);
}

// A hash that skipped a byte, or the length (a text and the text with zero
// bytes after it), would let anyone make as many texts of one value as they
// like.
TEST(TextHash, EveryByteAndTheLengthCount) {
  std::set<std::uint64_t> hashes;
  std::size_t texts = 0;
  for (std::size_t length = 0; length <= 24; ++length) {
    const std::string base(length, '\0');
    hashes.insert(text_hash(base));
    ++texts;
    for (std::size_t at = 0; at < length; ++at) {
      std::string changed = base;
      changed[at] = 'x';
      hashes.insert(text_hash(changed));
      ++texts;
    }
  }
  EXPECT_EQ(hashes.size(), texts);
}

// Identifiers from a caller's documents get the same care: ids whose two
// halves give one value when folded together (as an unseeded hash of both
// halves would) still spread.
TEST(IdHash, SpreadsIdsCraftedToShareTheirFoldedHalves) {
  std::set<std::size_t> hashes;
  for (std::uint64_t k = 0; k < kCount; ++k) {
    Uuid id;
    const std::uint64_t high = k * 0x9E3779B97F4A7C15u, low = high ^ 0x0123456789abcdefu;
    for (int i = 0; i < 8; ++i) {
      id.bytes[i] = static_cast<std::uint8_t>(high >> (56 - 8 * i));
      id.bytes[8 + i] = static_cast<std::uint8_t>(low >> (56 - 8 * i));
    }
    hashes.insert(IdHash{}(id));
  }
  EXPECT_EQ(hashes.size(), kCount);
}

// Reads of the table a lookup makes, over all texts; the limit is a few
// times what a hash that spreads them gives, and far below the half of
// kCount squared of one probe run.
struct Spread {
  const char* table;
  std::size_t (*total_reads)(std::span<const std::string>);
  std::size_t limit;
};

std::size_t seeded_hash_values(std::span<const std::string> texts) {
  // A read per text sharing a value with an earlier one.
  std::set<std::size_t> values;
  for (const std::string& text : texts) values.insert(TextHash{}(text));
  return texts.size() + (texts.size() - values.size());
}

// The probes of a lookup of each text in a table holding text k as number k.
template <class Table>
std::size_t lookup_probes(const Table& table, std::span<const std::string> texts) {
  std::size_t reads = 0;
  for (std::size_t k = 0; k < texts.size(); ++k) {
    EXPECT_EQ(table.find(texts[k]), k);
    reads += table.probes(texts[k]);
  }
  return reads;
}

std::size_t first_positions_probes(std::span<const std::string> texts) {
  return lookup_probes(FirstPositions<std::string>(texts), texts);
}

std::size_t id_table_probes(std::span<const std::string> texts) {
  provenance::IdTable table;
  for (std::size_t k = 0; k < texts.size(); ++k) EXPECT_EQ(table.intern(texts[k]), k);
  return lookup_probes(table, texts);
}

std::size_t text_hash_buckets(std::span<const std::string> texts) {
  const std::unordered_set<std::string_view, TextHash> table(texts.begin(), texts.end());
  std::size_t reads = 0;
  for (const std::string& text : texts) reads += table.bucket_size(table.bucket(text));
  return reads;
}

TEST(TextTables, SpreadTextsCraftedToCollide) {
  const Spread cases[] = {
      {"seeded text hash", seeded_hash_values, kCount + 2},
      {"first positions (Split's repeated terms)", first_positions_probes, 4 * kCount},
      {"provenance identifiers", id_table_probes, 6 * kCount},
      {"hash set on TextHash", text_hash_buckets, 4 * kCount},
  };
  for (const Spread& c : cases) {
    EXPECT_LE(c.total_reads(crafted()), c.limit) << c.table;
  }
}

// Every table keyed by text hashes it with TextHash: no source may hash
// text with the standard library's string hash, or declare a hash container
// keyed by text without TextHash.
TEST(TextTables, NoneIsKeyedOnTheStandardStringHash) {
  auto refused = [](std::string_view line) {
    if (line.find("std::hash<std::string") != std::string_view::npos) return true;
    for (std::string_view table :
         {"unordered_map<", "unordered_set<", "unordered_multimap<", "unordered_multiset<"}) {
      const std::size_t at = line.find(table);
      if (at != std::string_view::npos &&
          line.substr(at + table.size()).starts_with("std::string") &&
          line.find("TextHash") == std::string_view::npos) {
        return true;
      }
    }
    return false;
  };
  namespace fs = std::filesystem;
  const fs::path root = KELVORA_SOURCE_DIR;
  std::size_t files = 0;
  for (const char* dir : {"core/include", "core/src", "python/src"}) {
    for (const auto& entry : fs::recursive_directory_iterator(root / dir)) {
      const std::string ext = entry.path().extension().string();
      if (ext != ".cpp" && ext != ".hpp" && ext != ".h") continue;
      ++files;
      std::ifstream in(entry.path());
      std::string line;
      for (int number = 1; std::getline(in, line); ++number) {
        EXPECT_FALSE(refused(line)) << entry.path().string() << ":" << number << ": " << line;
      }
    }
  }
  EXPECT_GT(files, 50u);
}

}  // namespace
}  // namespace kelvora
