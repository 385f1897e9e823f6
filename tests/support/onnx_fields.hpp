// ONNX helpers for the tests and fuzzers: the whole field list of a byte
// string, and complete metadata entries. The library streams fields
// (onnx/wire.hpp) and writes entries in two parts (onnx/entry.hpp).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.hpp"
#include "base/result.hpp"
#include "onnx/wire.hpp"

namespace quillon::onnx {

// Scans the whole of `data` into the list of its top-level fields. The
// fields tile the input exactly; an empty input gives an empty list.
Result<std::vector<Field>> scan_fields(Bytes data);

// One complete top-level field 14 holding `key` and `value`: entry_head
// followed by the value.
std::string encode_entry(std::string_view key, Bytes value);

}  // namespace quillon::onnx
