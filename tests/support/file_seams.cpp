// The test builds' seam of the file engine (src/engine/seams.hpp).
#include "engine/seams.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

namespace quillon::engine::seams {
namespace {

std::optional<Fallbacks> forced;
std::optional<std::vector<Fault>> forced_faults;

// What QUILLON_FILES_FALLBACK names; read at every write, so that a test
// may change it between calls.
Fallbacks from_environment() {
  const char* value = std::getenv("QUILLON_FILES_FALLBACK");
  if (value == nullptr) return {};
  const std::string_view names = value;
  return {names.find("copy") != std::string_view::npos, names.find("tmpfile") != std::string_view::npos,
          names.find("kernel") != std::string_view::npos};
}

struct Named {
  std::string_view name;
  int value;
};

constexpr Named kCalls[] = {
    {"copy_range", static_cast<int>(Call::copy_range)}, {"open_unnamed", static_cast<int>(Call::open_unnamed)},
    {"link_unnamed", static_cast<int>(Call::link_unnamed)}, {"open_named", static_cast<int>(Call::open_named)},
    {"rename", static_cast<int>(Call::rename)},           {"sync", static_cast<int>(Call::sync)},
};

// The codes the platforms' file calls fail with, by their symbols.
constexpr Named kCodes[] = {
#ifdef EDQUOT
    {"EDQUOT", EDQUOT},
#endif
    {"EACCES", EACCES},   {"EBADF", EBADF},   {"EEXIST", EEXIST},
    {"EFBIG", EFBIG},     {"EINVAL", EINVAL}, {"EIO", EIO},               {"EISDIR", EISDIR},
    {"ENOENT", ENOENT},   {"ENOSPC", ENOSPC}, {"ENOSYS", ENOSYS},         {"ENOTSUP", ENOTSUP},
    {"ENOTTY", ENOTTY},   {"EOPNOTSUPP", EOPNOTSUPP}, {"EPERM", EPERM},   {"EROFS", EROFS},
    {"ETXTBSY", ETXTBSY}, {"EXDEV", EXDEV},
};

[[noreturn]] void refuse(std::string_view entry) {
  std::fprintf(stderr, "QUILLON_FILES_FAULT: cannot read \"%.*s\"\n", static_cast<int>(entry.size()), entry.data());
  std::abort();
}

int lookup(std::string_view name, const auto& table, std::string_view entry) {
  for (const Named& known : table) {
    if (known.name == name) return known.value;
  }
  refuse(entry);
}

// One `call:ERRNO` entry; a misspelt one stops the process rather than
// letting a test pass without its fault.
Fault parse(std::string_view entry) {
  const std::size_t colon = entry.find(':');
  if (colon == std::string_view::npos) refuse(entry);
  const std::string_view code = entry.substr(colon + 1);
  const auto call = static_cast<Call>(lookup(entry.substr(0, colon), kCalls, entry));
  if (!code.empty() && code.find_first_not_of("0123456789") == std::string_view::npos) {
    return {call, std::atoi(std::string(code).c_str())};
  }
  return {call, lookup(code, kCodes, entry)};
}

// What QUILLON_FILES_FAULT names, read at every call like the fallbacks.
std::vector<Fault> faults_from_environment() {
  std::vector<Fault> faults;
  const char* value = std::getenv("QUILLON_FILES_FAULT");
  if (value == nullptr) return faults;
  std::string_view rest = value;
  while (!rest.empty()) {
    const std::size_t comma = rest.find(',');
    const std::string_view entry = rest.substr(0, comma);
    if (!entry.empty()) faults.push_back(parse(entry));
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
  }
  return faults;
}

}  // namespace

Fallbacks fallbacks() { return forced ? *forced : from_environment(); }

bool fails(Call call) {
  std::vector<Fault> from_environment;
  std::vector<Fault>& faults = forced_faults ? *forced_faults : (from_environment = faults_from_environment());
  for (Fault& fault : faults) {
    if (fault.call != call || fault.code == 0) continue;
    errno = fault.code;
    if (fault.once) fault.code = 0;
    return true;
  }
  return false;
}

ForcedFallbacks::ForcedFallbacks(Fallbacks fallbacks) : previous_(forced) { forced = fallbacks; }

ForcedFallbacks::~ForcedFallbacks() { forced = previous_; }

ForcedFaults::ForcedFaults(std::vector<Fault> faults) : previous_(std::move(forced_faults)) {
  forced_faults = std::move(faults);
}

ForcedFaults::~ForcedFaults() { forced_faults = std::move(previous_); }

}  // namespace quillon::engine::seams
