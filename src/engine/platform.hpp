// The system calls of the engine that differ between platforms, one
// implementation per platform (platform_linux.cpp, ...), chosen by
// CMakeLists.txt. Each call keeps the shape of the system call it stands
// for: a result of -1 (or a negative count) with errno set, so that callers
// turn failures into `Error`s with errno and their path as before. Where a
// platform has no such facility the call fails with ENOSYS or EOPNOTSUPP,
// which callers already take as "use the portable way".
//
// Descriptors are C library file descriptors (`int`) everywhere: on
// Windows the C library's own, each standing for a HANDLE
// (_open_osfhandle/_get_osfhandle), so the engine keeps one type and its
// `Descriptor` owner on every system.
//
// The reads, writes, size changes, status and closes of open files go
// through here (platform_posix.cpp on POSIX systems, platform_windows.cpp).
// The path and folder calls (the open of an input, its mapping and SIGBUS
// guard in input.cpp; destination.cpp, attributes.cpp and replace.cpp,
// which name files relative to folder descriptors) are POSIX code that
// CMakeLists.txt builds on POSIX systems only; on Windows the `windows`
// calls below and replace_windows.cpp stand for them.
#pragma once

#include <cstddef>
#include <cstdint>
#ifdef _WIN32
#include <string>
#endif

struct stat;

namespace quillon::engine::platform {

// Reads up to `length` bytes at `offset` without moving the file position,
// retried when interrupted: the count, 0 at the file's end, -1 with errno.
long read_at(int descriptor, void* into, std::size_t length, std::uint64_t offset);
// Writes up to `length` bytes at `offset`: the count, or -1 with errno.
long write_at(int descriptor, const void* from, std::size_t length, std::uint64_t offset);
// Sets the file's size: 0, or -1 with errno.
int set_size(int descriptor, std::uint64_t size);
// Closes the descriptor; nothing a caller could act on is reported.
void close_file(int descriptor);

// Copies up to `length` bytes inside the kernel from `input` at
// `*input_offset` to `output` at `*output_offset`, advancing both offsets by
// what was copied: the count, 0 at the input's end, -1 with errno. Callers
// fall back to reading and writing on the errno values of
// copy.cpp's `kernel_copy_refused`.
long copy_range(int input, std::uint64_t* input_offset, int output, std::uint64_t* output_offset,
                std::size_t length);

// Whether a range is worth copying with `copy_range` rather than through a
// buffer, decided once per pair of open files (`copy_plan`) and then per
// piece by its offsets alone.
struct CopyPlan {
  // The file system copies on its own side (a server-side copy on NFS 4.2,
  // SMB or Ceph, whatever a FUSE server does), whatever the offsets.
  bool offloaded = false;
  // Otherwise the block size of the file system both files are on: a local
  // file system shares blocks (a reflink) or copies them whole only for a
  // range that keeps its offset within the block in the output, and copies
  // any other range through the page cache more slowly than a buffered copy
  // does. 0 where the kernel copy never pays (files on different file
  // systems, platforms without one).
  std::uint64_t block = 0;

