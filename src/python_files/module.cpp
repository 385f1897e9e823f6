// The module `quillon_files`: its definition and its single exported entry
// point.

#include "python/boundary.hpp"
#include "python/import.hpp"
#include "python_files/functions.hpp"

namespace quillon::python {
namespace {

ModuleDefinition definition = {
    {
        PyModuleDef_HEAD_INIT,
        "quillon_files",  // m_name
        "",               // m_doc
        0,                // m_size
        nullptr,          // m_methods: see ModuleDefinition::functions
        nullptr,          // m_slots
        nullptr,          // m_traverse
        nullptr,          // m_clear
        nullptr,          // m_free
    },
    file_functions,
};

}  // namespace
}  // namespace quillon::python

PyMODINIT_FUNC PyInit_quillon_files(void) {
  return quillon::python::guarded([] { return quillon::python::import_module(quillon::python::definition); });
}
