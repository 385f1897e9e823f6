#include "engine/input.hpp"

#include <cerrno>
#include <sys/stat.h>
#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>

#include "engine/platform.hpp"

namespace quillon::engine {
namespace {

constexpr const char* kNotRegular = "not a regular file";
constexpr const char* kChanged = "file changed while it was being read";
// What patches and rewrites of more metadata than a plan holds report on
// systems where models are not mapped.
[[maybe_unused]] constexpr const char* kNotMapped = "model files are not mapped on this system";

#ifndef _WIN32

// ---------------------------------------------------------------------------
// The fault table: the live mappings, searchable from a signal handler.

static_assert(std::atomic<std::uint64_t>::is_always_lock_free && std::atomic<std::uintptr_t>::is_always_lock_free &&
              std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

// A slot's tag is (generation << kStatusBits) | status; every reuse of the
// slot starts a new generation.
constexpr std::uint64_t kFree = 0, kFilling = 1, kLive = 2;
constexpr unsigned kStatusBits = 2;
constexpr std::uint64_t kStatusMask = (1u << kStatusBits) - 1;

struct Slot {
  std::atomic<std::uint64_t> tag{0};
  std::atomic<std::uintptr_t> begin{0}, end{0};
  std::atomic<bool> faulted{false};
};

Slot slots[kMaxInputs];
// One past the highest slot ever used: how far the handler searches.
std::atomic<int> slots_used{0};

// Enters the mapping [data, data + size) in a free slot; -1 when none is.
int enter(const std::uint8_t* data, std::size_t size) {
  for (int i = 0; i < kMaxInputs; ++i) {
    Slot& slot = slots[i];
    std::uint64_t tag = slot.tag.load(std::memory_order_relaxed);
    if ((tag & kStatusMask) != kFree) continue;
    const std::uint64_t generation = ((tag >> kStatusBits) + 1) << kStatusBits;
    if (!slot.tag.compare_exchange_strong(tag, generation | kFilling, std::memory_order_acquire)) continue;
    slot.begin.store(reinterpret_cast<std::uintptr_t>(data), std::memory_order_relaxed);
    slot.end.store(reinterpret_cast<std::uintptr_t>(data) + size, std::memory_order_relaxed);
    slot.faulted.store(false, std::memory_order_relaxed);
    int used = slots_used.load(std::memory_order_relaxed);
    while (used <= i && !slots_used.compare_exchange_weak(used, i + 1, std::memory_order_release)) {
    }
    slot.tag.store(generation | kLive, std::memory_order_release);
    return i;
  }
  return -1;
}

// Frees slot `index`; called before its mapping is unmapped.
void leave(int index) {
  Slot& slot = slots[index];
  const std::uint64_t tag = slot.tag.load(std::memory_order_relaxed);
  slot.tag.store(tag & ~kStatusMask, std::memory_order_release);
}

// The live slot whose mapping holds `address`, or null. A read of a slot's
// range counts only when its tag did not change around the read.
Slot* slot_holding(std::uintptr_t address) {
  const int used = slots_used.load(std::memory_order_acquire);
  for (int i = 0; i < used; ++i) {
    Slot& slot = slots[i];
    const std::uint64_t tag = slot.tag.load(std::memory_order_acquire);
    if ((tag & kStatusMask) != kLive) continue;
    const std::uintptr_t begin = slot.begin.load(std::memory_order_relaxed);
    const std::uintptr_t end = slot.end.load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (slot.tag.load(std::memory_order_relaxed) != tag) continue;
    if (address >= begin && address < end) return &slot;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// The SIGBUS handler.

std::uintptr_t page_size = 0;
// The disposition ours replaced, double-buffered so that a handler never
// reads one being written; `current_previous` selects the valid one.
struct sigaction previous[2];
std::atomic<int> current_previous{0};
// Set once a foreign fault was handed to the previous handler.
std::atomic<bool> handed_on{false};
std::mutex install_mutex;

bool is_function(const struct sigaction& action) {
  if (action.sa_flags & SA_SIGINFO) return action.sa_sigaction != nullptr;
  return action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN;
}

// What would have happened to `signal` without our handler.
void hand_on(int signal, siginfo_t* info, void* context) {
  const struct sigaction& before = previous[current_previous.load(std::memory_order_acquire)];
  // Sent by a process (kill, raise) rather than raised by an access.
  const bool sent = info == nullptr || info->si_code <= 0;
  if (is_function(before) && !(sent && handed_on.load(std::memory_order_relaxed))) {
    handed_on.store(true, std::memory_order_relaxed);
    if (before.sa_flags & SA_SIGINFO) {
      before.sa_sigaction(signal, info, context);
    } else {
      before.sa_handler(signal);
    }
    return;
  }
  if (sent && !(before.sa_flags & SA_SIGINFO) && before.sa_handler == SIG_IGN) return;
  // The default action. A faulting access runs again on return and faults
  // again (the kernel does not let an access fault be ignored); a sent
  // signal is sent again, and arrives once this handler returns.
  struct sigaction fallback = {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(signal, &fallback, nullptr);
  if (sent) ::raise(signal);
}

// Only async-signal-safe work: atomics, and mmap, which POSIX does not list
// but which on Linux is a plain system call that takes no user-space lock.
void on_bus_error(int signal, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  if (info != nullptr && info->si_code > 0) {
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    if (Slot* slot = slot_holding(address)) {
      void* page = reinterpret_cast<void*>(address & ~(page_size - 1));
      if (::mmap(page, page_size, PROT_READ, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) != MAP_FAILED) {
        slot->faulted.store(true, std::memory_order_relaxed);
        errno = saved_errno;
        return;
      }
    }
  }
  errno = saved_errno;
  hand_on(signal, info, context);
}

bool is_ours(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) && action.sa_sigaction == on_bus_error;
}

void publish_previous(const struct sigaction& action) {
  const int next = 1 - current_previous.load(std::memory_order_relaxed);
  previous[next] = action;
  current_previous.store(next, std::memory_order_release);
}

void* handler_of(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) ? reinterpret_cast<void*>(action.sa_sigaction)
                                        : reinterpret_cast<void*>(action.sa_handler);
}

// Puts our handler in front, keeping the one it replaces to hand foreign
// faults to. Cheap when ours is already there: one query.
void guard_faults() {
  struct sigaction current;
  if (::sigaction(SIGBUS, nullptr, &current) == 0 && is_ours(current)) return;
  const std::lock_guard lock(install_mutex);
  if (page_size == 0) page_size = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  if (::sigaction(SIGBUS, nullptr, &current) != 0 || is_ours(current)) return;
  // Published before ours is installed, so that no fault finds ours in
  // front without it.
  publish_previous(current);
  struct sigaction ours = {};
  ours.sa_sigaction = on_bus_error;
  ours.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&ours.sa_mask);
  struct sigaction replaced;
  if (::sigaction(SIGBUS, &ours, &replaced) != 0) return;
  // Another library may have installed a handler since the query.
  if (handler_of(replaced) != handler_of(current)) publish_previous(replaced);
}

// ---------------------------------------------------------------------------

// Opens without blocking: the name, checked to be a regular file, may name
// a FIFO by now, whose open for reading would wait for a writer.
int open_without_blocking(const std::string& path, bool writable) {
  int descriptor;
  do {
    descriptor = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  } while (descriptor < 0 && errno == EINTR);
  return descriptor;
}
#else
// Windows maps no input (platform_windows.cpp says why): no slot is ever
// taken.
struct Slot {
  std::atomic<bool> faulted{false};
};
Slot slots[1];
void leave(int) {}
#endif

}  // namespace

Error system_error(const std::string& path) { return Error::system_failure(errno, path); }

bool is_regular(unsigned mode) { return S_ISREG(mode); }

Error not_a_regular_file(const std::string& path, unsigned mode) {
  if (S_ISDIR(mode)) return Error::system_failure(EISDIR, path);
  return Error::system_failure(EINVAL, path, kNotRegular);
}

namespace {

// A regular file opened for reading (and for writing with `writable`), with
// its status at the open.
struct Opened {
  int descriptor;
  platform::FileStatus status;
};

#ifndef _WIN32
Result<Opened> open_regular(const std::string& path, bool writable) {
  struct stat named;
  if (::stat(path.c_str(), &named) != 0) return system_error(path);
  if (!is_regular(named.st_mode)) return not_a_regular_file(path, named.st_mode);
  const int descriptor = open_without_blocking(path, writable);
  if (descriptor < 0) return system_error(path);
  std::optional<Error> refused;
  platform::FileStatus status;
  if (platform::status_of(descriptor, status) != 0) {
    refused = system_error(path);
  } else if (!is_regular(status.mode)) {
    refused = not_a_regular_file(path, status.mode);
  } else if (::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) & ~O_NONBLOCK) != 0) {
    refused = system_error(path);
  }
  if (refused) {
    platform::close_file(descriptor);
    return std::move(*refused);
  }
  return Opened{descriptor, status};
}
#else
// The open refuses folders and whatever is not a disk file before anything
// is read; there are no FIFOs to wait on.
Result<Opened> open_regular(const std::string& path, bool writable) {
  const int descriptor = platform::windows::open_file(path, writable);
  if (descriptor < 0) return system_error(path);
  platform::FileStatus status;
  if (platform::status_of(descriptor, status) != 0) {
    Error error = system_error(path);
    platform::close_file(descriptor);
    return error;
  }
  return Opened{descriptor, status};
}
#endif

}  // namespace

