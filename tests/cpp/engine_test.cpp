// The file layer: inputs mapped and refused, images written through both
// copy paths, destinations replaced through both kinds of temporary file,
// and file operations that agree with the in-memory ones.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "engine/input.hpp"
#include "engine/operations.hpp"
#include "engine/replace.hpp"
#include "engine/seams.hpp"
#include "engine/windows_errors.hpp"
#include "format/dispatch.hpp"
#include "models.hpp"

// Faults injected into the file layer: these definitions take the place of
// the C library's in this test binary, and go straight to the kernel unless
// a test arms them.
namespace {
struct Faults {
  int folder_sync = 0;          // errno for fsync of a folder
  bool kill_at_rename = false;  // SIGKILL at a rename
  int acl_set = 0;              // errno for setting a POSIX ACL
  int change_at_read = -1;      // runs `change` before the read with this index (0: the next)
  std::function<void()> change;
} faults;

ssize_t pread_with_faults(int descriptor, void* buffer, size_t length, off_t offset) {
  if (faults.change_at_read >= 0 && faults.change_at_read-- == 0) faults.change();
  return ::syscall(SYS_pread64, descriptor, buffer, length, offset);
}
}  // namespace

extern "C" ssize_t pread(int descriptor, void* buffer, size_t length, off_t offset) {
  return pread_with_faults(descriptor, buffer, length, offset);
}

extern "C" ssize_t pread64(int descriptor, void* buffer, size_t length, off64_t offset) {
  return pread_with_faults(descriptor, buffer, length, offset);
}

extern "C" int fsync(int descriptor) {
  struct stat status;
  if (faults.folder_sync != 0 && ::fstat(descriptor, &status) == 0 && S_ISDIR(status.st_mode)) {
    errno = faults.folder_sync;
    return -1;
  }
  return static_cast<int>(::syscall(SYS_fsync, descriptor));
}

extern "C" int renameat(int from_folder, const char* from, int to_folder, const char* to) noexcept {
  if (faults.kill_at_rename) ::raise(SIGKILL);
  return static_cast<int>(::syscall(SYS_renameat2, from_folder, from, to_folder, to, 0));
}

extern "C" int rename(const char* from, const char* to) noexcept { return renameat(AT_FDCWD, from, AT_FDCWD, to); }

extern "C" int fsetxattr(int descriptor, const char* name, const void* value, size_t size, int flags) noexcept {
  if (faults.acl_set != 0 && std::strcmp(name, "system.posix_acl_access") == 0) {
    errno = faults.acl_set;
    return -1;
  }
  return static_cast<int>(::syscall(SYS_fsetxattr, descriptor, name, value, size, flags));
}

namespace quillon::engine {
namespace {

using test::empty_gguf;
using test::message_of;
using test::repeat;
using test::kMinimalOnnx;
using test::safetensors_model;
using test::vocabulary_gguf;

class Folder {
 public:
  Folder() {
    char pattern[] = "/tmp/quillon-files-test-XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~Folder() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // Every name in the folder but the ones a test made itself.
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    DIR* dir = ::opendir(path_.c_str());
    while (dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") out.push_back(name);
    }
    ::closedir(dir);
    return out;
  }

