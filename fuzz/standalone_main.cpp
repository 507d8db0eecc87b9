// Drives a fuzz target where libFuzzer is not available: replays the files named on the command
// line, or, given none, runs seeded random inputs until -max_total_time=S seconds have passed or
// -runs=N inputs have run (by default two million inputs). Options as libFuzzer spells them.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  long long runs = 2'000'000;
  double seconds = 0;
  std::uint64_t seed = 20240601;
  std::vector<const char*> files;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.starts_with("-max_total_time=")) {
      seconds = std::atof(argv[i] + 16);
      runs = -1;
    } else if (arg.starts_with("-runs=")) {
      runs = std::atoll(argv[i] + 6);
    } else if (arg.starts_with("-seed=")) {
      seed = std::strtoull(argv[i] + 6, nullptr, 10);
    } else if (!arg.starts_with("-")) {
      files.push_back(argv[i]);
    }
  }
  if (!files.empty()) {
    for (const char* name : files) {
      std::ifstream file(name, std::ios::binary);
      const std::vector<char> bytes{std::istreambuf_iterator<char>(file), {}};
      LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    return 0;
  }
  std::mt19937_64 rng(seed);
  std::vector<std::uint8_t> input(64);
  const auto start = std::chrono::steady_clock::now();
  long long done = 0;
  for (;; ++done) {
    if (runs >= 0 && done >= runs) break;
    // The clock is read every thousand inputs: cheap, and close enough to the limit.
    if (runs < 0 && done % 1000 == 0 &&
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >=
            seconds) {
      break;
    }
    for (auto& byte : input) byte = static_cast<std::uint8_t>(rng());
    LLVMFuzzerTestOneInput(input.data(), 8 + static_cast<std::size_t>(rng() % 56));
  }
  std::printf("%lld random inputs passed\n", done);
  return 0;
}
