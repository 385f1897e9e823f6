// The module `quillon`: its definition and its single exported entry point.

#include "python/boundary.hpp"
#include "python/functions.hpp"
#include "python/import.hpp"

namespace quillon::python {
namespace {

ModuleDefinition definition = {
    {
        PyModuleDef_HEAD_INIT,
        "quillon",  // m_name
        "",         // m_doc
        0,          // m_size
        nullptr,    // m_methods: see ModuleDefinition::functions
        nullptr,    // m_slots
        nullptr,    // m_traverse
        nullptr,    // m_clear
        nullptr,    // m_free
    },
    module_functions,
};

}  // namespace
}  // namespace quillon::python

PyMODINIT_FUNC PyInit_quillon(void) {
  return quillon::python::guarded([] { return quillon::python::import_module(quillon::python::definition); });
}
