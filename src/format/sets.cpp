#include "format/sets.hpp"

#include <charconv>
#include <string_view>
#include <utility>

#include "base/bytes.hpp"
#include "base/utf8.hpp"
#include "format/detect.hpp"
#include "gguf/gguf.hpp"
#include "json/walk.hpp"
#include "onnx/wire.hpp"
#include "safetensors/header.hpp"

namespace quillon {
namespace {

// ---- GGUF ------------------------------------------------------------------

constexpr std::string_view kSplitNo = "split.no";
constexpr std::string_view kSplitCount = "split.count";
constexpr std::string_view kSplitTensorsCount = "split.tensors.count";

// The value of an integer entry's `raw` (type code, value), absent for any
// other type, a negative value or a value cut short.
std::optional<std::uint64_t> integer_value(Bytes raw) {
  if (raw.size() < 4) return std::nullopt;
  const auto type = load_le<std::uint32_t>(raw.data());
  const Bytes value = raw.subspan(4);
  auto fits = [&](std::size_t width) { return value.size() >= width; };
  switch (type) {
    case gguf::kUint8: return fits(1) ? std::optional<std::uint64_t>(value[0]) : std::nullopt;
    case gguf::kUint16: return fits(2) ? std::optional<std::uint64_t>(load_le<std::uint16_t>(value.data())) : std::nullopt;
    case gguf::kUint32: return fits(4) ? std::optional<std::uint64_t>(load_le<std::uint32_t>(value.data())) : std::nullopt;
    case gguf::kUint64: return fits(8) ? std::optional<std::uint64_t>(load_le<std::uint64_t>(value.data())) : std::nullopt;
    case gguf::kInt8:
    case gguf::kInt16:
    case gguf::kInt32:
    case gguf::kInt64: {
      const std::size_t width = type == gguf::kInt8 ? 1 : type == gguf::kInt16 ? 2 : type == gguf::kInt32 ? 4 : 8;
      if (!fits(width)) return std::nullopt;
      std::uint64_t bits = 0;
      for (std::size_t i = 0; i < width; ++i) bits |= std::uint64_t{value[i]} << (8 * i);
      const std::uint64_t sign = std::uint64_t{1} << (8 * width - 1);
      if (bits & sign) return std::nullopt;
      return bits;
    }
    default: return std::nullopt;
  }
}

Result<SetFacts> gguf_facts(const View& model) {
  QUILLON_TRY_ASSIGN(const gguf::Gguf parsed, gguf::Gguf::parse(model));
  SetFacts facts(Format::GGUF);
  facts.tensor_count = parsed.tensor_count;
  gguf::Gguf::Entries entries = parsed.entries();
  gguf::Kv kv;
  while (entries.next(kv)) {
    // The first entry of each key counts, as for the C2PA keys.
    std::optional<std::uint64_t>* slot = kv.key == kSplitNo             ? &facts.split_no
                                         : kv.key == kSplitCount        ? &facts.split_count
                                         : kv.key == kSplitTensorsCount ? &facts.split_tensors_count
                                                                        : nullptr;
    if (slot != nullptr && !*slot) *slot = integer_value(kv.raw);
  }
  return facts;
}

// ---- SafeTensors -------------------------------------------------------------

constexpr std::string_view kMetadataKey = "__metadata__";
constexpr std::string_view kDataOffsetsKey = "data_offsets";

// Collects the tensor names and the largest data end of a header: the
// members of the root object other than "__metadata__", each an object
// whose "data_offsets" is an array of two integers. The first fault is kept
// (a sink cannot stop the walk).
class TensorScan {
 public:
  explicit TensorScan(SetFacts& facts) : facts_(facts) {}

