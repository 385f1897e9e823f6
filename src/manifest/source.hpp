// What an embed operation places into a model, and the C2PA key names.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillon {

// The two keys under which every container format keeps C2PA data.
inline constexpr std::string_view kManifestKey = "c2pa:manifest";         // the embedded store
inline constexpr std::string_view kManifestUriKey = "c2pa:manifest.uri";  // the remote URI

// An optional remote manifest URI (UTF-8 text) and an optional embedded
// Manifest Store (bytes). An empty text or byte string counts as present;
// a source with neither member is rejected by every embed with EmptySource.
struct ManifestSource {
  std::optional<std::string> uri;
  std::optional<std::string> store;

  bool empty() const { return !uri && !store; }
};

}  // namespace quillon