#ifndef _WIN32
Result<InputFile> InputFile::open(const std::string& path) {
  Result<Opened> opened = open_regular(path, false);
  if (!opened) return std::move(opened).error();
  const int descriptor = opened->descriptor;
  const auto size = static_cast<std::size_t>(opened->status.size);
  const Stamp stamp = stamp_of(opened->status);
  if (size == 0) return InputFile(descriptor, path, nullptr, 0, stamp, -1);
  guard_faults();
  void* data = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, descriptor, 0);
  if (data == MAP_FAILED) {
    Error error = system_error(path);
    ::close(descriptor);
    return error;
  }
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  const int slot = enter(bytes, size);
  if (slot < 0) {
    ::munmap(data, size);
    ::close(descriptor);
    return Error::system_failure(EMFILE, path);
  }
  return InputFile(descriptor, path, bytes, size, stamp, slot);
}
#else
Result<InputFile> InputFile::open(const std::string& path) {
  return Error::system_failure(ENOTSUP, path, kNotMapped);
}
#endif

Result<InputFile> InputFile::open_unmapped(const std::string& path, bool writable) {
  Result<Opened> opened = open_regular(path, writable);
  if (!opened) return std::move(opened).error();
  return InputFile(opened->descriptor, path, nullptr, 0, stamp_of(opened->status), -1);
}

