#include "files/input.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <utility>

namespace quillon::files {
namespace {

constexpr const char* kNotRegular = "not a regular file";

// Opens without blocking: opening a FIFO for reading would otherwise wait
// for a writer before the file type could be checked.
int open_without_blocking(const std::string& path, bool writable) {
  int descriptor;
  do {
    descriptor = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  } while (descriptor < 0 && errno == EINTR);
  return descriptor;
}

}  // namespace

Error system_error(const std::string& path) { return Error::system_failure(errno, path); }

bool is_regular(unsigned mode) { return S_ISREG(mode); }

Error not_a_regular_file(const std::string& path, unsigned mode) {
  if (S_ISDIR(mode)) return Error::system_failure(EISDIR, path);
  return Error::system_failure(EINVAL, path, kNotRegular);
}

Result<InputFile> InputFile::open(const std::string& path, bool writable) {
  const int descriptor = open_without_blocking(path, writable);
  if (descriptor < 0) return system_error(path);
  struct stat status;
  std::optional<Error> refused;
  if (::fstat(descriptor, &status) != 0) {
    refused = system_error(path);
  } else if (!is_regular(status.st_mode)) {
    refused = not_a_regular_file(path, status.st_mode);
  } else if (::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) & ~O_NONBLOCK) != 0) {
    refused = system_error(path);
  }
  if (refused) {
    ::close(descriptor);
    return std::move(*refused);
  }
  const auto size = static_cast<std::size_t>(status.st_size);
  const Stamp stamp = stamp_of(status);
  if (size == 0) return InputFile(descriptor, path, nullptr, 0, stamp);
  void* data = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, descriptor, 0);
  if (data == MAP_FAILED) {
    Error error = system_error(path);
    ::close(descriptor);
    return error;
  }
  return InputFile(descriptor, path, static_cast<const std::uint8_t*>(data), size, stamp);
}

InputFile::InputFile(InputFile&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)),
      path_(std::move(other.path_)),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      stamp_(other.stamp_) {}

InputFile::~InputFile() {
  if (data_ != nullptr) ::munmap(const_cast<std::uint8_t*>(data_), size_);
  if (descriptor_ >= 0) ::close(descriptor_);
}

InputFile::Stamp InputFile::stamp_of(const struct stat& status) {
  return {static_cast<std::uint64_t>(status.st_size), status.st_mtim.tv_sec, status.st_mtim.tv_nsec,
          status.st_ctim.tv_sec, status.st_ctim.tv_nsec};
}

bool InputFile::changed() const {
  struct stat status;
  if (::fstat(descriptor_, &status) != 0) return true;
  return !(stamp_of(status) == stamp_);
}

bool InputFile::contains(Bytes view) const {
  if (data_ == nullptr || view.empty()) return false;
  const std::uint8_t* first = view.data();
  return first >= data_ && first < data_ + size_ && view.size() <= static_cast<std::size_t>(data_ + size_ - first);
}

}  // namespace quillon::files
