#include "engine/windows_errors.hpp"

#include <cerrno>

// The C libraries of Windows have no EDQUOT: a full quota is a full disk
// there.
#ifndef EDQUOT
#define EDQUOT ENOSPC
#endif

namespace quillon::engine {
namespace {

struct Translation {
  unsigned long code;
  int errno_value;
};

// winerror.h's values of the codes file calls report.
constexpr Translation kTable[] = {
    {1, EOPNOTSUPP},     // ERROR_INVALID_FUNCTION: what a file system without the call answers
    {2, ENOENT},         // ERROR_FILE_NOT_FOUND
    {3, ENOENT},         // ERROR_PATH_NOT_FOUND
    {4, EMFILE},         // ERROR_TOO_MANY_OPEN_FILES
    {5, EACCES},         // ERROR_ACCESS_DENIED
    {6, EBADF},          // ERROR_INVALID_HANDLE
    {8, ENOMEM},         // ERROR_NOT_ENOUGH_MEMORY
    {14, ENOMEM},        // ERROR_OUTOFMEMORY
    {15, ENOENT},        // ERROR_INVALID_DRIVE
    {17, EXDEV},         // ERROR_NOT_SAME_DEVICE
    {19, EROFS},         // ERROR_WRITE_PROTECT
    {21, EIO},           // ERROR_NOT_READY
    {23, EIO},           // ERROR_CRC
    {32, EBUSY},         // ERROR_SHARING_VIOLATION: another process holds the file open
    {33, EBUSY},         // ERROR_LOCK_VIOLATION
    {39, ENOSPC},        // ERROR_HANDLE_DISK_FULL
    {50, EOPNOTSUPP},    // ERROR_NOT_SUPPORTED
    {53, ENOENT},        // ERROR_BAD_NETPATH
    {67, ENOENT},        // ERROR_BAD_NET_NAME
    {80, EEXIST},        // ERROR_FILE_EXISTS
    {87, EINVAL},        // ERROR_INVALID_PARAMETER
    {112, ENOSPC},       // ERROR_DISK_FULL
    {123, EINVAL},       // ERROR_INVALID_NAME
    {145, ENOTEMPTY},    // ERROR_DIR_NOT_EMPTY
    {161, ENOENT},       // ERROR_BAD_PATHNAME
    {170, EBUSY},        // ERROR_BUSY
    {183, EEXIST},       // ERROR_ALREADY_EXISTS
    {206, ENAMETOOLONG}, // ERROR_FILENAME_EXCED_RANGE
    {223, EFBIG},        // ERROR_FILE_TOO_LARGE
    {267, ENOTDIR},      // ERROR_DIRECTORY: a folder name expected
    {995, ECANCELED},    // ERROR_OPERATION_ABORTED
    {1117, EIO},         // ERROR_IO_DEVICE
    {1295, EDQUOT},      // ERROR_DISK_QUOTA_EXCEEDED
    {1314, EPERM},       // ERROR_PRIVILEGE_NOT_HELD
    {1920, EACCES},      // ERROR_CANT_ACCESS_FILE
    {1921, ELOOP},       // ERROR_CANT_RESOLVE_FILENAME: too many reparse points
};

}  // namespace

int errno_of_windows_error(unsigned long code) {
  for (const Translation& translation : kTable) {
    if (translation.code == code) return translation.errno_value;
  }
  return EIO;
}

}  // namespace quillon::engine
