# Third-party code from Debian's archive, compiled here for the target. Nothing of it is committed.

# cJSON: unpacked by scripts/setup with `apt-get source cjson`.
file(GLOB BM_CJSON_DIRS LIST_DIRECTORIES true "${BM_DEPS_DIR}/cjson-*")
list(FILTER BM_CJSON_DIRS EXCLUDE REGEX "\\.(dsc|tar\\..*)$")
if(NOT BM_CJSON_DIRS)
  message(FATAL_ERROR "cJSON source not found under ${BM_DEPS_DIR}; run scripts/setup")
endif()
list(GET BM_CJSON_DIRS 0 BM_CJSON_DIR)
add_library(cjson STATIC ${BM_CJSON_DIR}/cJSON.c)
target_include_directories(cjson SYSTEM PUBLIC ${BM_CJSON_DIR})

# GoogleTest, built with the target toolchain.
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
