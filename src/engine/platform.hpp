// The system calls of the engine that differ between platforms, one
// implementation per platform (platform_linux.cpp, ...), chosen by
// CMakeLists.txt. Each call keeps the shape of the system call it stands
// for: a result of -1 (or a negative count) with errno set, so that callers
// turn failures into `Error`s with errno and their path as before. Where a
// platform has no such facility the call fails with ENOSYS or EOPNOTSUPP,
// which callers already take as "use the portable way".
//
// Calls every POSIX system offers alike (open, pread, pwrite, fstat,
// renameat, fchmod, fchown) are made directly by the engine.
#pragma once

#include <cstddef>
#include <cstdint>

struct stat;

namespace quillon::engine::platform {

// Copies up to `length` bytes inside the kernel from `input` at
// `*input_offset` to `output` at `*output_offset`, advancing both offsets by
// what was copied: the count, 0 at the input's end, -1 with errno. Callers
// fall back to reading and writing on the errno values of
// copy.cpp's `kernel_copy_refused`.
long copy_range(int input, std::uint64_t* input_offset, int output, std::uint64_t* output_offset,
                std::size_t length);

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

}  // namespace quillon::engine::platform
