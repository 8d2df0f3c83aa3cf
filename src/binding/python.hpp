// The one include of the interpreter's headers. The build defines Py_LIMITED_API, so only
// stable-ABI calls compile; PY_SSIZE_T_CLEAN makes "#" formats take Py_ssize_t.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
