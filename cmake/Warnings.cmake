# One set of compile options for every target of the project (tarnwel_options),
# plus the sanitizer and hardening switches.
include(CheckCXXCompilerFlag)
include(CheckLinkerFlag)

add_library(tarnwel_options INTERFACE)
target_compile_options(tarnwel_options INTERFACE -Wall -Wextra -Wpedantic)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  target_compile_options(tarnwel_options INTERFACE -Wthread-safety)
endif()
if(TARNWEL_WERROR)
  target_compile_options(tarnwel_options INTERFACE -Werror)
endif()
target_compile_definitions(tarnwel_options INTERFACE $<$<CONFIG:Debug>:_GLIBCXX_ASSERTIONS>)

if(TARNWEL_BUILD_FUZZERS)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "TARNWEL_BUILD_FUZZERS needs clang (libFuzzer)")
  endif()
  if(TARNWEL_USE_ASAN OR TARNWEL_USE_TSAN)
    message(FATAL_ERROR "TARNWEL_BUILD_FUZZERS brings its own sanitizers")
  endif()
  # Coverage for libFuzzer in every target; the fuzz targets add its main.
  # Optimised a little, so a minute of fuzzing gets through more inputs.
  set(_san -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
    -fno-omit-frame-pointer -O1)
  target_compile_options(tarnwel_options INTERFACE ${_san})
  target_link_options(tarnwel_options INTERFACE -fsanitize=address,undefined)
elseif(TARNWEL_USE_ASAN)
  set(_san -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_compile_options(tarnwel_options INTERFACE ${_san})
  target_link_options(tarnwel_options INTERFACE ${_san})
elseif(TARNWEL_USE_TSAN)
  set(_san -fsanitize=thread -fno-omit-frame-pointer)
  target_compile_options(tarnwel_options INTERFACE ${_san})
  target_link_options(tarnwel_options INTERFACE ${_san})
endif()

# Hardening, each flag probed first so that an older compiler still builds.
check_cxx_compiler_flag(-fstack-protector-strong TARNWEL_HAS_STACK_PROTECTOR)
if(TARNWEL_HAS_STACK_PROTECTOR)
  target_compile_options(tarnwel_options INTERFACE -fstack-protector-strong)
endif()
check_cxx_compiler_flag(-ftrivial-auto-var-init=zero TARNWEL_HAS_AUTO_VAR_INIT)
if(TARNWEL_HAS_AUTO_VAR_INIT)
  target_compile_options(tarnwel_options INTERFACE -ftrivial-auto-var-init=zero)
endif()
if(NOT TARNWEL_USE_ASAN AND NOT TARNWEL_USE_TSAN AND NOT TARNWEL_BUILD_FUZZERS)
  # _FORTIFY_SOURCE needs optimisation and gets in the sanitizers' way.
  target_compile_definitions(tarnwel_options INTERFACE
    $<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
endif()
check_cxx_compiler_flag(-ffunction-sections TARNWEL_HAS_FUNCTION_SECTIONS)
if(TARNWEL_HAS_FUNCTION_SECTIONS)
  # Lets the agent's link drop code it never calls.
  target_compile_options(tarnwel_options INTERFACE -ffunction-sections -fdata-sections)
endif()
check_linker_flag(CXX "-Wl,-z,relro,-z,now" TARNWEL_HAS_RELRO)
if(TARNWEL_HAS_RELRO)
  target_link_options(tarnwel_options INTERFACE "-Wl,-z,relro,-z,now")
endif()
