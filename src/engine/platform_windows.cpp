// The engine's platform calls on Windows (platform.hpp).
//
// - Descriptors are the C library's, each owning a HANDLE: the calls below
//   take the HANDLE back with _get_osfhandle and make the Win32 call.
// - Paths arrive in UTF-8 and are converted to UTF-16 for the wide calls;
//   absolute ones are made full and given the `\\?\` prefix, so a model
//   deep in a tree is not refused at MAX_PATH (260 characters).
// - Reads and writes at an offset are ReadFile and WriteFile with the
//   offset in an OVERLAPPED on a synchronous handle: the file position is
//   not shared state the engine relies on, as with pread.
// - No mapping of inputs: a mapped view of a file another process
//   shortens raises an access violation, not a signal the engine can
//   contain the way it contains SIGBUS; inputs are read, as the plan path
//   reads them.
// - The durable sync is FlushFileBuffers, which writes the file's data and
//   its metadata (size, and the directory entry of a renamed file on NTFS)
//   through the drive's cache. There is no folder to sync: Windows has no
//   open-a-folder-and-fsync-it, and NTFS journals the rename itself, which
//   MOVEFILE_WRITE_THROUGH (the fallback's) waits for.
// - The temporary file is a new named file beside the destination
//   (CREATE_NEW under a random name), renamed over it with
//   FileRenameInfoEx and POSIX semantics (REPLACE_IF_EXISTS | POSIX_SEMANTICS:
//   a process reading the old file keeps reading it, as on POSIX systems),
//   or, where the file system or the system does not know that class (FAT,
//   network shares, Windows before 10 1709), MoveFileExW with
//   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH.
// - No kernel copy of a range (CopyFileEx copies whole files), no search
//   for holes, no unnamed files and no extended attributes: the calls fail
//   with the errno values that make the engine take its portable ways.
// - Every failure sets errno from GetLastError() (windows_errors.hpp).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cctype>
#include <cwctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <string_view>

#include "engine/platform.hpp"
#include "engine/windows_errors.hpp"