  void begin(json::Kind kind) {
    if (in_offsets_) fault("data_offsets is not two integers");
    ++depth_;
    if (depth_ == 1 && kind != json::Kind::Object) fault("header is not a JSON object");
    if (depth_ == 2 && !in_metadata_) {
      if (kind != json::Kind::Object) fault("tensor entry is not an object");
      facts_.tensor_names.push_back(std::move(name_));
      ++facts_.tensor_count;
    }
    in_offsets_ = depth_ == 3 && offsets_next_ && kind == json::Kind::Array && !in_metadata_;
    offsets_index_ = 0;
    offsets_next_ = false;
  }
  void end(json::Kind) {
    if (in_offsets_ && offsets_index_ != 2) fault("data_offsets is not two integers");
    in_offsets_ = false;
    if (--depth_ == 1) in_metadata_ = false;
  }
  void key(std::string_view raw) {
    offsets_next_ = false;
    if (depth_ == 1) {
      in_metadata_ = json::raw_equals(raw, kMetadataKey);
      name_.clear();
      if (!in_metadata_) json::unescape(name_, raw);
    } else if (depth_ == 2 && !in_metadata_) {
      offsets_next_ = json::raw_equals(raw, kDataOffsetsKey);
    }
  }
  void scalar(json::Kind kind, std::string_view raw) {
    if (depth_ == 1 && !in_metadata_) fault("tensor entry is not an object");
    if (depth_ == 2 && offsets_next_) fault("data_offsets is not two integers");
    offsets_next_ = false;
    if (!in_offsets_ || depth_ != 3) return;
    std::uint64_t value = 0;
    const auto [end, code] = std::from_chars(raw.data(), raw.data() + raw.size(), value);
    if (kind != json::Kind::Number || code != std::errc{} || end != raw.data() + raw.size() || offsets_index_ >= 2) {
      fault("data_offsets is not two integers");
      return;
    }
    if (offsets_index_++ == 1 && value > facts_.tensor_bytes) facts_.tensor_bytes = value;
  }

  const std::optional<std::string>& fault() const { return fault_; }

 private:
  void fault(const char* message) {
    if (!fault_) fault_ = message;
  }

