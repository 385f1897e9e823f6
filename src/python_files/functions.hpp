// The functions of the `quillon_files` module: the operations of `quillon`
// on model files named by path.
//
// Reads return what the `quillon` function returns on the file's bytes, with
// the same ValueError messages. Embed and remove write the new model to
// `output`, or replace `model` itself when `output` is None, through a
// temporary file that only a complete, synced result ever replaces the
// destination with. System failures raise OSError (the subclass the errno
// value selects) whose `filename` names the path concerned. The interpreter
// lock is released during all file work and parsing. `store_ranges` and
// `patch_store` locate the bytes that encode the embedded store and
// overwrite them with a store of the same encoded size, for signing.
#pragma once

#include <span>

#include "python/capi.hpp"

namespace quillon::python {

std::span<PyMethodDef> file_functions();

}  // namespace quillon::python
