// Giving a new file the attributes of the file it replaces.
#include "engine/attributes.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <string_view>
#include <vector>

#include "engine/input.hpp"
#include "engine/platform.hpp"

namespace quillon::engine {
namespace {

// The kernel's bounds on a list of attribute names and on one value
// (XATTR_LIST_MAX, XATTR_SIZE_MAX).
constexpr std::size_t kAttributeLimit = std::size_t{64} << 10;
constexpr const char* kAcl = "system.posix_acl_access";

enum class Copy { Never, IfPermitted, Always };

Copy copy_rule(std::string_view name, bool same_owner) {
  if (name == kAcl) return Copy::Always;
  if (name == "security.evm" || name == "security.ima") return Copy::Never;
  if (name == "security.capability") return same_owner ? Copy::IfPermitted : Copy::Never;
  if (name.starts_with("user.") || name.starts_with("security.")) return Copy::IfPermitted;
  return Copy::Never;
}

// Failures that only say the process may not read or set an attribute (or
// the security module refuses its value), which `cp -a` skips as well.
bool not_permitted(int code) { return code == EPERM || code == EACCES || code == EOPNOTSUPP || code == EINVAL; }

// Reads the replaced file's extended attributes through a descriptor open
// for reading; where the process may not read the file, through /proc's name
// for its O_PATH descriptor, which needs no open (reading an ACL needs no
// permission, and user.* ones are then skipped as not permitted).
class AttributeReader {
 public:
  static Result<AttributeReader> open(const Destination& replaced, const struct stat& status,
                                      const std::string& destination) {
    Descriptor reader(::openat(replaced.folder.get(), replaced.name.c_str(),
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (reader.valid()) {
      struct stat opened;
      if (::fstat(reader.get(), &opened) != 0) return system_error(destination);
      if (!same_file(opened, status)) return Error::system_failure(EAGAIN, destination);
      return AttributeReader(std::move(reader), {});
    }
    if (errno != EACCES && errno != EPERM) return system_error(destination);
    const int refused = errno;
    std::string name = "/proc/self/fd/" + std::to_string(replaced.file.get());
    struct stat named;
    if (::stat(name.c_str(), &named) != 0 || !same_file(named, status)) {
      return Error::system_failure(refused, destination);
    }
    return AttributeReader(Descriptor(), std::move(name));
  }

  ssize_t list(char* names, std::size_t size) const {
    return reader_.valid() ? platform::list_attributes(reader_.get(), names, size)
                           : platform::list_attributes_at_path(name_.c_str(), names, size);
  }
  ssize_t get(const char* attribute, char* value, std::size_t size) const {
    return reader_.valid() ? platform::get_attribute(reader_.get(), attribute, value, size)
                           : platform::get_attribute_at_path(name_.c_str(), attribute, value, size);
  }

 private:
  AttributeReader(Descriptor reader, std::string name) : reader_(std::move(reader)), name_(std::move(name)) {}

  Descriptor reader_;
  std::string name_;
};

// Copies the attributes `copy_rule` selects; returns whether an ACL was.
Result<bool> copy_extended_attributes(const AttributeReader& from, int to, bool same_owner,
                                      const std::string& destination) {
  std::vector<char> names(kAttributeLimit);
  std::vector<char> value(kAttributeLimit);
  ssize_t listed = from.list(names.data(), names.size());
  if (listed < 0) {
    if (errno != EOPNOTSUPP) return system_error(destination);
    listed = 0;  // no extended attributes on this file system
  }
  bool acl = false;
  const char* const end = names.data() + listed;
  for (const char* name = names.data(); name < end; name += std::strlen(name) + 1) {
    if (std::memchr(name, '\0', static_cast<std::size_t>(end - name)) == nullptr) break;
    const Copy rule = copy_rule(name, same_owner);
    if (rule == Copy::Never) continue;
    const ssize_t size = from.get(name, value.data(), value.size());
    if (size < 0) {
      if (errno == ENODATA || (rule == Copy::IfPermitted && not_permitted(errno))) continue;
      return system_error(destination);
    }
    if (platform::set_attribute(to, name, value.data(), static_cast<std::size_t>(size)) != 0) {
      if (rule == Copy::IfPermitted && not_permitted(errno)) continue;
      return system_error(destination);
    }
    acl = acl || rule == Copy::Always;
  }
  return acl;
}

// Drops an ACL the new file took from its folder's default ACL, whose
// entries the replaced file did not grant.
Result<Ok> drop_inherited_acl(int file, const std::string& destination) {
  if (platform::remove_attribute(file, kAcl) == 0 || errno == ENODATA || errno == EOPNOTSUPP) return Ok{};
  return system_error(destination);
}

struct Kept {
  bool owner, group;
};

// Gives `file` the owner and group of `old` where the process may, else the
// group alone.
Kept take_owner(int file, const struct stat& fresh, const struct stat& old) {
  Kept kept{fresh.st_uid == old.st_uid, fresh.st_gid == old.st_gid};
  if (kept.owner && kept.group) return kept;
  if (::fchown(file, old.st_uid, old.st_gid) == 0) return {true, true};
  if (!kept.group) kept.group = ::fchown(file, static_cast<uid_t>(-1), old.st_gid) == 0;
  return kept;
}

}  // namespace

Result<Ok> take_attributes(int file, const Destination& replaced, const std::string& destination) {
  // The replaced file as it is now: the fill may have taken long.
  struct stat old, fresh;
  if (::fstat(replaced.file.get(), &old) != 0 || ::fstat(file, &fresh) != 0) return system_error(destination);
  QUILLON_TRY_ASSIGN(const AttributeReader reader, AttributeReader::open(replaced, old, destination));
  // Ownership first: a change of owner clears file capabilities and
  // set-ID bits, which are set afterwards.
  const Kept kept = take_owner(file, fresh, old);
  const bool same_owner = kept.owner && kept.group;
  QUILLON_TRY_ASSIGN(const bool acl, copy_extended_attributes(reader, file, same_owner, destination));
  if (!acl) QUILLON_TRY(drop_inherited_acl(file, destination));
  // Last, as setting an ACL rewrites the group bits (to the ACL's mask, which
  // the replaced file's group bits already are).
  mode_t mode = old.st_mode & 07777;
  if (!same_owner) mode &= ~(S_ISUID | S_ISGID);
  if (::fchmod(file, mode) != 0) return system_error(destination);
  return Ok{};
}

}  // namespace quillon::engine
