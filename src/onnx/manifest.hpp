// The ONNX handler: the C2PA data as metadata entries (onnx/entry.hpp),
// keyed "c2pa:manifest" (the store as Base64) and "c2pa:manifest.uri". Only
// the top level of the model and its metadata entries are scanned; embed
// and remove cut C2PA entries out and append new ones at the end.
#pragma once

#include "manifest/handler.hpp"

namespace quillon::onnx {

// The ONNX operations of the handler contract.
extern const Handler handler;

}  // namespace quillon::onnx
