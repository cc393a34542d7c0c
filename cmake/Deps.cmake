# Third-party code from Debian's archive, compiled here for the target. Nothing of it is committed.

# cJSON: unpacked by scripts/setup with `apt-get source cjson`.
include(${CMAKE_CURRENT_LIST_DIR}/CJson.cmake)

# GoogleTest, built with the target toolchain.
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
