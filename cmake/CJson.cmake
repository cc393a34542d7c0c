# cJSON, unpacked under BM_DEPS_DIR by scripts/setup (`apt-get source cjson`), compiled for whichever build
# includes this: the Windows side and the native fuzz build.
file(GLOB BM_CJSON_DIRS LIST_DIRECTORIES true "${BM_DEPS_DIR}/cjson-*")
list(FILTER BM_CJSON_DIRS EXCLUDE REGEX "\\.(dsc|tar\\..*)$")
if(NOT BM_CJSON_DIRS)
  message(FATAL_ERROR "cJSON source not found under ${BM_DEPS_DIR}; run scripts/setup")
endif()
list(GET BM_CJSON_DIRS 0 BM_CJSON_DIR)
add_library(cjson STATIC ${BM_CJSON_DIR}/cJSON.c)
target_include_directories(cjson SYSTEM PUBLIC ${BM_CJSON_DIR})
