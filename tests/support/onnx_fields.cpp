#include "onnx_fields.hpp"

#include "onnx/entry.hpp"

namespace quillon::onnx {

Result<std::vector<Field>> scan_fields(Bytes data) {
  std::vector<Field> fields;
  FieldScanner scanner(data);
  Field field;
  while (scanner.next(field)) fields.push_back(field);
  if (scanner.failed()) return scanner.error();
  return fields;
}

std::string encode_entry(std::string_view key, Bytes value) {
  std::string entry = entry_head(key, value.size());
  entry.append(as_text(value));
  return entry;
}

}  // namespace quillon::onnx
