"""Writes fieldpack_layout's FFI module for PyPy: cffi's out-of-line ABI mode, from the
declarations of the core's C header (between its FFI markers). The module is plain Python that
holds the parsed declarations, so importing it parses nothing and compiles nothing.

    python cmake/build_ffi.py src/core_api/fieldpack_core.h OUTPUT_DIR
"""

import os
import re
import sys

import cffi


def declarations(header):
    with open(header, encoding="utf-8") as file:
        text = file.read()
    match = re.search(r"/\* FFI declarations begin \*/(.*)/\* FFI declarations end \*/", text, re.S)
    if not match:
        sys.exit(f"{header}: no FFI declarations")
    return match.group(1)


def main():
    header, output = sys.argv[1:3]
    ffi = cffi.FFI()
    ffi.cdef(declarations(header))
    ffi.set_source("_core_ffi", None)
    os.makedirs(output, exist_ok=True)
    ffi.emit_python_code(os.path.join(output, "_core_ffi.py"))


if __name__ == "__main__":
    main()
