// Drives a fuzz target where libFuzzer is not available: replays the files named on the command
// line, or, given none, runs a fixed number of seeded random inputs.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  if (argc > 1) {
    for (int i = 1; i < argc; ++i) {
      std::ifstream file(argv[i], std::ios::binary);
      const std::vector<char> bytes{std::istreambuf_iterator<char>(file), {}};
      LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    return 0;
  }
  std::mt19937_64 rng(20240601);
  std::vector<std::uint8_t> input(64);
  constexpr int kRuns = 2'000'000;
  for (int run = 0; run < kRuns; ++run) {
    for (auto& byte : input) byte = static_cast<std::uint8_t>(rng());
    LLVMFuzzerTestOneInput(input.data(), 8 + static_cast<std::size_t>(rng() % 56));
  }
  std::printf("%d random inputs passed\n", kRuns);
  return 0;
}