namespace quillon::engine::platform {
namespace {

// What one ReadFile or WriteFile asks for at most: its count is a DWORD,
// and a `long` result is 32 bits on Windows.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;
constexpr unsigned kNameAttempts = 100;
constexpr const char* kTempPrefix = ".quillon-";
constexpr const char* kTempSuffix = ".tmp";

template <typename T>
T fail_with_last_error(T result) {
  errno = errno_of_windows_error(::GetLastError());
  return result;
}

HANDLE handle_of(int descriptor) { return reinterpret_cast<HANDLE>(::_get_osfhandle(descriptor)); }

OVERLAPPED at(std::uint64_t offset) {
  OVERLAPPED overlapped = {};
  overlapped.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return overlapped;
}

bool is_separator(char c) { return c == '/' || c == '\\'; }

// Absolute: a drive's root (`C:\`), or a UNC name (`\\server\share`). A
// drive-relative `C:name` and a rooted `\name` depend on the current drive
// and folder and stay as they are.
bool is_absolute(const std::string& path) {
  if (path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
      is_separator(path[2])) {
    return true;
  }
  return path.size() >= 2 && is_separator(path[0]) && is_separator(path[1]);
}

// A name in the device namespaces (`\\.\`, or `\\?\` followed by anything
// but a drive or `UNC\`): pipes, consoles and volumes, never a model file.
// Opening a pipe's name connects to its server, so these are refused before
// any open.
bool names_a_device(const std::wstring& wide) {
  const bool prefixed = wide.size() >= 4 && (wide[0] == L'\\' || wide[0] == L'/') &&
                        (wide[1] == L'\\' || wide[1] == L'/') && (wide[2] == L'.' || wide[2] == L'?') &&
                        (wide[3] == L'\\' || wide[3] == L'/');
  if (!prefixed) return false;
  const std::wstring_view rest = std::wstring_view(wide).substr(4);
  const bool drive = rest.size() >= 3 && std::iswalpha(rest[0]) && rest[1] == L':' && rest[2] == L'\\';
  return wide[2] == L'.' || !(drive || rest.starts_with(L"UNC\\"));
}

// Wraps an open HANDLE in a descriptor; closes it on failure.
int descriptor_of(HANDLE handle, int flags) {
  const int descriptor = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
  if (descriptor < 0) {
    ::CloseHandle(handle);
    errno = EMFILE;
  }
  return descriptor;
}

// The folder part of `path`, with its final separator ("" for a bare name).
std::string folder_of(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  if (slash != std::string::npos) return path.substr(0, slash + 1);
  // `C:name` is relative to drive C's current folder.
  if (path.size() >= 2 && path[1] == ':') return path.substr(0, 2);
  return {};
}

bool is_temp_name(std::wstring_view name) {
  constexpr std::size_t kDigits = 16;
  const std::wstring_view prefix = L".quillon-", suffix = L".tmp";
  if (name.size() != prefix.size() + kDigits + suffix.size()) return false;
  if (!name.starts_with(prefix) || !name.ends_with(suffix)) return false;
  return name.substr(prefix.size(), kDigits).find_first_not_of(L"0123456789abcdef") == std::wstring_view::npos;
}

// Removes the temporary files of killed writers from the folder `folder`
// (a wide path ending in a separator, or empty for the current folder): a
// writer holds its file open from its creation to its rename, without
// sharing it for writing, so a file that opens with no sharing at all has
// no writer left, and is removed through that very handle. Best effort.
void remove_stale_temporaries(const std::wstring& folder) {
  WIN32_FIND_DATAW entry;
  const HANDLE search = ::FindFirstFileW((folder + L".quillon-*.tmp").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if ((entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
        !is_temp_name(entry.cFileName)) {
      continue;
    }
    const HANDLE file = ::CreateFileW((folder + entry.cFileName).c_str(), DELETE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) continue;
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
    ::CloseHandle(file);
  } while (::FindNextFileW(search, &entry));
  ::FindClose(search);
}

std::string random_name(std::mt19937_64& random) {
  std::string name(kTempPrefix);
  const std::uint64_t bits = random();
  for (int i = 15; i >= 0; --i) name += "0123456789abcdef"[(bits >> (4 * i)) & 0xF];
  return name.append(kTempSuffix);
}

}  // namespace

long read_at(int descriptor, void* into, std::size_t length, std::uint64_t offset) {
  OVERLAPPED overlapped = at(offset);
  DWORD got = 0;
  if (!::ReadFile(handle_of(descriptor), into, static_cast<DWORD>(std::min(length, kMaxTransfer)), &got,
                  &overlapped)) {
    // A read from the end on, on a synchronous handle.
    if (::GetLastError() == ERROR_HANDLE_EOF) return 0;
    return fail_with_last_error(-1L);
  }
  return static_cast<long>(got);
}

long write_at(int descriptor, const void* from, std::size_t length, std::uint64_t offset) {
  OVERLAPPED overlapped = at(offset);
  DWORD written = 0;
  if (!::WriteFile(handle_of(descriptor), from, static_cast<DWORD>(std::min(length, kMaxTransfer)), &written,
                   &overlapped)) {
    return fail_with_last_error(-1L);
  }
  return static_cast<long>(written);
}

int set_size(int descriptor, std::uint64_t size) {
  FILE_END_OF_FILE_INFO end = {};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  if (!::SetFileInformationByHandle(handle_of(descriptor), FileEndOfFileInfo, &end, sizeof end)) {
    return fail_with_last_error(-1);
  }
  return 0;
}

void close_file(int descriptor) { ::_close(descriptor); }

long copy_range(int, std::uint64_t*, int, std::uint64_t*, std::size_t) {
  errno = ENOSYS;
  return -1;
}

// No range copy in the kernel: every piece goes through the buffer.
CopyPlan copy_plan(int, int) { return {}; }

// Sequential scans are a flag of the open (FILE_FLAG_SEQUENTIAL_SCAN), not a
// later hint.
void advise_sequential(int) {}

std::int64_t seek_data(int, std::int64_t) {
  errno = EINVAL;
  return -1;
}

std::int64_t seek_hole(int, std::int64_t) {
  errno = EINVAL;
  return -1;
}

int sync_durably(int descriptor) {
  if (!::FlushFileBuffers(handle_of(descriptor))) return fail_with_last_error(-1);
  return 0;
}

int lookup_only_flag() { return O_RDONLY; }

// The C library's stat has whole seconds only; the engine compares the
// times for equality, which seconds still serve, with the size beside them.
FileTimes times_of(const struct ::stat& status) { return {status.st_mtime, 0, status.st_ctime, 0}; }

// 100-nanosecond intervals since 1601 as seconds and nanoseconds since
// 1601: only compared with each other.
FileTimes times_from(const FILE_BASIC_INFO& basic) {
  const auto modified = static_cast<std::int64_t>(basic.LastWriteTime.QuadPart);
  const auto changed = static_cast<std::int64_t>(basic.ChangeTime.QuadPart);
  return {modified / 10000000, (modified % 10000000) * 100, changed / 10000000, (changed % 10000000) * 100};
}

int status_of(int descriptor, FileStatus& status) {
  const HANDLE handle = handle_of(descriptor);
  FILE_BASIC_INFO basic;
  FILE_STANDARD_INFO standard;
  if (!::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) ||
      !::GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard)) {
    return fail_with_last_error(-1);
  }
  // A disk file or a folder: open_file refuses every other kind.
  const unsigned mode = standard.Directory ? S_IFDIR : (::GetFileType(handle) == FILE_TYPE_DISK ? S_IFREG : 0);
  status = {mode, static_cast<std::uint64_t>(standard.EndOfFile.QuadPart), times_from(basic)};
  return 0;
}

namespace windows {
namespace {

// -1 with EISDIR when `wide` names a folder, else with the last error's
// errno.
int fail_unless_folder(const std::wstring& wide) {
  const DWORD code = ::GetLastError();
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    errno = EISDIR;
  } else {
    errno = errno_of_windows_error(code);
  }
  return -1;
}

}  // namespace

