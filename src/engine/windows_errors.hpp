// The errno value that stands for a Windows system error code
// (GetLastError()), so that failures on Windows reach callers as the same
// `Error`s, with the same errno values, as on POSIX systems.
//
// A pure function of the number, compiled on every platform: the codes are
// spelled out here (their winerror.h values), so the table is checked on
// Linux as well.
#pragma once

namespace quillon::engine {

// The errno value for `code`; EIO for a code the table does not name.
int errno_of_windows_error(unsigned long code);

}  // namespace quillon::engine
