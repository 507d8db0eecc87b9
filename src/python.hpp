// The only header that includes the interpreter's API; everything Python-aware includes this.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