bool wide_path(const std::string& path, std::wstring& wide) {
  if (path.empty() || path.find('\0') != std::string::npos || path.size() > INT_MAX) {
    errno = path.empty() ? ENOENT : EINVAL;
    return false;
  }
  const int size = static_cast<int>(path.size());
  const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), size, nullptr, 0);
  if (length <= 0) {
    errno = EINVAL;
    return false;
  }
  std::wstring converted(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), size, converted.data(), length);
  if (!is_absolute(path) || converted.starts_with(L"\\\\?\\") || names_a_device(converted)) {
    wide = std::move(converted);
    return true;
  }
  // The prefix turns off the rewriting of `.`, `..` and `/`: done here,
  // once, by GetFullPathNameW, which has no MAX_PATH limit of its own.
  const DWORD needed = ::GetFullPathNameW(converted.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return fail_with_last_error(false);
  std::wstring full(needed, L'\0');
  const DWORD written = ::GetFullPathNameW(converted.c_str(), needed, full.data(), nullptr);
  if (written == 0 || written >= needed) return fail_with_last_error(false);
  full.resize(written);
  // `\\server\share\x` becomes `\\?\UNC\server\share\x`.
  wide = full.starts_with(L"\\\\") ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full;
  return true;
}

int open_file(const std::string& path, bool writable) {
  std::wstring wide;
  if (!wide_path(path, wide)) return -1;
  if (names_a_device(wide)) {
    errno = EINVAL;
    return -1;
  }
  // Without FILE_FLAG_BACKUP_SEMANTICS, which would also let a process
  // holding the backup privilege past the file's ACL: a folder then fails
  // with ERROR_ACCESS_DENIED and is told apart by its attributes.
  const HANDLE handle = ::CreateFileW(wide.c_str(), GENERIC_READ | (writable ? GENERIC_WRITE : 0),
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return fail_unless_folder(wide);
  BY_HANDLE_FILE_INFORMATION information;
  int refused = 0;
  if (!::GetFileInformationByHandle(handle, &information)) {
    refused = errno_of_windows_error(::GetLastError());
  } else if (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    refused = EISDIR;
  } else if (::GetFileType(handle) != FILE_TYPE_DISK) {
    refused = EINVAL;
  }
  if (refused != 0) {
    ::CloseHandle(handle);
    errno = refused;
    return -1;
  }
  return descriptor_of(handle, writable ? _O_RDWR : _O_RDONLY);
}

int create_beside(const std::string& destination, std::string& temp) {
  const std::string folder = folder_of(destination);
  std::wstring wide_folder;
  if (folder.empty() || wide_path(folder, wide_folder)) remove_stale_temporaries(wide_folder);
  std::random_device seed;
  std::mt19937_64 random((static_cast<std::uint64_t>(seed()) << 32) ^ seed() ^ ::GetCurrentProcessId());
  for (unsigned attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string name = folder + random_name(random);
    std::wstring wide;
    if (!wide_path(name, wide)) return -1;
    // DELETE: the rename by handle needs it; FILE_SHARE_DELETE lets
    // MoveFileExW move the file while it is open here.
    const HANDLE handle = ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                        FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      const int descriptor = descriptor_of(handle, _O_RDWR);
      if (descriptor < 0) {
        ::DeleteFileW(wide.c_str());
        return -1;
      }
      temp = std::move(name);
      return descriptor;
    }
    const DWORD code = ::GetLastError();
    if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) return fail_with_last_error(-1);
  }
  errno = EEXIST;
  return -1;
}

int replace(int descriptor, const std::string& temp, const std::string& destination) {
  std::wstring target, source;
  if (!wide_path(destination, target) || !wide_path(temp, source)) return -1;
  const std::size_t name_bytes = target.size() * sizeof(wchar_t);
  if (name_bytes > 0xFFFFFFFFu - sizeof(FILE_RENAME_INFO)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  // The structure ends in the name, NUL-terminated.
  const std::size_t size = sizeof(FILE_RENAME_INFO) + name_bytes;
  const auto buffer = std::make_unique<std::uint8_t[]>(size);
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.get());
  rename->Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(name_bytes);
  std::memcpy(rename->FileName, target.c_str(), name_bytes + sizeof(wchar_t));
  if (::SetFileInformationByHandle(handle_of(descriptor), FileRenameInfoEx, rename, static_cast<DWORD>(size))) {
    return 0;
  }
  const DWORD code = ::GetLastError();
  // What a system or file system without the class answers.
  if (code != ERROR_INVALID_PARAMETER && code != ERROR_NOT_SUPPORTED && code != ERROR_INVALID_FUNCTION) {
    return fail_unless_folder(target);
  }
  if (!::MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return fail_unless_folder(target);
  }
  return 0;
}

int remove(const std::string& path) {
  std::wstring wide;
  if (!wide_path(path, wide)) return -1;
  if (!::DeleteFileW(wide.c_str())) return fail_with_last_error(-1);
  return 0;
}

}  // namespace windows
}  // namespace quillon::engine::platform
