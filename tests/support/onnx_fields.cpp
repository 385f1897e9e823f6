#include "onnx_fields.hpp"

namespace quillon::onnx {

Result<std::vector<Field>> scan_fields(Bytes data) {
  std::vector<Field> fields;
  FieldScanner scanner(data);
  Field field;
  while (scanner.next(field)) fields.push_back(field);
  if (scanner.failed()) return scanner.error();
  return fields;
}

}  // namespace quillon::onnx
