// Concurrency: the four manifest operations share nothing mutable, so many
// threads working on the same inputs get exactly the single-threaded
// results. Built under ThreadSanitizer (QUILLON_TSAN), this also proves the
// core free of data races.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "format/dispatch.hpp"
#include "models.hpp"

namespace quillon {
namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 8;

// A store long enough for the vector Base64 code (SafeTensors and ONNX keep
// it as text), with every byte value.
std::string store() {
  std::string out;
  for (int i = 0; i < 4096; ++i) out += static_cast<char>(i * 7 + (i >> 8));
  return out;
}

// Per format: a plain model, the same stamped with both kinds of C2PA data,
// and a damaged one; plus a file of no format.
std::vector<std::string> inputs() {
  const std::vector<std::string> plain = {
      test::empty_gguf(),
      test::safetensors_model("data"),
      std::string("\x08\x07\x3a\x02\x0a\x00", 6),  // ir_version 7 and an empty graph
  };
  const ManifestSource both{std::string("https://example.com/m.c2pa"), store()};
  std::vector<std::string> out = {"not a model"};
  for (const std::string& model : plain) {
    const Result<FileImage> stamped = embed_manifest(as_bytes(model), both);
    EXPECT_TRUE(stamped) << stamped.error().message();
    out.push_back(model);
    out.push_back(stamped->to_string());
    out.push_back(stamped->to_string().substr(0, stamped->size() - 3));  // cut short
  }
  return out;
}

// Every operation's outcome on `model` as text: its result bytes or its
// error message.
std::string outcomes(const std::string& model, const ManifestSource& source) {
  std::string out;
  auto note = [&](const auto& result, auto show) {
    out += result ? "ok:" + show(*result) : "error:" + result.error().message();
    out += '\n';
  };
  const Bytes bytes = as_bytes(model);
  note(read_manifest(bytes), [](const std::string& s) { return s; });
  note(read_manifest_uri(bytes), [](const std::optional<std::string>& uri) { return uri.value_or("<none>"); });
  note(embed_manifest(bytes, source), [](const FileImage& image) { return image.to_string(); });
  note(remove_manifest(bytes), [](const FileImage& image) { return image.to_string(); });
  return out;
}

TEST(Concurrency, ThreadsOnSharedInputsGetTheSingleThreadedResults) {
  const std::vector<std::string> models = inputs();
  const ManifestSource sources[] = {
      {std::nullopt, store()},
      {std::string("https://example.com/other.c2pa"), std::nullopt},
  };
  std::vector<std::string> expected;
  for (const std::string& model : models) {
    for (const ManifestSource& source : sources) expected.push_back(outcomes(model, source));
  }

  // Each thread starts at a different input so that different operations
  // overlap; results are compared on the main thread.
  std::vector<std::vector<std::string>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        for (std::size_t i = 0; i < expected.size(); ++i) {
          const std::size_t k = (i + t) % expected.size();
          seen[t].push_back(outcomes(models[k / 2], sources[k % 2]));
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), kRounds * expected.size());
    for (std::size_t n = 0; n < seen[t].size(); ++n) {
      EXPECT_EQ(seen[t][n], expected[(n + t) % expected.size()]) << "thread " << t << ", call " << n;
    }
  }
}

}  // namespace
}  // namespace quillon
