# Shared build rules: warnings, sanitizers and the one-library-per-subsystem helper.

add_library(orlo_options INTERFACE)
target_compile_options(orlo_options INTERFACE -Wall -Wextra -Wpedantic)
if(ORLO_WERROR)
  target_compile_options(orlo_options INTERFACE -Werror)
endif()
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  target_compile_options(orlo_options INTERFACE -Wthread-safety)
endif()
if(ORLO_ASAN AND ORLO_TSAN)
  message(FATAL_ERROR "ORLO_ASAN and ORLO_TSAN cannot be combined")
endif()
if(ORLO_ASAN)
  target_compile_options(orlo_options INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(orlo_options INTERFACE -fsanitize=address,undefined)
endif()
if(ORLO_TSAN)
  target_compile_options(orlo_options INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  # g++ warns that TSan does not model the fences inside Asio; that is no fault
  # of ours and must not fail a -Werror build.
  target_compile_options(orlo_options INTERFACE $<$<CXX_COMPILER_ID:GNU>:-Wno-tsan>)
  target_link_options(orlo_options INTERFACE -fsanitize=thread)
endif()
if(ORLO_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "ORLO_FUZZ needs clang: -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang")
  endif()
  # Every library the fuzz targets link gets libFuzzer's coverage hooks and
  # the memory and undefined-behaviour checks; the targets add the fuzzer's main.
  target_compile_options(orlo_options INTERFACE -fsanitize=fuzzer-no-link,address,undefined
                                                -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(orlo_options INTERFACE -fsanitize=address,undefined)
endif()
target_link_libraries(orlo_options INTERFACE Threads::Threads)
# Asio picks aligned_alloc or operator new for its recycled handler memory by a
# libstdc++ macro that a file has or has not seen before its first Asio
# include; one choice for every file keeps each release paired with its
# allocation (ASan reports the mix as alloc-dealloc-mismatch).
target_compile_definitions(orlo_options INTERFACE ASIO_DISABLE_STD_ALIGNED_ALLOC)

# orlo_subsystem(NAME [PUBLIC lib...] [PRIVATE lib...]): static library orlo_NAME
# from every .cpp of the calling folder but main.cpp. Its headers are reached as
# "NAME/x.h" through an include folder that holds only this subsystem (a link
# to its source folder), so a target sees the subsystems it links and no
# others: PUBLIC for those its headers include, PRIVATE for those only its
# sources include. An include that crosses the layering does not compile.
function(orlo_subsystem name)
  cmake_parse_arguments(ARG "" "" "PUBLIC;PRIVATE" ${ARGN})
  set(surface ${PROJECT_BINARY_DIR}/surface/${name})
  file(MAKE_DIRECTORY ${surface})
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${surface}/${name} SYMBOLIC)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  add_library(orlo_${name} STATIC ${sources})
  target_include_directories(orlo_${name} PUBLIC ${surface})
  target_link_libraries(orlo_${name} PUBLIC orlo_options ${ARG_PUBLIC} PRIVATE ${ARG_PRIVATE})
endfunction()

# orlo_test_folder(NAME LIBS...): one GoogleTest program for tests/NAME/*.cpp.
function(orlo_test_folder name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${name}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(test_${name} ${sources})
  target_link_libraries(test_${name} PRIVATE ${ARGN} orlo_testsupport GTest::gtest GTest::gtest_main)
  gtest_discover_tests(test_${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()