  bool kernel_copy_pays(std::uint64_t input_offset, std::uint64_t output_offset) const {
    if (offloaded) return true;
    if (block == 0) return false;
    const std::uint64_t shift =
        output_offset > input_offset ? output_offset - input_offset : input_offset - output_offset;
    return shift % block == 0;
  }
};

// The plan for copying from `input` into `output`: from their file systems
// on Linux (fstatfs); a plan that always copies through the kernel where it
// cannot tell, as the kernel's refusals still lead to the buffered copy; a
// plan that never does on platforms without `copy_range`.
CopyPlan copy_plan(int input, int output);

#ifdef __linux__
// What `copy_plan` knows of a file system: statfs's f_type and f_bsize.
struct FileSystemFacts {
  std::uint64_t type;
  std::uint64_t block;
};
// The plan for a copy from a file on `input` to one on `output`.
CopyPlan copy_plan_between(const FileSystemFacts& input, const FileSystemFacts& output);
#endif

// Tells the system that `descriptor` is about to be read from start to end,
// so that it reads ahead further; a hint whose failure nothing depends on.
void advise_sequential(int descriptor);

// The first offset at or after `offset` that holds data, or the first hole;
// -1 with errno (ENXIO past the end; anything else means the file system
// cannot tell).
std::int64_t seek_data(int descriptor, std::int64_t offset);
std::int64_t seek_hole(int descriptor, std::int64_t offset);

// Makes the file's content and size durable (not only handed to the disk's
// cache), retried when interrupted: 0, or -1 with errno.
int sync_durably(int descriptor);

// The flag that opens a name for lookups and fstat only, without opening
// the file itself (O_PATH on Linux), or a plain read-only open where a
// platform has none.
int lookup_only_flag();

// Creates an unnamed file open for reading and writing in `folder`, with
// `mode` narrowed by the umask: its descriptor, or -1 with errno
// (EOPNOTSUPP, EISDIR or EINVAL where the file system or platform has none).
int open_unnamed(int folder, unsigned mode);

// Gives an unnamed file (`open_unnamed`) the name `name` in `folder`: 0, or
// -1 with errno (EEXIST when the name is taken).
int link_unnamed(int descriptor, int folder, const char* name);

// Extended attributes, with the Linux calls' contracts: sizes or -1 with
// errno; ENODATA for a missing attribute, EOPNOTSUPP where the file system
// or the platform has none. The `_at_path` forms name the file by a path.
long list_attributes(int descriptor, char* names, std::size_t size);
long list_attributes_at_path(const char* path, char* names, std::size_t size);
long get_attribute(int descriptor, const char* name, void* value, std::size_t size);
long get_attribute_at_path(const char* path, const char* name, void* value, std::size_t size);
int set_attribute(int descriptor, const char* name, const void* value, std::size_t size);
int remove_attribute(int descriptor, const char* name);

// The modification and change times of `status` (whose fields are named
// differently on each system).
struct FileTimes {
  std::int64_t modified_s, modified_ns, changed_s, changed_ns;
};
FileTimes times_of(const struct ::stat& status);

// What the engine reads of an open file's status: its type (the S_IFMT
// bits of st_mode), size and times.
struct FileStatus {
  unsigned mode;
  std::uint64_t size;
  FileTimes times;
};
// fstat: 0, or -1 with errno.
int status_of(int descriptor, FileStatus& status);

#ifdef _WIN32
// The Windows calls that stand for the path calls of the POSIX engine.
// Paths come in UTF-8 (the bindings pass them so); each call fails with -1
// and errno (errno_of_windows_error of GetLastError()).
namespace windows {

// `path` as UTF-16 for the wide calls; an absolute one is resolved by
// GetFullPathNameW (`.`, `..`, `/`), which the `\\?\` prefix it then gets
// stops the system from doing, and the prefix lifts MAX_PATH. False with
// errno EINVAL for text that is not UTF-8 or holds a NUL.
bool wide_path(const std::string& path, std::wstring& wide);

// Opens an existing regular file for reading (and writing with
// `writable`), sharing it with readers, writers and deleters as POSIX
// opens do: a descriptor, or -1 with errno (EISDIR for a folder, EINVAL
// for any other file that is not a disk file).
int open_file(const std::string& path, bool writable);

// Creates a new file beside `destination`, in its folder, under a random
// name no file has (CREATE_NEW, retried on a clash), after removing the
// ones killed writers left there: a descriptor for reading and writing, its
// path in `temp`, or -1 with errno.
int create_beside(const std::string& destination, std::string& temp);

// Puts the file open as `descriptor` (named `temp`) in place of
// `destination`, replacing any file there: FileRenameInfoEx with POSIX
// semantics where the file system has it (a reader of the old file keeps
// it), else MoveFileExW. 0, or -1 with errno.
int replace(int descriptor, const std::string& temp, const std::string& destination);

// Removes the file `path`: 0, or -1 with errno.
int remove(const std::string& path);

}  // namespace windows
#endif

}  // namespace quillon::engine::platform