  SetFacts& facts_;
  std::size_t depth_ = 0;
  std::string name_;
  bool in_metadata_ = false;
  bool offsets_next_ = false;
  bool in_offsets_ = false;
  unsigned offsets_index_ = 0;
  std::optional<std::string> fault_;
};

Result<SetFacts> safetensors_facts(const View& model) {
  QUILLON_TRY_ASSIGN(const safetensors::HeaderBounds bounds, safetensors::header_bounds(model));
  const std::optional<Bytes> bytes = model.bytes(bounds.start, bounds.end - bounds.start, true);
  if (!bytes) return View::absent();
  const std::string_view text = as_text(*bytes);
  if (!is_utf8(text)) return Error::malformed_container("header is not UTF-8");
  SetFacts facts(Format::SafeTensors);
  TensorScan scan(facts);
  if (std::string message = json::walk(text, scan); !message.empty()) {
    return Error::malformed_container(std::move(message));
  }
  if (scan.fault()) return Error::malformed_container(*scan.fault());
  if (facts.tensor_bytes > model.size() - bounds.end) {
    return Error::malformed_container("tensor data ends past the end of the file");
  }
  return facts;
}

// ---- ONNX --------------------------------------------------------------------

// Field numbers: ModelProto.graph, GraphProto.initializer, and of
// TensorProto, StringStringEntryProto.
constexpr std::uint64_t kGraphField = 7;
constexpr std::uint64_t kInitializerField = 5;
constexpr std::uint64_t kTensorNameField = 8;
constexpr std::uint64_t kExternalDataField = 13;
constexpr std::uint64_t kDataLocationField = 14;
constexpr std::uint64_t kEntryKeyField = 1;
constexpr std::uint64_t kEntryValueField = 2;
// TensorProto.DataLocation.EXTERNAL.
constexpr std::uint64_t kExternal = 1;

// Whether a field whose tag starts with `tag_byte` holds bytes: the wire
// type is in the tag's low bits.
bool holds_bytes(std::uint8_t tag_byte) {
  return (tag_byte & ((1u << onnx::kWireTypeBits) - 1)) == static_cast<unsigned>(onnx::WireType::LengthDelimited);
}

bool length_delimited(Bytes data, const onnx::Field& field) { return holds_bytes(data[field.start]); }

Error onnx_fault(std::string detail) { return Error::malformed_container(std::move(detail)); }

// A decimal offset or length of an external data entry.
Result<std::uint64_t> decimal(std::string_view text, std::string_view key) {
  std::uint64_t value = 0;
  const auto [end, code] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || code != std::errc{} || end != text.data() + text.size()) {
    return onnx_fault("external data " + std::string(key) + " is not a decimal integer");
  }
  return value;
}

// One TensorProto: its external data when its data_location is EXTERNAL.
Result<std::optional<ExternalData>> tensor_facts(Bytes tensor) {
  onnx::FieldScanner scan{View(tensor)};
  onnx::Field field;
  ExternalData data;
  bool external = false, located = false;
  while (scan.next(field)) {
    if (field.number == kTensorNameField && length_delimited(tensor, field)) {
      data.tensor = std::string(as_text(onnx::payload_of(tensor, field)));
      if (!is_utf8(data.tensor)) return onnx_fault("tensor name is not UTF-8");
    } else if (field.number == kDataLocationField && !length_delimited(tensor, field)) {
      QUILLON_TRY_ASSIGN(const onnx::Varint value, onnx::read_varint(onnx::payload_of(tensor, field), 0));
      external = value.value == kExternal;
    } else if (field.number == kExternalDataField && length_delimited(tensor, field)) {
      const Bytes entry = onnx::payload_of(tensor, field);
      onnx::FieldScanner entry_scan{View(entry)};
      onnx::Field part;
      std::string_view key, value;
      while (entry_scan.next(part)) {
        if (!length_delimited(entry, part)) continue;
        if (part.number == kEntryKeyField) key = as_text(onnx::payload_of(entry, part));
        if (part.number == kEntryValueField) value = as_text(onnx::payload_of(entry, part));
      }
      if (entry_scan.failed()) return entry_scan.error();
      if (key == "location") {
        if (!is_utf8(value)) return onnx_fault("external data location is not UTF-8");
        data.location = std::string(value);
        located = true;
      } else if (key == "offset") {
        QUILLON_TRY_ASSIGN(data.offset, decimal(value, key));
      } else if (key == "length") {
        QUILLON_TRY_ASSIGN(const std::uint64_t length, decimal(value, key));
        data.length = length;
      }
    }
  }
  if (scan.failed()) return scan.error();
  if (!external) return std::optional<ExternalData>();
  if (!located) return onnx_fault("external data without a location");
  return std::optional<ExternalData>(std::move(data));
}

Result<SetFacts> onnx_facts(const View& model) {
  SetFacts facts(Format::ONNX);
  onnx::FieldScanner top(model);
  onnx::Field field;
  while (top.next(field, kGraphField)) {
    const std::optional<Bytes> graph = onnx::payload_in(model, field);
    if (!graph) return View::absent();
    const std::optional<Bytes> tag = model.bytes(field.start, 1);
    if (!tag) return View::absent();
    if (!holds_bytes((*tag)[0])) continue;
    onnx::FieldScanner graph_scan{View(*graph)};
    onnx::Field initializer;
    while (graph_scan.next(initializer, kInitializerField)) {
      if (!length_delimited(*graph, initializer)) continue;
      ++facts.tensor_count;
      QUILLON_TRY_ASSIGN(std::optional<ExternalData> data, tensor_facts(onnx::payload_of(*graph, initializer)));
      if (!data) continue;
      if (facts.external_data.size() == kMaxExternalTensors) {
        return onnx_fault("more than " + std::to_string(kMaxExternalTensors) + " tensors with external data");
      }
      facts.external_data.push_back(std::move(*data));
    }
    if (graph_scan.failed()) return graph_scan.error();
  }
  if (top.failed()) return top.error();
  return facts;
}

}  // namespace

Result<SetFacts> set_facts(const View& model) {
  const std::optional<Format> format = detect_format(model);
  if (!format) return Error::unrecognized_format();
  switch (*format) {
    case Format::GGUF: return gguf_facts(model);
    case Format::SafeTensors: return safetensors_facts(model);
    case Format::ONNX: return onnx_facts(model);
  }
  return Error::unrecognized_format();
}

}  // namespace quillon
