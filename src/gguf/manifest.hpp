// The GGUF handler: the C2PA data as two metadata entries, "c2pa:manifest"
// (an ARRAY of UINT8 holding the store) and "c2pa:manifest.uri" (a STRING).
// Reads take the first entry of each key; embed and remove drop every C2PA
// entry and re-serialize the file (gguf/gguf.hpp), new entries last.
#pragma once

#include "manifest/handler.hpp"

namespace quillon::gguf {

// The GGUF operations of the handler contract.
extern const Handler handler;

}  // namespace quillon::gguf
