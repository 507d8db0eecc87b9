# The project's warning flags, shared by the main build and the fuzz targets.
set(FIELDPACK_WARNINGS -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow
                       -Wimplicit-fallthrough -Wold-style-cast)
if(FIELDPACK_WERROR)
  list(APPEND FIELDPACK_WARNINGS -Werror)
endif()
