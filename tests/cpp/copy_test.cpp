// The choice between the kernel's range copy and the buffered one: its
// answers for shifts and file systems, and images written byte for byte,
// holes kept, whichever way each piece goes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "engine/copy.hpp"
#include "engine/platform.hpp"
#include "engine/seams.hpp"

namespace quillon::engine {
namespace {

constexpr std::uint64_t kExt4 = 0xEF53, kXfs = 0x58465342, kTmpfs = 0x01021994, kNfs = 0x6969,
                        kSmb2 = 0xFE534D42, kFuse = 0x65735546;

TEST(CopyPlan, KernelCopyOnlyWhereItKeepsBlocksOrTheFileSystemCopiesItself) {
  struct Case {
    platform::FileSystemFacts input, output;
    std::uint64_t input_offset, output_offset;
    bool kernel;
  } cases[] = {
      {{kExt4, 4096}, {kExt4, 4096}, 0, 0, true},
      {{kExt4, 4096}, {kExt4, 4096}, 4096, 3 * 4096, true},  // shifted by two blocks
      {{kExt4, 4096}, {kExt4, 4096}, 3 * 4096, 4096, true},  // and back
      {{kExt4, 4096}, {kExt4, 4096}, 1000, 1100, false},     // a grown header's 100 bytes
      {{kExt4, 4096}, {kExt4, 4096}, 4096, 2048, false},
      {{kXfs, 4096}, {kXfs, 65536}, 0, 4096, false},  // a multiple of one block size only
      {{kXfs, 4096}, {kXfs, 65536}, 0, 131072, true},
      {{kExt4, 4096}, {kTmpfs, 4096}, 0, 0, false},  // across file systems
      {{kNfs, 1 << 20}, {kNfs, 1 << 20}, 1000, 1100, true},
      {{kSmb2, 4096}, {kSmb2, 4096}, 0, 100, true},
      {{kFuse, 4096}, {kFuse, 4096}, 7, 0, true},
      {{kExt4, 4096}, {kNfs, 4096}, 0, 0, false},
      {{kExt4, 0}, {kExt4, 0}, 0, 0, false},  // no block size known
  };
  for (const Case& c : cases) {
    const platform::CopyPlan plan = platform::copy_plan_between(c.input, c.output);
    EXPECT_EQ(plan.kernel_copy_pays(c.input_offset, c.output_offset), c.kernel)
        << std::hex << c.input.type << " -> " << c.output.type << std::dec << ", " << c.input_offset << " -> "
        << c.output_offset;
  }
  EXPECT_TRUE((platform::CopyPlan{true, 0}.kernel_copy_pays(1, 1u << 31)));
  EXPECT_FALSE((platform::CopyPlan{false, 0}.kernel_copy_pays(0, 0)));
}

class Folder {
 public:
  Folder() {
    char pattern[] = "/tmp/quillon-copy-test-XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~Folder() { std::filesystem::remove_all(path_); }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string read_file(const std::string& path) {
  std::ostringstream out;
  out << std::ifstream(path, std::ios::binary).rdbuf();
  return out.str();
}

TEST(CopyPlan, FilesInOneFolderShareTheirFileSystem) {
  Folder folder;
  const int a = ::open((folder / "a").c_str(), O_CREAT | O_RDWR, 0600);
  const int b = ::open((folder / "b").c_str(), O_CREAT | O_RDWR, 0600);
  const platform::CopyPlan plan = platform::copy_plan(a, b);
  EXPECT_TRUE(plan.kernel_copy_pays(12345, 12345));
  if (!plan.offloaded) {
    EXPECT_GE(plan.block, 512u);
    EXPECT_EQ(plan.block & (plan.block - 1), 0u);
    EXPECT_FALSE(plan.kernel_copy_pays(0, 100));
  }
  ::close(a);
  ::close(b);
}

// An input of 2 MiB of data, an 8 MiB hole and 2 MiB of data, written
// after `shift` bytes of a grown header, through the plan's choice and
// through each path forced: the bytes agree and the hole stays one.
TEST(CopyPlan, ShiftedAndUnshiftedImagesKeepTheirBytesAndHoles) {
  Folder folder;
  const std::string in = folder / "in";
  {
    const int descriptor = ::open(in.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    std::string data(2 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 13 + i / 4099);
    ASSERT_EQ(::pwrite(descriptor, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
    ASSERT_EQ(::pwrite(descriptor, data.data(), data.size(), 10 << 20), static_cast<ssize_t>(data.size()));
    ::close(descriptor);
  }
  Result<InputFile> input = InputFile::open(in);
  ASSERT_TRUE(input);
  const struct {
    const char* name;
    seams::Fallbacks fallbacks;
  } paths[] = {{"as planned", {false, false, false}},
               {"buffered", {true, false, false}},
               {"kernel", {false, false, true}}};
  for (const std::size_t shift : {std::size_t{0}, std::size_t{8192}, std::size_t{100}}) {
    FileImage image;
    if (shift > 0) image.append_owned(std::string(shift, 'h'));
    image.append_view(input->bytes());
    for (const auto& path : paths) {
      const seams::ForcedFallbacks forced(path.fallbacks);
      const std::string out = folder / "out";
      const int descriptor = ::open(out.c_str(), O_CREAT | O_TRUNC | O_RDWR, 0600);
      ASSERT_TRUE(write_image(image, *input, descriptor, "out", {})) << path.name << ", shift " << shift;
      ASSERT_TRUE(sync(descriptor, "out"));
      struct stat status;
      ASSERT_EQ(::fstat(descriptor, &status), 0);
      ::close(descriptor);
      EXPECT_TRUE(read_file(out) == image.to_string()) << path.name << ", shift " << shift;
      // 4 MiB of data, with room for the partial blocks at a shifted hole's ends.
      EXPECT_LT(status.st_blocks * 512, 6 << 20) << path.name << ", shift " << shift;
    }
  }
}

}  // namespace
}  // namespace quillon::engine
