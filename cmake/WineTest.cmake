# One GoogleTest program per test folder; ctest runs it through Wine (CMAKE_CROSSCOMPILING_EMULATOR).
# Every *.cpp in the folder belongs to the program, so parallel work on different folders never collides.
function(bm_add_wine_test name dir)
  file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  add_executable(${name} ${srcs} ${ARGN})
  target_compile_options(${name} PRIVATE ${BM_WARNINGS})
  target_link_libraries(${name} PRIVATE Brindlemark GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  set_tests_properties(${name} PROPERTIES TIMEOUT 900)
endfunction()
