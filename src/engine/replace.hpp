// Replacing a destination path safely with a new file.
//
// `replace_file` finds the file the destination names as the kernel does
// (files/destination.hpp: a symbolic link is followed with the kernel's
// protections, and the file it names replaced, or created when the link
// dangles; the destination must be a regular file or not exist). It writes
// into a temporary file in that file's folder (unnamed with O_TMPFILE, else a
// uniquely named one), syncs it, gives it the replaced file's attributes
// (files/attributes.hpp: owner, group, ACL, extended attributes, mode),
// renames it over the destination and syncs the folder; a new destination
// gets the unnamed file linked straight to its name instead. On any failure,
// cancellation included, the destination is untouched and the temporary
// file is gone; a failed folder sync is reported although the new file is in
// place. A named temporary file left by a killed writer is removed by a later
// write to the same folder (see remove_stale_temporaries).
#pragma once

#include <functional>
#include <string>

#include "base/result.hpp"

namespace quillon::engine {

// Fills a descriptor with the new file; failures name the destination.
using Fill = std::function<Result<Ok>(int descriptor)>;

// Replaces `destination` with what `fill` writes, as described above.
Result<Ok> replace_file(const std::string& destination, const Fill& fill);

}  // namespace quillon::engine
