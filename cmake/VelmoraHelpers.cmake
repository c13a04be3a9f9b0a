# Shared target helpers so every library and test gets the same standard, warnings and registration.

function(velmora_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(VELMORA_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# velmora_library(NAME SRCS ... DEPS ...): a static library velmora_NAME with alias velmora::NAME.
# Headers are included as "folder/Header.h" from src/.
function(velmora_library name)
  cmake_parse_arguments(ARG "" "" "SRCS;DEPS" ${ARGN})
  add_library(velmora_${name} STATIC ${ARG_SRCS})
  add_library(velmora::${name} ALIAS velmora_${name})
  target_include_directories(velmora_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(velmora_${name} PUBLIC ${ARG_DEPS})
  velmora_warnings(velmora_${name})
endfunction()

# velmora_test(NAME SRCS ... DEPS ... LABELS ... [TIMEOUT s] [ENVIRONMENT ...]): a GoogleTest
# executable registered with CTest under the given labels (unit, net, gui).
function(velmora_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SRCS;DEPS;LABELS;ENVIRONMENT" ${ARGN})
  add_executable(${name} ${ARG_SRCS})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} velmora::testsupport GTest::gtest GTest::gmock GTest::gtest_main)
  velmora_warnings(${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    LABELS "${ARG_LABELS}"
    TIMEOUT ${ARG_TIMEOUT}
    ENVIRONMENT "VELMORA_TESTDATA=${VELMORA_TESTDATA_DIR};${ARG_ENVIRONMENT}")
endfunction()
