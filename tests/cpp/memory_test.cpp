// Peak heap use of the manifest operations on models of hostile shape.
//
// SafeTensors headers: whatever the nesting, a read takes at most 8 MiB
// beyond the input, and a rewrite at most 8 MiB beyond the header it builds.
// That header is reserved at once, at the input header's length plus what an
// embed adds, so that it never moves while it grows; when dropped members
// make it shorter, the reserved rest is never touched.
//
// GGUF metadata: whatever the number of entries, their sizes and the nesting
// of arrays, a read takes at most 64 MiB, and an embed or a remove at most
// 64 MiB beyond the size of the file it describes. The models lie in pages
// mapped for the test, outside the counted heap; a zero page costs nothing
// until written, so a sparse file is one written page before a mapped hole.
//
// Every allocation of this test program is counted by the operator new
// below.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <new>
#include <string>
#include <sys/mman.h>
#include <utility>
#include <vector>

#include "format/dispatch.hpp"
#include "models.hpp"

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

using test::framed;
using test::repeat;

// `count` opening brackets, then `closing` of the closing ones, inside
// `prefix` and `suffix`.
std::string nested(std::string_view prefix, std::size_t count, std::size_t closing, std::string_view suffix) {
  std::string out(prefix);
  out.append(count, '[');
  out.append(closing, ']');
  out += suffix;
  return framed(out);
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
      {"balanced objects", framed(repeat(R"({"a":)", kHeaderSize / 6) + "1" + std::string(kHeaderSize / 6, '}'))},
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

// ---- GGUF ----

#ifdef QUILLON_MEMORY_SANITIZED
constexpr std::size_t kGgufSize = 25'600'000;
#else
constexpr std::size_t kGgufSize = std::size_t{256} << 20;
#endif
constexpr std::size_t kGgufBudget = std::size_t{64} << 20;
constexpr std::uint32_t kArray = 9;

// Fresh anonymous pages, read-write, unmapped at the end.
class Pages {
 public:
  explicit Pages(std::size_t size) : size_(size) {
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    data_ = p == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(p);
  }
  ~Pages() {
    if (data_ != nullptr) ::munmap(data_, size_);
  }
  Pages(const Pages&) = delete;
  Pages& operator=(const Pages&) = delete;

  bool ok() const { return data_ != nullptr; }
  Bytes bytes() const { return {data_, size_}; }
  // Writes `part` at `offset` `times` times over, back to back, and returns
  // the offset after the last copy.
  std::size_t write(std::size_t offset, std::string_view part, std::size_t times = 1) {
    for (std::size_t i = 0; i < times; ++i, offset += part.size()) std::memcpy(data_ + offset, part.data(), part.size());
    return offset;
  }

 private:
  std::uint8_t* data_;
  std::size_t size_;
};

using test::gguf_kv;
using test::le32;
using test::le64;

// A GGUF model of kGgufSize bytes: the header for `count` entries, then each
// part written `times` over, then zero bytes up to the end. Valid shapes
// leave room for padding and tensor data there.
struct GgufShape {
  const char* what;
  bool valid;
  std::uint64_t count;
  std::vector<std::pair<std::string, std::size_t>> parts;
};

// How many times `unit` fits in the model, leaving `spare` bytes.
std::size_t filling(std::size_t unit, std::size_t spare = 4096) { return (kGgufSize - spare) / unit; }

std::vector<GgufShape> gguf_shapes() {
  const std::string zero_entry(13, '\0');  // empty key, UINT8 0
  const std::string store = gguf_kv("c2pa:manifest", kArray, le32(0) + le64(0));
  const std::string uri = gguf_kv("c2pa:manifest.uri", 8, le64(0));
  const std::string kept = gguf_kv("k", 8, le64(4075) + std::string(4075, 'v'));  // 4096 bytes
  const std::string deep = le64(4) + "deep" + le32(kArray);
  const std::string leaf = le32(0) + le64(0);  // an empty UINT8 array
  const std::string twin = le32(kArray) + le64(2);
  const std::size_t pairs = filling(store.size() + zero_entry.size());
  const std::size_t wide_pairs = filling(uri.size() + kept.size());
  const std::size_t twins = filling(twin.size() + leaf.size());
  const std::size_t levels = filling(12);
  const std::size_t strings = filling(8);
  return {
      {"sparse zero entries", true, filling(zero_entry.size(), 32), {}},
      {"C2PA entries between zero entries", true, 2 * pairs, {{store + zero_entry, pairs}}},
      {"C2PA entries between runs to keep whole", true, 2 * wide_pairs, {{uri + kept, wide_pairs}}},
      {"arrays of one array", true, 1, {{deep, 1}, {le32(kArray) + le64(1), levels}, {leaf, 1}}},
      {"arrays of two arrays", true, 1, {{deep, 1}, {twin, twins}, {leaf, twins + 1}}},
      {"arrays of 2^40 arrays", false, 1, {{deep, 1}, {le32(kArray) + le64(std::uint64_t{1} << 40), levels}}},
      // Each count fits the file on its own, a thousand of them do not.
      {"arrays whose counts add up beyond the file", false, 1, {{deep, 1}, {le32(kArray) + le64(levels / 1000), levels}}},
      {"array of empty strings", true, 1, {{deep + le32(8) + le64(strings), 1}}},
  };
}

TEST(MemoryGguf, MetadataOfAnyShapeStaysWithinBudget) {
  const ManifestSource source{"https://example.com/m", "store"};
  for (const GgufShape& shape : gguf_shapes()) {
    SCOPED_TRACE(shape.what);
    Pages pages(kGgufSize);
    ASSERT_TRUE(pages.ok());
    std::size_t at = pages.write(0, "GGUF" + le32(3) + le64(0) + le64(shape.count));
    for (const auto& [part, times] : shape.parts) at = pages.write(at, part, times);
    const Bytes model = pages.bytes();
    EXPECT_LE(peak_of([&] { (void)read_manifest(model); }), kGgufBudget);
    EXPECT_LE(peak_of([&] { (void)read_manifest_uri(model); }), kGgufBudget);
    EXPECT_LE(peak_of([&] { (void)store_ranges(model); }), kGgufBudget);
    EXPECT_LE(peak_of([&] { (void)patch_store(model, as_bytes(std::string_view("x"))); }), kGgufBudget);
    for (const bool embedding : {true, false}) {
      bool done = false;
      std::size_t output = 0;
      const std::size_t used = peak_of([&] {
        Result<FileImage> image = embedding ? embed_manifest(model, source) : remove_manifest(model);
        if (image) output = image->size();
        done = image.ok();
      });
      EXPECT_EQ(done, shape.valid) << (embedding ? "embed" : "remove");
      EXPECT_LE(used, output + kGgufBudget) << (embedding ? "embed" : "remove");
    }
  }
}

}  // namespace
}  // namespace quillon