 private:
  std::string path_;
};

void write_file(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::string read_file(const std::string& path) {
  std::ostringstream out;
  out << std::ifstream(path, std::ios::binary).rdbuf();
  return out.str();
}

struct Mode {
  const char* name;
  seams::Fallbacks fallbacks;
};

std::vector<Mode> modes() {
  return {{"kernel copy, unnamed temp", {false, false, true}},
          {"buffered copy, named temp", {true, true, false}},
          {"kernel copy, named temp", {false, true, true}},
          {"buffered copy, unnamed temp", {true, false, false}}};
}

TEST(InputFile, RefusesWhatIsNotARegularFile) {
  Folder folder;
  ::mkfifo((folder / "fifo").c_str(), 0600);
  ::mkdir((folder / "dir").c_str(), 0700);
  struct Case {
    std::string path;
    int code;
    std::string text;
  } cases[] = {
      {folder / "missing", ENOENT, "No such file or directory"},
      {folder / "dir", EISDIR, "Is a directory"},
      {folder / "fifo", EINVAL, "not a regular file"},  // must not block waiting for a writer
      {"/dev/zero", EINVAL, "not a regular file"},
  };
  for (const Case& c : cases) {
    Result<InputFile> input = InputFile::open(c.path);
    ASSERT_FALSE(input) << c.path;
    EXPECT_EQ(input.error(), Error::system_failure(c.code, c.path, input.error().detail())) << c.path;
    EXPECT_EQ(input.error().system_text(), c.text);
    EXPECT_EQ(input.error().message(), c.path + ": " + c.text);
  }
}

TEST(InputFile, NeverOpensAFifo) {
  Folder folder;
  ::mkfifo((folder / "fifo").c_str(), 0600);
  // Any open of the FIFO, even one that fails at once, releases a writer
  // blocked in its own open.
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, (folder / "fifo").c_str(), IN_OPEN), 0);
  for (const bool writable : {false, true}) EXPECT_FALSE(InputFile::open_unmapped(folder / "fifo", writable));
  EXPECT_FALSE(InputFile::open(folder / "fifo"));
  char events[4096];
  EXPECT_EQ(::read(watch, events, sizeof events), -1);
  EXPECT_EQ(errno, EAGAIN);
  ::close(watch);
}

// Opens `path` holding `size` bytes, cuts the file to `kept` bytes and
// reads every page of the mapping: the pages past the new end read as
// zeros instead of faulting. Returns the input and the sum of its bytes.
std::pair<Result<InputFile>, std::uint64_t> read_cut_short(const std::string& path, std::size_t size,
                                                           std::size_t kept) {
  write_file(path, std::string(size, '\1'));
  Result<InputFile> input = InputFile::open(path);
  if (!input || ::truncate(path.c_str(), static_cast<off_t>(kept)) != 0) return {std::move(input), 0};
  std::uint64_t sum = 0;
  for (std::uint8_t byte : input->bytes()) sum += byte;
  return {std::move(input), sum};
}

TEST(InputFile, AFileCutShortWhileMappedReadsAsChanged) {
  Folder folder;
  constexpr std::size_t kSize = 1 << 20;
  for (const std::size_t kept : {std::size_t{0}, std::size_t{kSize / 2}}) {
    auto [input, sum] = read_cut_short(folder / "m", kSize, kept);
    ASSERT_TRUE(input);
    EXPECT_EQ(sum, kept);
    // The parsers run on what is left without faulting either.
    EXPECT_FALSE(quillon::read_manifest(input->bytes()));
    ASSERT_FALSE(input->unchanged());
    EXPECT_EQ(input->unchanged().error().message(), folder / "m" + ": file changed while it was being read");
  }
  // A file only read is unchanged.
  write_file(folder / "m", empty_gguf());
  EXPECT_TRUE(InputFile::open(folder / "m")->unchanged());
}

TEST(FileOperations, AModelChangedBetweenItsReadsIsAnErrorNeverASignal) {
  Folder folder;
  const std::string path = folder / "m";
  // Stores whose metadata outgrows the first read, which a second one fetches.
  const ManifestSource source{std::string("https://example.com/m"), repeat("store", 8000)};
  // And a store after a vocabulary of 400 KB, which three reads fetch.
  const std::string models[] = {quillon::embed_manifest(as_bytes(empty_gguf()), source)->to_string(),
                                quillon::embed_manifest(as_bytes(safetensors_model("t")), source)->to_string(),
                                quillon::embed_manifest(as_bytes(vocabulary_gguf(30000)), source)->to_string()};
  struct Change {
    const char* name;
    int at_read;
    std::function<void(const std::string& model)> change;
  } changes[] = {
      {"emptied before the first read", 0, [&](const std::string&) { ::truncate(path.c_str(), 0); }},
      {"cut short before the second", 1,
       [&](const std::string& model) { ::truncate(path.c_str(), static_cast<off_t>(model.size() / 2)); }},
      // Same size, other bytes: only the stamp tells.
      {"rewritten before the second", 1,
       [&](const std::string& model) {
         write_file(path, std::string(model.size(), 'x'));
         const struct timespec times[2] = {{1, 0}, {1, 0}};
         ::utimensat(AT_FDCWD, path.c_str(), times, 0);
       }},
  };
  using Read = std::function<std::string()>;
  const std::pair<const char*, Read> reads[] = {
      {"read_manifest", [&] { return message_of(read_manifest(path)); }},
      {"read_manifest_uri", [&] { return message_of(read_manifest_uri(path)); }},
      {"detect_format", [&] { return message_of(detect_format(path)); }},
      {"describe", [&] { return message_of(describe(path)); }},
      {"store_ranges", [&] { return message_of(store_ranges(path)); }},
      // Reads before it writes: a change meanwhile leaves the file to its writer.
      {"patch_store", [&] { return message_of(patch_store(path, as_bytes(repeat("patch", 8000)))); }},
  };
  for (const std::string& model : models) {
    for (const Change& c : changes) {
      for (const auto& [name, read] : reads) {
        write_file(path, model);
        const std::string unchanged = read();
        faults.change_at_read = c.at_read;
        faults.change = [&] { c.change(model); };
        const std::string message = read();
        // A read done before the change (detection in the first bytes) stands.
        const bool changed = faults.change_at_read < 0;
        faults.change_at_read = -1;
        EXPECT_EQ(message, changed ? path + ": file changed while it was being read" : unchanged)
            << c.name << ", " << name;
        EXPECT_TRUE(changed || std::string(name) == "detect_format") << c.name << ", " << name;
      }
    }
  }
}

// Reads a page of `path` mapped outside every input after cutting the file
// short: a fault that is not the inputs' to contain.
void fault_outside_inputs(const std::string& path) {
  write_file(path, std::string(4096, 'x'));
  const int descriptor = ::open(path.c_str(), O_RDONLY);
  const auto* page = static_cast<const volatile char*>(::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, descriptor, 0));
  ::truncate(path.c_str(), 0);
  (void)page[0];
}

// Exits with 5 unless a fault in an input's mapping is contained.
void contained_fault(const std::string& path) {
  auto [input, sum] = read_cut_short(path, 1 << 16, 0);
  if (!input || sum != 0 || input->unchanged()) ::_exit(5);
}

void earlier_handler(int, siginfo_t*, void*) {
  if (::write(2, "earlier\n", 8) < 0) ::_exit(6);
  ::_exit(3);
}

