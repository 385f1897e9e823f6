#include "binding/results.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

#ifdef __linux__
#include <sys/mman.h>
#endif

#include "binding/gil.hpp"
#include "binding/ref.hpp"

namespace quillon::binding {
namespace {

// A freshly allocated result of a gigabyte spends much of its copy faulting
// in small pages. Asking for transparent huge pages on the 2 MiB-aligned
// interior of the buffer roughly halves that. It is only a hint: the kernel
// may refuse it and nothing else depends on it.
void advise_huge_pages([[maybe_unused]] std::uint8_t* data, [[maybe_unused]] std::size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::size_t kHugePageSize = std::size_t{2} << 20;
  // Below this a result spans at most one huge page; not worth a system call.
  constexpr std::size_t kHugePageThreshold = std::size_t{4} << 20;
  if (size < kHugePageThreshold) return;
  const std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + kHugePageSize - 1) & ~(kHugePageSize - 1);
  const std::uintptr_t last = (begin + size) & ~(kHugePageSize - 1);
  if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

// A new `bytes` object of `size` bytes that `fill` writes. The object is
// allocated with the lock held; nobody else can see it yet, so a large one
// is filled without the lock.
template <class Fill>
PyObject* filled_bytes(std::size_t size, Fill fill) {
  Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!bytes) return nullptr;
  auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(bytes.get()));
  {
    WithoutInterpreterLock released(worth_releasing(size));
    fill(data);
  }
  return bytes.release();
}

}  // namespace

PyObject* new_bytes(std::string_view bytes) {
  return filled_bytes(bytes.size(), [&](std::uint8_t* data) {
    if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  });
}

PyObject* new_bytes(const FileImage& image) {
  return filled_bytes(image.size(), [&](std::uint8_t* data) {
    advise_huge_pages(data, image.size());
    image.write_to(data);
  });
}

PyObject* new_text(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* new_none() {
  Py_IncRef(Py_None);
  return Py_None;
}

}  // namespace quillon::binding
