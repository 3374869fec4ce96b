// libFuzzer driver; KELVORA_FUZZ_ENTRY names the function of
// fuzz_entries.hpp that this target runs.
#include <cstdio>
#include <cstdlib>

#include "fuzz_entries.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string broken = kelvora::fuzz::KELVORA_FUZZ_ENTRY(
      std::string_view(reinterpret_cast<const char*>(data), size));
  if (!broken.empty()) {
    std::fprintf(stderr, "property broken: %s\n", broken.c_str());
    std::abort();
  }
  return 0;
}