// Like Python's faulthandler: reports, restores what it replaced and raises
// the signal again for that to act on.
struct sigaction replaced_by_later;
int later_calls = 0;
void later_handler(int signal) {
  if (++later_calls > 1) ::_exit(4);
  if (::write(2, "later\n", 6) < 0) ::_exit(6);
  ::sigaction(signal, &replaced_by_later, nullptr);
  ::raise(signal);
}

TEST(InputFileDeathTest, FaultsOutsideInputsGoWhereTheyWouldWithoutThem) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // each case in a fresh process
  Folder folder;
  EXPECT_EXIT(
      {
        ::signal(SIGBUS, SIG_DFL);  // a sanitizer may have a handler of its own
        contained_fault(folder / "m");
        fault_outside_inputs(folder / "f");
      },
      ::testing::KilledBySignal(SIGBUS), "");
  EXPECT_EXIT(
      {
        struct sigaction earlier = {};
        earlier.sa_sigaction = earlier_handler;
        earlier.sa_flags = SA_SIGINFO;
        ::sigaction(SIGBUS, &earlier, nullptr);
        contained_fault(folder / "m");
        fault_outside_inputs(folder / "f");
      },
      ::testing::ExitedWithCode(3), "earlier");
  EXPECT_EXIT(
      {
        contained_fault(folder / "m");
        struct sigaction later = {};
        later.sa_handler = later_handler;
        later.sa_flags = SA_NODEFER;
        ::sigaction(SIGBUS, &later, &replaced_by_later);
        contained_fault(folder / "m");
        fault_outside_inputs(folder / "f");
      },
      ::testing::KilledBySignal(SIGBUS), "later");
}

TEST(InputFile, MapsTheWholeFileAndAnEmptyOne) {
  Folder folder;
  for (const std::string& content : {std::string(), std::string("GGUF\0\1", 6), std::string(100000, 'x')}) {
    write_file(folder / "m", content);
    Result<InputFile> input = InputFile::open(folder / "m");
    ASSERT_TRUE(input);
    EXPECT_EQ(std::string(as_text(input->bytes())), content);
  }
}

// An image mixing every kind of piece: views of the input (one large enough
// to cross the hole probe and the copy chunk sizes), memory outside the
// input, owned bytes and zeros.
struct Mixed {
  std::string input_content;
  std::string outside = "bytes that live outside the input";
};

FileImage mixed_image(const InputFile& input, const Mixed& mixed) {
  FileImage image;
  const Bytes all = input.bytes();
  image.append_owned("header");
  image.append_view(all.subspan(10, 100));
  image.append_zeros(7);
  image.append_view(as_bytes(mixed.outside));
  image.append_view(all.subspan(200));
  image.append_view(all.first(5));
  return image;
}

TEST(WriteImage, EveryPieceKindThroughBothCopyPaths) {
  Folder folder;
  std::string content(3 << 20, '\0');
  for (std::size_t i = 0; i < content.size(); i += 4093) content[i] = static_cast<char>(i);
  write_file(folder / "in", content);
  // A hole in the middle: the copy must read it as zeros.
  ASSERT_EQ(::truncate((folder / "in").c_str(), 6 << 20), 0);
  content.resize(6 << 20, '\0');
  Mixed mixed{content};
  Result<InputFile> input = InputFile::open(folder / "in");
  ASSERT_TRUE(input);
  const FileImage image = mixed_image(*input, mixed);
  for (const Mode& mode : modes()) {
    std::vector<std::uint64_t> reports;
    const seams::ForcedFallbacks forced(mode.fallbacks);
    WriteOptions options;
    options.progress = [&](std::uint64_t done, std::uint64_t total) {
      EXPECT_EQ(total, image.size());
      reports.push_back(done);
      return true;
    };
    const int out = ::open((folder / "out").c_str(), O_CREAT | O_TRUNC | O_RDWR, 0600);
    ASSERT_TRUE(write_image(image, *input, out, "out", options)) << mode.name;
    ::close(out);
    EXPECT_TRUE(read_file(folder / "out") == image.to_string()) << mode.name;
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back(), image.size()) << mode.name;
  }
}

TEST(WriteImage, AnInputShortenedDuringTheCopyIsAnError) {
  Folder folder;
  write_file(folder / "in", std::string(4 << 20, 'a'));
  for (const Mode& mode : modes()) {
    const seams::ForcedFallbacks forced(mode.fallbacks);
    Result<InputFile> input = InputFile::open(folder / "in");
    ASSERT_TRUE(input);
    FileImage image;
    image.append_view(input->bytes());
    ASSERT_EQ(::truncate((folder / "in").c_str(), 1 << 20), 0);
    const int out = ::open((folder / "out").c_str(), O_CREAT | O_TRUNC | O_RDWR, 0600);
    Result<Ok> done = write_image(image, *input, out, "out", {});
    ::close(out);
    ASSERT_FALSE(done) << mode.name;
    EXPECT_EQ(done.error().message(), folder / "in" + ": file shrank while it was being copied");
    write_file(folder / "in", std::string(4 << 20, 'a'));
  }
}

