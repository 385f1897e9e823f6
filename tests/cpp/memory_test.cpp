// Peak heap use of the SafeTensors operations on headers of hostile shape:
// whatever the nesting, a read takes at most 8 MiB beyond the input, and a
// rewrite at most 8 MiB beyond the header it builds. That header is reserved
// at once, at the input header's length plus what an embed adds, so that it
// never moves while it grows; when dropped members make it shorter, the
// reserved rest is never touched. Every allocation of this test program is
// counted by the operator new below.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <malloc.h>
#include <new>
#include <string>

#include "format/dispatch.hpp"

namespace {

std::atomic<std::size_t> live{0};
std::atomic<std::size_t> peak{0};

}  // namespace

// Counted by the allocator's own idea of each block's size, so that delete
// gives back exactly what new took.
void* operator new(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  const std::size_t now = live += malloc_usable_size(p);
  for (std::size_t seen = peak; now > seen && !peak.compare_exchange_weak(seen, now);) {
  }
  return p;
}

// g++ sees only the inlined pair of a replaced new and its delete, and
// takes the free() that matches the malloc() above for a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  live -= malloc_usable_size(p);
  std::free(p);
}

void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace quillon {
namespace {

#if defined(__SANITIZE_ADDRESS__)
#define QUILLON_MEMORY_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLON_MEMORY_SANITIZED 1
#endif
#endif

// Nearly 100 MB of header, close to the largest that safetensors readers
// open, leaving room for what an embed adds; a tenth of it under the
// sanitizers, which walk it ten times slower.
#ifdef QUILLON_MEMORY_SANITIZED
constexpr std::size_t kHeaderSize = 9'900'000;
#else
constexpr std::size_t kHeaderSize = 99'000'000;
#endif
constexpr std::size_t kBudget = std::size_t{8} << 20;

std::string framed(const std::string& header) {
  std::string out;
  store_le<std::uint64_t>(out, header.size());
  return out + header;
}

// `count` opening brackets, then `closing` of the closing ones, inside
// `prefix` and `suffix`.
std::string nested(std::string_view prefix, std::size_t count, std::size_t closing, std::string_view suffix) {
  std::string out(prefix);
  out.append(count, '[');
  out.append(closing, ']');
  out += suffix;
  return framed(out);
}

std::string repeated(std::string_view unit, std::size_t count) {
  std::string out;
  out.reserve(unit.size() * count);
  for (std::size_t i = 0; i < count; ++i) out += unit;
  return out;
}

// The peak heap use of `operation` above what was live before it.
template <class Operation>
std::size_t peak_of(Operation operation) {
  const std::size_t before = live;
  peak = before;
  operation();
  return peak - before;
}

TEST(MemorySafeTensors, HeadersOfAnyShapeStayWithinBudget) {
  const std::size_t half = kHeaderSize / 2;
  const struct {
    const char* what;
    std::string model;
  } cases[] = {
      {"balanced arrays", nested(R"({"a":)", half - 3, half - 3, "}")},
      {"arrays never closed", nested(R"({"a":)", kHeaderSize - 5, 0, "")},
      {"arrays in metadata", nested(R"({"__metadata__":{"c2pa:manifest":)", half - 20, half - 20, "}}")},
      {"balanced objects", framed(repeated(R"({"a":)", kHeaderSize / 6) + "1" + std::string(kHeaderSize / 6, '}'))},
  };
  const ManifestSource source{"https://example.com/m", "store"};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes model = as_bytes(c.model);
    EXPECT_LE(peak_of([&] { (void)read_manifest(model); }), kBudget);
    EXPECT_LE(peak_of([&] { (void)read_manifest_uri(model); }), kBudget);
    const std::size_t added = 128;  // the new members and their separators
    for (const bool embedding : {true, false}) {
      std::size_t header = 0;
      const std::size_t used = peak_of([&] {
        Result<FileImage> image = embedding ? embed_manifest(model, source) : remove_manifest(model);
        if (image) header = image->size();  // no tensor data follows
      });
      EXPECT_LE(used, std::max(header, c.model.size() + added) + kBudget) << (embedding ? "embed" : "remove");
    }
  }
}

}  // namespace
}  // namespace quillon
