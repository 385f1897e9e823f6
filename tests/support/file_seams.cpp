// The test builds' seam of the file engine (src/engine/seams.hpp).
#include "engine/seams.hpp"

#include <cstdlib>
#include <string_view>

namespace quillon::engine::seams {
namespace {

std::optional<Fallbacks> forced;

// What QUILLON_FILES_FALLBACK names; read at every write, so that a test
// may change it between calls.
Fallbacks from_environment() {
  const char* value = std::getenv("QUILLON_FILES_FALLBACK");
  if (value == nullptr) return {};
  const std::string_view names = value;
  return {names.find("copy") != std::string_view::npos, names.find("tmpfile") != std::string_view::npos,
          names.find("kernel") != std::string_view::npos};
}

}  // namespace

Fallbacks fallbacks() { return forced ? *forced : from_environment(); }

ForcedFallbacks::ForcedFallbacks(Fallbacks fallbacks) : previous_(forced) { forced = fallbacks; }

ForcedFallbacks::~ForcedFallbacks() { forced = previous_; }

}  // namespace quillon::engine::seams
