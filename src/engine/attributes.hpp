// Giving a new file the attributes of the file it replaces, as `cp -a` does.
//
// `take_attributes` gives the new file (open for writing as `file`):
//  - the replaced file's owner and group where the process may, else its
//    group alone where the process may (a member of the group);
//  - its POSIX ACL (system.posix_acl_access) and its user.* and security.*
//    extended attributes, copied as extended attributes through
//    descriptors, each where the process may set it; an ACL inherited from
//    the folder's default ACL goes when the replaced file had none;
//  - its mode.
// Set-user/group-ID bits and file capabilities never pass to a new owner or
// group, and security.evm and security.ima, which the kernel computes over
// the old content, are not copied.
//
// An ACL that cannot be copied fails the write: the new file must never
// grant more than the replaced one, and narrowing its mode instead would
// silently take access from the users and groups the ACL names. For the same
// reason a replaced file whose attributes cannot be read (not readable by
// the process, and /proc unavailable to read them without opening it)
// fails the write. Failures name `destination`.
#pragma once

#include <string>

#include "base/result.hpp"
#include "engine/destination.hpp"

namespace quillon::engine {

// `replaced` must hold a file (its `file` and `status`).
Result<Ok> take_attributes(int file, const Destination& replaced, const std::string& destination);

}  // namespace quillon::engine
