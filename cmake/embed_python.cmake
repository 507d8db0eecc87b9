# A Python source file embedded in C++: a header that defines the file's text as a raw string
# literal, `fieldpack::host::k<Name>Source` (entries.py: kEntriesSource).
#
#   include(cmake/embed_python.cmake)                   # in a build: the function below
#   fieldpack_embed_python(<file.py> <header.hpp>)
#   cmake -DINPUT=<file.py> -DOUTPUT=<header.hpp> -P cmake/embed_python.cmake   # on its own

function(fieldpack_embed_python input output)
  # Written when CMake configures: a change of the file configures again.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${input}")
  get_filename_component(name "${input}" NAME_WE)
  file(READ "${input}" FIELDPACK_PYTHON_SOURCE)
  # A raw string literal holds the file as it is; its delimiter must not occur in it.
  string(FIND "${FIELDPACK_PYTHON_SOURCE}" ")PY\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${input} holds the raw string delimiter )PY\"")
  endif()
  string(MAKE_C_IDENTIFIER "${name}" identifier)
  string(SUBSTRING "${identifier}" 0 1 first)
  string(TOUPPER "${first}" first)
  string(SUBSTRING "${identifier}" 1 -1 rest)
  file(CONFIGURE OUTPUT "${output}" CONTENT
       "// Generated from ${name}.py by the build.\n#pragma once\n\nnamespace fieldpack::host {\ninline constexpr char k${first}${rest}Source[] = R\"PY(@FIELDPACK_PYTHON_SOURCE@)PY\";\n}\n"
       @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND DEFINED INPUT AND DEFINED OUTPUT)
  fieldpack_embed_python("${INPUT}" "${OUTPUT}")
endif()
