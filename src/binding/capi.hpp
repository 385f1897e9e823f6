// The CPython C API as this module may use it: the stable ABI, version 3, at
// the level of Python 3.9. Every binding source includes Python.h through
// this header so that no call outside that ABI can creep in; one build then
// loads into CPython 3.9 and every later version.
#pragma once

#define PY_SSIZE_T_CLEAN
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x03090000
#endif
#if Py_LIMITED_API != 0x03090000
#error "the quillon module targets the stable ABI of Python 3.9 exactly"
#endif

#include <Python.h>