// A sparse 96 MiB input with data at 28-32, 40-41 and 80-81 MiB only,
// last modified long ago: any change then moves its modification time, also
// where the file system's clock is coarse.
void write_sparse(const std::string& path) {
  const int descriptor = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
  ASSERT_EQ(::ftruncate(descriptor, 96 << 20), 0);
  for (const auto& [mib, count] : {std::pair{28, 4}, {40, 1}, {80, 1}}) {
    const std::string data(static_cast<std::size_t>(count) << 20, 'd');
    ASSERT_EQ(::pwrite(descriptor, data.data(), data.size(), off_t{mib} << 20), static_cast<ssize_t>(data.size()));
  }
  ::close(descriptor);
  const timespec long_ago[2] = {{1, 0}, {1, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), long_ago, 0), 0);
}

TEST(WriteImage, AnInputChangedDuringTheCopyIsAnError) {
  Folder folder;
  const std::string in = folder / "in";
  // Each change happens at the progress reports (numbered from 1): the first
  // comes once the data up to 32 MiB is copied.
  struct Case {
    const char* name;
    std::function<void(int report)> change;
    std::string message;
  } cases[] = {
      {"cut short, then restored",
       [&](int report) {
         if (report == 1) {
           EXPECT_EQ(::truncate(in.c_str(), 0), 0);
         } else if (report == 2) {
           write_sparse(in);
         }
       },
       "file shrank while it was being copied"},
      {"cut short and grown back as a hole",
       [&](int report) {
         if (report != 1) return;
         EXPECT_EQ(::truncate(in.c_str(), 0), 0);
         EXPECT_EQ(::truncate(in.c_str(), 96 << 20), 0);
       },
       "file changed while it was being copied"},
      {"rewritten in place, before and after the copy's position",
       [&](int report) {
         if (report != 1) return;
         const int descriptor = ::open(in.c_str(), O_WRONLY);
         for (const off_t mib : {29, 40}) EXPECT_EQ(::pwrite(descriptor, "x", 1, mib << 20), 1);
         ::close(descriptor);
       },
       "file changed while it was being copied"},
  };
  for (const Case& c : cases) {
    for (const Mode& mode : modes()) {
      write_sparse(in);
      Result<InputFile> input = InputFile::open(in);
      ASSERT_TRUE(input);
      FileImage image;
      image.append_view(input->bytes());
      int reports = 0;
      const seams::ForcedFallbacks forced(mode.fallbacks);
      WriteOptions options;
      options.progress = [&](std::uint64_t, std::uint64_t) {
        c.change(++reports);
        return true;
      };
      const int out = ::open((folder / "out").c_str(), O_CREAT | O_TRUNC | O_RDWR, 0600);
      Result<Ok> done = write_image(image, *input, out, "out", options);
      ::close(out);
      ASSERT_FALSE(done) << c.name << ", " << mode.name;
      EXPECT_EQ(done.error(), Error::system_failure(EIO, in, c.message)) << c.name << ", " << mode.name;
    }
  }
}

TEST(WriteImage, AKernelCopyRefusedFallsBackToTheBufferedCopy) {
  // copy_file_range refuses an output open for appending with EBADF, as a
  // sandbox's filter refuses the call itself with EPERM or ENOSYS.
  Folder folder;
  std::string content(3 << 20, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i / 4093);
  write_file(folder / "in", content);
  Mixed mixed{content};
  Result<InputFile> input = InputFile::open(folder / "in");
  ASSERT_TRUE(input);
  const FileImage image = mixed_image(*input, mixed);
  const int out = ::open((folder / "out").c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_APPEND, 0600);
  ASSERT_TRUE(write_image(image, *input, out, "out", {}));
  ::close(out);
  EXPECT_TRUE(read_file(folder / "out") == image.to_string());
}

// The read and write system calls this process has made so far, where the
// kernel counts them.
std::optional<std::pair<long, long>> system_calls() {
  std::ifstream io("/proc/self/io");
  std::string key;
  long value;
  long reads = -1, writes = -1;
  while (io >> key >> value) {
    if (key == "syscr:") reads = value;
    if (key == "syscw:") writes = value;
  }
  if (reads < 0 || writes < 0) return std::nullopt;
  return std::pair{reads, writes};
}

TEST(WriteImage, SmallPiecesTakeFewSystemCalls) {
  // A model kept in thousands of short runs (as after removing as many
  // metadata entries), with owned bytes, zeros and one large run among them.
  Folder folder;
  std::string content(4 << 20, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 251);
  write_file(folder / "in", content);
  for (const Mode& mode : modes()) {
    const seams::ForcedFallbacks forced(mode.fallbacks);
    Result<InputFile> input = InputFile::open(folder / "in");
    ASSERT_TRUE(input);
    const Bytes all = input->bytes();
    FileImage image;
    for (std::size_t i = 0; i < 20000; ++i) {
      image.append_view(all.subspan(i * 150, 100));
      if (i % 7 == 0) image.append_owned(std::string(i % 13 + 1, 'o'));
      if (i % 11 == 0) image.append_zeros(i % 5 + 1);
      if (i == 10000) image.append_view(all.first(1 << 20));
    }
    const int out = ::open((folder / "out").c_str(), O_CREAT | O_TRUNC | O_RDWR, 0600);
    const auto before = system_calls();
    ASSERT_TRUE(write_image(image, *input, out, "out", {})) << mode.name;
    const auto after = system_calls();
    EXPECT_TRUE(read_file(folder / "out") == image.to_string()) << mode.name;
    if (before && after) {
      EXPECT_LT(after->first - before->first, 40) << mode.name;
      EXPECT_LT(after->second - before->second, 40) << mode.name;
    }
    // Cut short, the input fails the gathered reads too.
    ASSERT_EQ(::truncate((folder / "in").c_str(), 1 << 20), 0);
    Result<Ok> done = write_image(image, *input, out, "out", {});
    ::close(out);
    ASSERT_FALSE(done) << mode.name;
    EXPECT_EQ(done.error(), Error::system_failure(EIO, folder / "in", "file shrank while it was being copied"));
    write_file(folder / "in", content);
  }
}

