// The one include of Python.h: the whole binding targets the limited API
// (stable ABI) of CPython 3.10, so one abi3 wheel serves 3.10 and later.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
