// Base64 throughput of the core: encode and strict decode of a
// random-looking buffer, best of several runs, in GB/s of the binary side
// (encode reads it, decode writes it).
//
//   cmake -S . -B build/bench -G Ninja -DQUILLON_BENCH=ON && cmake --build build/bench -t base64_bench
//   build/bench/base64_bench [size in bytes, default 1048576]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base64/base64.hpp"

namespace {

constexpr int kRuns = 7;
constexpr double kMinSeconds = 0.05;  // each run repeats the call at least this long

template <class Call>
double best_seconds_per_call(Call call) {
  using Clock = std::chrono::steady_clock;
  double best = 1e30;
  for (int run = 0; run < kRuns; ++run) {
    long calls = 0;
    const Clock::time_point start = Clock::now();
    double elapsed = 0;
    do {
      call();
      ++calls;
      elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    } while (elapsed < kMinSeconds);
    best = std::min(best, elapsed / static_cast<double>(calls));
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t size = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : std::size_t{1} << 20;
  std::string plain(size, '\0');
  for (std::size_t i = 0; i < size; ++i) plain[i] = static_cast<char>((i * 40503 + (i >> 7)) & 0xFF);
  const std::string text = quillon::base64::encode(quillon::as_bytes(plain));
  if (quillon::base64::decode(text) != plain) {
    std::fprintf(stderr, "round trip failed\n");
    return 1;
  }
  std::size_t sink = 0;
  const double encode = best_seconds_per_call([&] { sink += quillon::base64::encode(quillon::as_bytes(plain)).size(); });
  const double decode = best_seconds_per_call([&] { sink += quillon::base64::decode(text)->size(); });
  std::printf("size %zu bytes\nencode %.2f GB/s\ndecode %.2f GB/s\n", size, size / encode / 1e9, size / decode / 1e9);
  return sink == 0;
}
