// The file layer: inputs mapped and refused, images written through both
// copy paths, destinations replaced through both kinds of temporary file,
// and file operations that agree with the in-memory ones.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "files/input.hpp"
#include "files/operations.hpp"
#include "files/replace.hpp"
#include "format/dispatch.hpp"
#include "models.hpp"

namespace quillon::files {
namespace {

using test::empty_gguf;

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

std::string safetensors(const std::string& data) {
  const std::string header =
      R"({"t":{"dtype":"U8","shape":[)" + std::to_string(data.size()) + R"(],"data_offsets":[0,)" +
      std::to_string(data.size()) + "]}}";
  std::string out;
  store_le<std::uint64_t>(out, header.size());
  return out + header + data;
}

struct Mode {
  const char* name;
  WriteOptions options;
};

std::vector<Mode> modes() {
  return {{"kernel copy, unnamed temp", {{}, true, true}},
          {"buffered copy, named temp", {{}, false, false}},
          {"kernel copy, named temp", {{}, true, false}},
          {"buffered copy, unnamed temp", {{}, false, true}}};
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
  for (const bool writable : {false, true}) EXPECT_FALSE(InputFile::open(folder / "fifo", writable));
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
    WriteOptions options = mode.options;
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
    Result<InputFile> input = InputFile::open(folder / "in");
    ASSERT_TRUE(input);
    FileImage image;
    image.append_view(input->bytes());
    ASSERT_EQ(::truncate((folder / "in").c_str(), 1 << 20), 0);
    const int out = ::open((folder / "out").c_str(), O_CREAT | O_TRUNC | O_RDWR, 0600);
    Result<Ok> done = write_image(image, *input, out, "out", mode.options);
    ::close(out);
    ASSERT_FALSE(done) << mode.name;
    EXPECT_EQ(done.error().message(), folder / "in" + ": file shrank while it was being copied");
    write_file(folder / "in", std::string(4 << 20, 'a'));
  }
}

class Replace : public ::testing::TestWithParam<Mode> {};

TEST_P(Replace, NewAndExistingDestinations) {
  Folder folder;
  const WriteOptions& options = GetParam().options;
  auto fill_with = [](std::string text) {
    return [text](int descriptor) -> Result<Ok> {
      if (::write(descriptor, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        return Error::system_failure(errno, "temp");
      }
      return Ok{};
    };
  };
  const mode_t mask = ::umask(027);
  ASSERT_TRUE(replace_file(folder / "new", fill_with("one"), options));
  ::umask(mask);
  EXPECT_EQ(read_file(folder / "new"), "one");
  struct stat status;
  ASSERT_EQ(::stat((folder / "new").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);

  // The replaced file's mode, unusual bits included, and its owner.
  for (mode_t mode : {0604u, 04755u, 02711u, 01777u}) {
    ASSERT_EQ(::chmod((folder / "new").c_str(), mode), 0);
    ASSERT_TRUE(replace_file(folder / "new", fill_with("two"), options));
    ASSERT_EQ(::stat((folder / "new").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, mode);
  }
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown((folder / "new").c_str(), 1234, 5678), 0);
    ASSERT_EQ(::chmod((folder / "new").c_str(), 06755), 0);
    ASSERT_TRUE(replace_file(folder / "new", fill_with("three"), options));
    ASSERT_EQ(::stat((folder / "new").c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, 1234u);
    EXPECT_EQ(status.st_gid, 5678u);
    EXPECT_EQ(status.st_mode & 07777, 06755u);
  }

  // A symbolic link, dangling or not, is followed; the link stays.
  ASSERT_EQ(::symlink("new", (folder / "link").c_str()), 0);
  ASSERT_TRUE(replace_file(folder / "link", fill_with("four"), options));
  EXPECT_EQ(read_file(folder / "new"), "four");
  ASSERT_EQ(::symlink("later", (folder / "dangling").c_str()), 0);
  ASSERT_TRUE(replace_file(folder / "dangling", fill_with("five"), options));
  EXPECT_EQ(read_file(folder / "later"), "five");
  EXPECT_EQ(folder.names().size(), 4u);  // no temporary file left
}

TEST_P(Replace, FailuresLeaveTheDestinationAndNoTemporaryFile) {
  Folder folder;
  const WriteOptions& options = GetParam().options;
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
        },
        options);
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

INSTANTIATE_TEST_SUITE_P(Modes, Replace, ::testing::ValuesIn(modes()),
                         [](const auto& info) { return std::string(info.param.options.kernel_copy ? "Kernel" : "Buffered") +
                                                       (info.param.options.unnamed_temp ? "Unnamed" : "Named"); });

TEST(FileOperations, AgreeWithTheInMemoryOperations) {
  Folder folder;
  const ManifestSource source{std::string("https://example.com/m"), std::string("\0store\xff", 7)};
  const std::string models[] = {empty_gguf(), safetensors(std::string(5 << 20, 'q')), std::string("\x08\x07", 2),
                                "", "GGUF\x07garbage", "not a model"};
  for (const std::string& model : models) {
    write_file(folder / "m", model);
    const Bytes bytes = as_bytes(model);
    auto message = [](const auto& result) { return result ? std::string() : result.error().message(); };
    EXPECT_EQ(message(read_manifest(folder / "m")), message(quillon::read_manifest(bytes)));
    EXPECT_EQ(message(read_manifest_uri(folder / "m")), message(quillon::read_manifest_uri(bytes)));
    EXPECT_EQ(*detect_format(folder / "m"), Format::detect(bytes));

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
  write_file(folder / "m", safetensors(std::string(80 << 20, 'q')));
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
}  // namespace quillon::files

namespace quillon::files {
namespace {

TEST(FileOperations, PatchWritesOnlyTheStoreRanges) {
  Folder folder;
  const std::string stored = quillon::embed_manifest(as_bytes(safetensors("tensor")),
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
}  // namespace quillon::files
