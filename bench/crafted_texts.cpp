// The fixture of bench/python_crafted_text_bench.py: writes argv[2] texts,
// one a line, to standard output: with argv[1] "crafted", texts that share
// one value of the standard library's string hash; with "ordinary", random
// texts of the same length and bytes.
#include "crafted_texts.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const bool colliding = std::strcmp(argv[1], "crafted") == 0;
  if (!colliding && std::strcmp(argv[1], "ordinary") != 0) return 2;
  const auto count = static_cast<std::size_t>(std::atol(argv[2]));
  const std::vector<std::string> texts = colliding ? kelvora::crafted::colliding_texts(count)
                                                   : kelvora::crafted::ordinary_texts(count);
  for (const std::string& text : texts) std::printf("%s\n", text.c_str());
  return 0;
}
