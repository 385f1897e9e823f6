// Replacing a destination path safely with a new file.
//
// `replace_file` writes into a temporary file in the destination's folder
// (unnamed with O_TMPFILE, else a uniquely named one), syncs it, gives it the
// replaced file's mode (and owner and group where the process may; the
// set-user/group-ID bits are dropped when the owner changes), renames it over
// the destination and syncs the folder. On any failure, cancellation
// included, the destination is untouched and the temporary file is gone.
// The destination must be a regular file or not exist; a symbolic link is
// followed and the file it names is replaced.
#pragma once

#include <functional>
#include <string>

#include "error/result.hpp"
#include "files/copy.hpp"

namespace quillon::files {

// Fills a descriptor with the new file; failures name the destination.
using Fill = std::function<Result<Ok>(int descriptor)>;

// Replaces `destination` with what `fill` writes, as described above.
Result<Ok> replace_file(const std::string& destination, const Fill& fill, const WriteOptions& options);

}  // namespace quillon::files
