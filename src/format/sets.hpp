// The facts of one model that tie it to the other files of a model split
// across several (a "set"): which part of the whole it claims to be and what
// it holds, for the set checks of the command line. One read of the
// metadata; no tensor byte is read.
//
//   - GGUF splits (gguf-split): the `split.no`, `split.count` and
//     `split.tensors.count` entries where present, and the tensor count.
//   - SafeTensors shards: the tensor names of the header, in header order,
//     and the tensor bytes: the end of the last tensor's data, which is what
//     an index's `metadata.total_size` adds up.
//   - ONNX: the external data of the graph's initializers (ModelProto.graph
//     -> GraphProto.initializer -> TensorProto.external_data), each with its
//     location, offset and length, for the tensors whose data_location is
//     EXTERNAL. The walk has a fixed depth and reads tags and lengths only.
//
// Errors are those of the format's reads (MalformedContainer), plus
// UnrecognizedFormat for a file in none of the formats. Nothing is sized by
// a count the model declares: what is kept grows with the bytes read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/format.hpp"
#include "base/result.hpp"
#include "base/view.hpp"

namespace quillon {

// The most external data entries one ONNX model may name.
inline constexpr std::uint64_t kMaxExternalTensors = std::uint64_t{1} << 20;

// One initializer's data in a file beside the model.
struct ExternalData {
  std::string tensor;    // TensorProto.name
  std::string location;  // as written: the caller judges whether it is safe
  std::uint64_t offset = 0;
  // Absent when the entry gives none: the data runs to the end of the file.
  std::optional<std::uint64_t> length;
};

struct SetFacts {
  explicit SetFacts(Format of) : format(of) {}

  Format format;
  // GGUF: the tensor descriptions it holds. SafeTensors: the header's
  // tensors. ONNX: the initializers.
  std::uint64_t tensor_count = 0;
  // GGUF: the split entries, each absent when missing or not a
  // non-negative integer.
  std::optional<std::uint64_t> split_no;
  std::optional<std::uint64_t> split_count;
  std::optional<std::uint64_t> split_tensors_count;
  // SafeTensors: the names (escapes resolved) and the end of the data.
  std::vector<std::string> tensor_names;
  std::uint64_t tensor_bytes = 0;
  // ONNX.
  std::vector<ExternalData> external_data;
};

Result<SetFacts> set_facts(const View& model);

}  // namespace quillon