// Each test writes with the fallbacks of its mode.
class Replace : public ::testing::TestWithParam<Mode> {
  const seams::ForcedFallbacks forced_{GetParam().fallbacks};
};

TEST_P(Replace, NewAndExistingDestinations) {
  Folder folder;
  auto fill_with = [](std::string text) {
    return [text](int descriptor) -> Result<Ok> {
      if (::write(descriptor, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        return Error::system_failure(errno, "temp");
      }
      return Ok{};
    };
  };
  const mode_t mask = ::umask(027);
  ASSERT_TRUE(replace_file(folder / "new", fill_with("one")));
  ::umask(mask);
  EXPECT_EQ(read_file(folder / "new"), "one");
  struct stat status;
  ASSERT_EQ(::stat((folder / "new").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);

  // The replaced file's mode, unusual bits included, and its owner.
  for (mode_t mode : {0604u, 04755u, 02711u, 01777u}) {
    ASSERT_EQ(::chmod((folder / "new").c_str(), mode), 0);
    ASSERT_TRUE(replace_file(folder / "new", fill_with("two")));
    ASSERT_EQ(::stat((folder / "new").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, mode);
  }
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown((folder / "new").c_str(), 1234, 5678), 0);
    ASSERT_EQ(::chmod((folder / "new").c_str(), 06755), 0);
    ASSERT_TRUE(replace_file(folder / "new", fill_with("three")));
    ASSERT_EQ(::stat((folder / "new").c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, 1234u);
    EXPECT_EQ(status.st_gid, 5678u);
    EXPECT_EQ(status.st_mode & 07777, 06755u);
  }

  // A symbolic link, dangling or not, is followed; the link stays.
  ASSERT_EQ(::symlink("new", (folder / "link").c_str()), 0);
  ASSERT_TRUE(replace_file(folder / "link", fill_with("four")));
  EXPECT_EQ(read_file(folder / "new"), "four");
  ASSERT_EQ(::symlink("later", (folder / "dangling").c_str()), 0);
  ASSERT_TRUE(replace_file(folder / "dangling", fill_with("five")));
  EXPECT_EQ(read_file(folder / "later"), "five");
  EXPECT_EQ(folder.names().size(), 4u);  // no temporary file left
}

TEST_P(Replace, FailuresLeaveTheDestinationAndNoTemporaryFile) {
  Folder folder;
  write_file(folder / "dest", "precious");
  ::mkdir((folder / "dir").c_str(), 0700);
  ::mkfifo((folder / "fifo").c_str(), 0600);
  struct Case {
    std::string destination;
    std::string message;
  } cases[] = {
      {folder / "dest", "dest: No space left on device"},  // what the fill reports
      {folder / "dir", folder / "dir: Is a directory"},
      {folder / "fifo", folder / "fifo: not a regular file"},
      {"/dev/null", "/dev/null: not a regular file"},
      {folder / "none/dest", folder / "none/dest: No such file or directory"},
  };
  for (const Case& c : cases) {
    bool filled = false;
    Result<Ok> done = replace_file(
        c.destination,
        [&](int descriptor) -> Result<Ok> {
          filled = true;
          if (::write(descriptor, "partial", 7) != 7) return Error::system_failure(errno, "write");
          return Error::system_failure(ENOSPC, "dest");
        });
    ASSERT_FALSE(done) << c.destination;
    EXPECT_EQ(done.error().message(), c.message);
    EXPECT_EQ(filled, c.destination == folder / "dest");
  }
  EXPECT_EQ(read_file(folder / "dest"), "precious");
  struct stat status;
  ASSERT_EQ(::stat("/dev/null", &status), 0);
  EXPECT_TRUE(S_ISCHR(status.st_mode));
  EXPECT_EQ(folder.names().size(), 3u);
}

Fill writes(std::string text) {
  return [text](int descriptor) -> Result<Ok> {
    if (::write(descriptor, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      return Error::system_failure(errno, "temp");
    }
    return Ok{};
  };
}

std::string attribute(const std::string& path, const char* name) {
  char value[256];
  const ssize_t size = ::getxattr(path.c_str(), name, value, sizeof value);
  return size < 0 ? std::string() : std::string(value, static_cast<std::size_t>(size));
}

// A POSIX ACL as the kernel stores it: user::rw- group::r-- group:0:rw-
// mask::rw- other::---, whose mask is wider than the owning group's entry.
std::string group_write_acl() {
  std::string acl;
  store_le<std::uint32_t>(acl, 2);
  const struct { std::uint16_t tag, permissions; std::uint32_t id; } entries[] = {
      {0x01, 6, ~0u}, {0x04, 4, ~0u}, {0x08, 6, 0}, {0x10, 6, ~0u}, {0x20, 0, ~0u}};
  for (const auto& entry : entries) {
    store_le<std::uint16_t>(acl, entry.tag);
    store_le<std::uint16_t>(acl, entry.permissions);
    store_le<std::uint32_t>(acl, entry.id);
  }
  return acl;
}

TEST_P(Replace, KeepsTheAclAndExtendedAttributesOrFails) {
  Folder folder;
  const std::string dest = folder / "dest", acl = group_write_acl();
  write_file(dest, "precious");
  if (::setxattr(dest.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0 ||
      ::setxattr(dest.c_str(), "user.origin", "here", 4, 0) != 0) {
    GTEST_SKIP() << "no ACLs or user attributes here: " << std::strerror(errno);
  }
  faults.acl_set = ENOSPC;
  Result<Ok> done = replace_file(dest, writes("new"));
  faults.acl_set = 0;
  ASSERT_FALSE(done);
  EXPECT_EQ(done.error(), Error::system_failure(ENOSPC, dest));
  EXPECT_EQ(read_file(dest), "precious");
  EXPECT_EQ(folder.names().size(), 1u);

  ASSERT_TRUE(replace_file(dest, writes("new")));
  EXPECT_EQ(read_file(dest), "new");
  EXPECT_EQ(attribute(dest, "system.posix_acl_access"), acl);
  EXPECT_EQ(attribute(dest, "user.origin"), "here");
  struct stat status;
  ASSERT_EQ(::stat(dest.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0660u);  // the group bits are the mask
}

// Names of temporary files, left by writers that died, that a later write
// removes or keeps.
std::vector<std::string> temporaries(const Folder& folder) {
  std::vector<std::string> out;
  for (const std::string& name : folder.names()) {
    if (name.starts_with(".quillon-")) out.push_back(name);
  }
  std::sort(out.begin(), out.end());
  return out;
}

void make_stale(const std::string& path) {
  const struct timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 3600, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

TEST_P(Replace, AWriterKilledAtItsRenameLeavesNoFileForLong) {
  Folder folder;
  write_file(folder / "old", "precious");
  for (const char* name : {"new", "old"}) {
    const pid_t child = ::fork();
    if (child == 0) {
      faults.kill_at_rename = true;
      ::_exit(replace_file(folder / name, writes("written")) ? 0 : 1);
    }
    int status;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
  }
  // An unnamed file is linked straight to a new destination's name.
  EXPECT_EQ(read_file(folder / "new"), GetParam().fallbacks.named_temp ? "" : "written");
  EXPECT_EQ(read_file(folder / "old"), "precious");
  const std::vector<std::string> dead = temporaries(folder);
  ASSERT_EQ(dead.size(), GetParam().fallbacks.named_temp ? 2u : 1u);
  for (const std::string& name : dead) make_stale(folder / name);

  // The next write that names a temporary file in the folder removes them,
  // and only them.
  const std::string young = ".quillon-0000000000000001.tmp", locked = ".quillon-0000000000000002.tmp",
                    others = ".quillon-0000000000000003.tmp", link = ".quillon-0000000000000004.tmp",
                    dir = ".quillon-0000000000000005.tmp", unlike = ".quillon-000000000000000g.tmp";
  for (const std::string& name : {young, locked, others, unlike}) write_file(folder / name, "x");
  ASSERT_EQ(::symlink("old", (folder / link).c_str()), 0);
  ASSERT_EQ(::mkdir((folder / dir).c_str(), 0700), 0);
  for (const std::string& name : {locked, others, link, dir, unlike}) make_stale(folder / name);
  const int holder = ::open((folder / locked).c_str(), O_RDONLY);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  std::vector<std::string> kept = {dir, link, locked, young, unlike};
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown((folder / others).c_str(), 65534, 65534), 0);
    kept.push_back(others);
  } else {
    ::unlink((folder / others).c_str());
  }
  std::sort(kept.begin(), kept.end());
  ASSERT_TRUE(replace_file(folder / "old", writes("again")));
  ::close(holder);
  EXPECT_EQ(temporaries(folder), kept);
  EXPECT_EQ(read_file(folder / "old"), "again");
}

TEST_P(Replace, AFailedFolderSyncIsReported) {
  Folder folder;
  const struct {
    int code;
    std::string message;  // empty: no failure
  } cases[] = {{EIO, folder / "out: Input/output error"}, {EINVAL, ""}, {0, ""}};
  for (const auto& c : cases) {
    faults.folder_sync = c.code;
    Result<Ok> done = replace_file(folder / "out", writes("data"));
    faults.folder_sync = 0;
    EXPECT_EQ(done ? "" : done.error().message(), c.message);
    EXPECT_EQ(read_file(folder / "out"), "data");
  }
}

TEST_P(Replace, ATrailingSlashNamesAFolder) {
  Folder folder;
  write_file(folder / "file", "precious");
  ::mkdir((folder / "dir").c_str(), 0700);
  ASSERT_EQ(::symlink("file", (folder / "link").c_str()), 0);
  const struct {
    std::string destination;
    int code;
  } cases[] = {{folder / "file/", ENOTDIR}, {folder / "link/", ENOTDIR}, {folder / "dir/", EISDIR},
               {folder / "new/", EISDIR}};
  for (const auto& c : cases) {
    Result<Ok> done = replace_file(c.destination, writes("new"));
    ASSERT_FALSE(done) << c.destination;
    EXPECT_EQ(done.error(), Error::system_failure(c.code, c.destination));
  }
  EXPECT_EQ(read_file(folder / "file"), "precious");
  EXPECT_EQ(folder.names().size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Modes, Replace, ::testing::ValuesIn(modes()),
                         [](const auto& info) { return std::string(info.param.fallbacks.buffered_copy ? "Buffered" : "Kernel") +
                                                       (info.param.fallbacks.named_temp ? "Named" : "Unnamed"); });

TEST(FileOperations, AgreeWithTheInMemoryOperations) {
  Folder folder;
  const ManifestSource source{std::string("https://example.com/m"), std::string("\0store\xff", 7)};
  // A vocabulary of 400 KB and a store of 200 KB outgrow the first reads;
  // the small models after the vocabulary reuse the buffer it grew.
  const std::string models[] = {empty_gguf(), safetensors_model(std::string(5 << 20, 'q')), kMinimalOnnx,
                                vocabulary_gguf(30000), "", "GGUF\x07garbage", "not a model",
                                quillon::embed_manifest(as_bytes(empty_gguf()), test::store_only(repeat("s", 200000)))
                                    ->to_string()};
  for (const std::string& model : models) {
    write_file(folder / "m", model);
    const Bytes bytes = as_bytes(model);
    auto message = [](const auto& result) { return result ? std::string() : result.error().message(); };
    EXPECT_EQ(message(read_manifest(folder / "m")), message(quillon::read_manifest(bytes)));
    EXPECT_EQ(message(read_manifest_uri(folder / "m")), message(quillon::read_manifest_uri(bytes)));
    EXPECT_EQ(*detect_format(folder / "m"), quillon::detect_format(bytes));

    Result<FileImage> stamped = quillon::embed_manifest(bytes, source);
    Result<Ok> embedded = embed_manifest(folder / "m", source, folder / "stamped", {});
    ASSERT_EQ(message(embedded), message(stamped));
    if (!stamped) continue;
    EXPECT_TRUE(read_file(folder / "stamped") == stamped->to_string());
    EXPECT_EQ(*read_manifest(folder / "stamped"), *source.store);
    EXPECT_EQ(**read_manifest_uri(folder / "stamped"), *source.uri);

    // Removing in place replaces the model itself.
    ASSERT_TRUE(remove_manifest(folder / "stamped", folder / "stamped", {}));
    EXPECT_TRUE(read_file(folder / "stamped") == quillon::remove_manifest(as_bytes(stamped->to_string()))->to_string());
  }
}

TEST(FileOperations, CancellationLeavesTheDestinationUntouched) {
  Folder folder;
  write_file(folder / "m", safetensors_model(std::string(80 << 20, 'q')));
  write_file(folder / "out", "precious");
  int calls = 0;
  WriteOptions options;
  options.progress = [&](std::uint64_t, std::uint64_t) { return ++calls < 2; };
  Result<Ok> done = remove_manifest(folder / "m", folder / "out", options);
  ASSERT_FALSE(done);
  EXPECT_EQ(done.error(), Error::cancelled());
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(read_file(folder / "out"), "precious");
  EXPECT_EQ(folder.names().size(), 2u);
}

}  // namespace
}  // namespace quillon::engine

namespace quillon::engine {
namespace {

TEST(FileOperations, PatchWritesOnlyTheStoreRanges) {
  Folder folder;
  const std::string stored = quillon::embed_manifest(as_bytes(safetensors_model("tensor")),
                                                     ManifestSource{std::string("u"), std::string("abcdef")})
                                 ->to_string();
  write_file(folder / "m", stored);
  const std::vector<ByteRange> ranges = *store_ranges(folder / "m");
  ASSERT_EQ(ranges.size(), 1u);
  EXPECT_EQ(stored.substr(ranges[0].start, ranges[0].length), "YWJjZGVm");

  struct Case {
    std::string store;
    std::string error;  // empty: the patch succeeds
  } cases[] = {
      {"ABCDEF", ""},
      {"ABCDEFG", "new store does not fit the embedded one: it encodes to 12 bytes, the embedded store takes 8"},
  };
  for (const Case& c : cases) {
    const std::string before = read_file(folder / "m");
    Result<Ok> done = patch_store(folder / "m", as_bytes(c.store));
    ASSERT_EQ(done ? "" : done.error().message(), c.error);
    std::string expected = before;
    if (c.error.empty()) expected.replace(ranges[0].start, ranges[0].length, "QUJDREVG");
    EXPECT_EQ(read_file(folder / "m"), expected);
  }
  EXPECT_EQ(patch_store(folder / "none", as_bytes(std::string("x"))).error(),
            Error::system_failure(ENOENT, folder / "none"));
}

}  // namespace
}  // namespace quillon::engine

namespace quillon::engine {
namespace {

// Windows error codes by their winerror.h values: the ones the file calls
// report most, the ones whose errno decides a fallback (EOPNOTSUPP, EEXIST),
// and codes outside the table.
TEST(WindowsErrors, TranslateToErrno) {
  const std::pair<unsigned long, int> cases[] = {
      {2, ENOENT},  {3, ENOENT},       {5, EACCES}, {32, EBUSY},       {112, ENOSPC}, {80, EEXIST},
      {183, EEXIST}, {1, EOPNOTSUPP}, {50, EOPNOTSUPP}, {206, ENAMETOOLONG}, {1295, EDQUOT},
      {0, EIO},     {38, EIO},         {0xFFFFFFFF, EIO},
  };
  for (const auto& [code, expected] : cases) EXPECT_EQ(errno_of_windows_error(code), expected) << code;
}

}  // namespace
}  // namespace quillon::engine

namespace quillon::engine {
namespace {

// The failures other kernels, file systems and sandboxes give the calls of
// a write, injected through the seam into an embed whose tensor bytes go
// through the kernel's copy. A refusal makes the write take the portable
// way to the same bytes; any other failure fails it with its errno and
// path (the model's for the copy), leaving the destination as it was and
// no temporary file.
TEST(FileOperations, InjectedFailuresFallBackOrLeaveTheDestination) {
  using seams::Call;
  Folder folder;
  const std::string model = safetensors_model(std::string(5 << 20, 'q'));
  write_file(folder / "m", model);
  const ManifestSource source{std::string("https://example.com/m"), std::string("store")};
  const std::string expected = quillon::embed_manifest(as_bytes(model), source)->to_string();
  // The grown header shifts the tensor by a non-multiple of the block size,
  // which is copied through the buffer unless the kernel copy is forced.
  const seams::ForcedFallbacks kernel({.kernel_copy = true});
  const seams::Fault no_tmpfile{Call::open_unnamed, EOPNOTSUPP};
  const struct {
    std::vector<seams::Fault> before;  // injected as well
    Call call;
    bool once;
    std::vector<int> refusals, failures;
  } cases[] = {
      {{}, Call::copy_range, false, {ENOSYS, EXDEV, ENOTSUP, EPERM, EINVAL, ETXTBSY, ENOTTY}, {EACCES, EIO}},
      {{}, Call::copy_range, true, {EXDEV}, {EIO}},
      {{}, Call::open_unnamed, false, {EOPNOTSUPP, EISDIR, EINVAL}, {EACCES}},
      {{}, Call::link_unnamed, true, {EEXIST}, {}},  // a new destination made meanwhile
      {{}, Call::link_unnamed, false, {}, {EACCES, EIO}},
      {{no_tmpfile}, Call::open_named, true, {EEXIST}, {}},
      {{no_tmpfile}, Call::open_named, false, {}, {EACCES, ENOSPC}},
      {{no_tmpfile}, Call::rename, false, {}, {EIO, EACCES}},
      {{}, Call::sync, false, {}, {EIO}},
      {{no_tmpfile, {Call::copy_range, EPERM}}, Call::sync, false, {}, {ENOSPC}},
  };
  for (const auto& c : cases) {
    std::vector<std::pair<int, bool>> codes;  // (errno, whether the write fails)
    for (int code : c.refusals) codes.emplace_back(code, false);
    for (int code : c.failures) codes.emplace_back(code, true);
    for (const auto& [code, failing] : codes) {
      for (const std::string destination : {"new", "old"}) {
        const std::string name = std::to_string(static_cast<int>(c.call)) + ":" + std::strerror(code) +
                                 (c.once ? " once" : "") + " into " + destination;
        write_file(folder / "old", "precious");
        ::unlink((folder / "new").c_str());
        std::vector<seams::Fault> faults = c.before;
        faults.push_back({c.call, code, c.once});
        const seams::ForcedFaults forced(std::move(faults));
        Result<Ok> done = embed_manifest(folder / "m", source, folder / destination, {});
        if (failing) {
          ASSERT_FALSE(done) << name;
          const std::string path = folder / (c.call == Call::copy_range ? "m" : destination);
          EXPECT_EQ(done.error(), Error::system_failure(code, path)) << name << ": " << done.error().message();
        } else {
          ASSERT_TRUE(done) << name << ": " << done.error().message();
          EXPECT_TRUE(read_file(folder / destination) == expected) << name;
        }
        EXPECT_EQ(read_file(folder / "old"), !failing && destination == "old" ? expected : "precious") << name;
        std::vector<std::string> names = folder.names();
        std::sort(names.begin(), names.end());
        const std::vector<std::string> kept = {"m", "old"}, with_new = {"m", "new", "old"};
        EXPECT_EQ(names, !failing && destination == "new" ? with_new : kept) << name;
      }
    }
  }
}

TEST(Replace, ANewFileInASandboxWithoutProcIsWritten) {
  // /proc hidden by an empty mount and the process unprivileged (no
  // AT_EMPTY_PATH): an unnamed temporary file could not be linked in.
  Folder folder;
  ::chmod((folder / "").c_str(), 0777);
  const pid_t child = ::fork();
  if (child == 0) {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("none", "/proc", "tmpfs", 0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
        ::setresuid(65534, 65534, 65534) != 0) {
      ::_exit(77);
    }
    const std::string content = "new model";
    const bool written =
        engine::write_file(folder / "new", as_bytes(content), {}) && read_file(folder / "new") == content;
    ::_exit(written && folder.names().size() == 1 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no mount namespace or other user here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace quillon::engine
