// The set facts (format/sets.hpp) of a model file named by path.
#pragma once

#include <string>

#include "base/result.hpp"
#include "format/sets.hpp"

namespace quillon::engine {

// Read through the mapping, of which only the metadata's pages are touched;
// a file that changed meanwhile fails as the other reads do
// (InputFile::unchanged).
Result<SetFacts> set_facts(const std::string& model);

}  // namespace quillon::engine