Result<std::string> InputFile::read(std::uint64_t offset, std::uint64_t length) const {
  std::string bytes(static_cast<std::size_t>(length), '\0');
  QUILLON_TRY(read_into(offset, length, reinterpret_cast<std::uint8_t*>(bytes.data())));
  return bytes;
}

Result<Ok> InputFile::read_into(std::uint64_t offset, std::uint64_t length, std::uint8_t* into) const {
  std::uint64_t done = 0;
  while (done < length) {
    const long got = platform::read_at(descriptor_, into + done, static_cast<std::size_t>(length - done), offset + done);
    if (got < 0) return system_error(path_);
    if (got == 0) return Error::system_failure(EIO, path_, kChanged);
    done += static_cast<std::uint64_t>(got);
  }
  return Ok{};
}

InputFile::InputFile(InputFile&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)),
      path_(std::move(other.path_)),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      stamp_(other.stamp_),
      slot_(std::exchange(other.slot_, -1)) {}

InputFile::~InputFile() {
  if (slot_ >= 0) leave(slot_);
#ifndef _WIN32
  if (data_ != nullptr) ::munmap(const_cast<std::uint8_t*>(data_), size_);
#endif
  if (descriptor_ >= 0) platform::close_file(descriptor_);
}

InputFile::Stamp InputFile::stamp_of(const platform::FileStatus& status) {
  const platform::FileTimes& times = status.times;
  return {status.size, times.modified_s, times.modified_ns, times.changed_s, times.changed_ns};
}

bool InputFile::changed() const {
  if (slot_ >= 0 && slots[slot_].faulted.load(std::memory_order_relaxed)) return true;
  platform::FileStatus status;
  if (platform::status_of(descriptor_, status) != 0) return true;
  return !(stamp_of(status) == stamp_);
}

Result<Ok> InputFile::unchanged() const {
  if (changed()) return Error::system_failure(EIO, path_, kChanged);
  return Ok{};
}

bool InputFile::contains(Bytes view) const {
  if (data_ == nullptr || view.empty()) return false;
  const std::uint8_t* first = view.data();
  return first >= data_ && first < data_ + size_ && view.size() <= static_cast<std::size_t>(data_ + size_ - first);
}

}  // namespace quillon::engine
