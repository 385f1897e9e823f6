#include "onnx/probe.hpp"

#include "onnx/wire.hpp"

namespace quillon::onnx {

bool is_onnx(const View& data) {
  FieldScanner scanner(data);
  Field field;
  bool model_field = false;
  while (scanner.next(field)) model_field = model_field || field.number == 1 || field.number == 7;
  return !scanner.failed() && model_field;
}

}  // namespace quillon::onnx
