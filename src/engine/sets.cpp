#include "engine/sets.hpp"

#include <utility>

#include "engine/input.hpp"

namespace quillon::engine {

Result<SetFacts> set_facts(const std::string& model) {
  Result<InputFile> input = InputFile::open(model);
  if (!input) return std::move(input).error();
  Result<SetFacts> facts = quillon::set_facts(input->bytes());
  QUILLON_TRY(input->unchanged());
  return facts;
}

}  // namespace quillon::engine
