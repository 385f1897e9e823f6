// The SafeTensors handler: the C2PA data as two string members of the
// header's "__metadata__" object, "c2pa:manifest" (the store as Base64) and
// "c2pa:manifest.uri". Every operation is one walk of the header text
// (json/walk.hpp): the store read scans raw keys in every "__metadata__"
// object, the others use the first top-level one; embed and remove rewrite
// the header compactly as they walk, without building a tree.
#pragma once

#include "manifest/handler.hpp"

namespace quillon::safetensors {

// The SafeTensors operations of the handler contract.
extern const Handler handler;

}  // namespace quillon::safetensors
