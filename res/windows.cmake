# Windows resources of cellvaro.exe: the string table, the icon group, the
# manifest and the version block, compiled by windres into an object that
# app/ links into the program. Included from res/CMakeLists.txt.

# Debian's python3 (tools/setup installs it) ahead of whatever PATH offers.
find_program(CELLVARO_PYTHON3 NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(CELLVARO_PYTHON3 NAMES python3 REQUIRED)

set(CELLVARO_ICON ${CMAKE_CURRENT_BINARY_DIR}/cellvaro.ico)
add_custom_command(
  OUTPUT ${CELLVARO_ICON}
  COMMAND ${CELLVARO_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/make_icon.py ${CELLVARO_ICON}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/make_icon.py
  COMMENT "Drawing cellvaro.ico"
  VERBATIM)

add_library(cellvaro_resources OBJECT cellvaro.rc ${CELLVARO_ICON})
set_source_files_properties(cellvaro.rc PROPERTIES
  OBJECT_DEPENDS "${CELLVARO_ICON};${CMAKE_CURRENT_SOURCE_DIR}/cellvaro.manifest;${CMAKE_CURRENT_SOURCE_DIR}/string_resources.h")
# windres reads the texts as UTF-8 (CMake hands it CMAKE_RC_FLAGS, not the
# tree's compile options) and finds string_resources.h, the manifest and the
# generated icon through its include path.
string(APPEND CMAKE_RC_FLAGS " --codepage=65001")
target_include_directories(cellvaro_resources PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR})
