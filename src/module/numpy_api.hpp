// NumPy's C API, bound once for the whole module (module.cpp imports it).
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_1_21_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL lagstat_ARRAY_API
#ifndef LAGSTAT_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
