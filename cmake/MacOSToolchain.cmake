# Cross-builds the project for macOS 12 on Linux: clang and lld against a macOS
# SDK, for one architecture at a time. .ci/macos-link configures with it:
#
#   cmake -S . -B build/macos-arm64 -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/MacOSToolchain.cmake \
#     -DTARNWEL_MACOS_ARCH=arm64 -DTARNWEL_MACOS_SDK=/path/to/sdk \
#     -DTARNWEL_MACOS_DEPS=/path/to/prefix
#
#   TARNWEL_MACOS_ARCH  arm64 or x86_64 (default arm64).
#   TARNWEL_MACOS_SDK   the SDK laid out as a sysroot (usr/include, usr/lib with
#                       the libraries' .tbd stubs, System/Library/Frameworks);
#                       default: the MACOS_SDK environment variable, else
#                       ../shared/macos-sdk beside the source tree.
#   TARNWEL_MACOS_DEPS  optional: a prefix holding the third-party packages
#                       built or copied for this target (nlohmann-json's
#                       headers and CMake package, GoogleTest built from
#                       source). Packages are looked up there and in the SDK
#                       only, never in the build machine's /usr, so that no
#                       glibc header or Linux library can stand in for an
#                       Apple one.
#
# The compiler is clang++ (CMAKE_CXX_COMPILER to pick another) for the target
# <arch>-apple-macos12 with libc++; the linker is ld64.lld (-fuse-ld=lld), which
# links against the SDK's .tbd stubs, so a symbol that macOS 12 does not export
# for the architecture fails the link. The binary tools are LLVM's, which read
# and write Mach-O: llvm-ar and llvm-ranlib make the archives, llvm-strip and
# llvm-install-name-tool are what CMake asks for (the build itself never edits
# an install name: no program links a shared library of the project). Nothing
# built here runs on this machine.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 21.0)  # Darwin 21: macOS 12

if(NOT TARNWEL_MACOS_ARCH)
  set(TARNWEL_MACOS_ARCH arm64)
endif()
if(NOT TARNWEL_MACOS_ARCH MATCHES "^(arm64|x86_64)$")
  message(FATAL_ERROR "TARNWEL_MACOS_ARCH must be arm64 or x86_64, not '${TARNWEL_MACOS_ARCH}'")
endif()
if(NOT TARNWEL_MACOS_SDK)
  if(DEFINED ENV{MACOS_SDK})
    set(TARNWEL_MACOS_SDK "$ENV{MACOS_SDK}")
  else()
    get_filename_component(TARNWEL_MACOS_SDK "${CMAKE_CURRENT_LIST_DIR}/../../shared/macos-sdk"
      ABSOLUTE)
  endif()
endif()
get_filename_component(TARNWEL_MACOS_SDK "${TARNWEL_MACOS_SDK}" ABSOLUTE)
if(NOT EXISTS "${TARNWEL_MACOS_SDK}/usr/lib/libSystem.tbd")
  message(FATAL_ERROR "no macOS SDK at ${TARNWEL_MACOS_SDK} (want its usr/lib/libSystem.tbd)")
endif()
# try_compile() projects read this file again: hand them the same choices.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES
  TARNWEL_MACOS_ARCH TARNWEL_MACOS_SDK TARNWEL_MACOS_DEPS)

set(CMAKE_SYSTEM_PROCESSOR ${TARNWEL_MACOS_ARCH})
set(CMAKE_OSX_ARCHITECTURES ${TARNWEL_MACOS_ARCH} CACHE STRING "" FORCE)
set(CMAKE_OSX_SYSROOT "${TARNWEL_MACOS_SDK}" CACHE PATH "" FORCE)
set(CMAKE_OSX_DEPLOYMENT_TARGET 12.0 CACHE STRING "" FORCE)

if(NOT CMAKE_C_COMPILER)
  find_program(CMAKE_C_COMPILER clang REQUIRED)
endif()
if(NOT CMAKE_CXX_COMPILER)
  find_program(CMAKE_CXX_COMPILER clang++ REQUIRED)
endif()
set(CMAKE_OBJCXX_COMPILER "${CMAKE_CXX_COMPILER}")
set(_target ${TARNWEL_MACOS_ARCH}-apple-macos12)
foreach(lang C CXX OBJCXX)
  set(CMAKE_${lang}_COMPILER_TARGET ${_target})
endforeach()
set(CMAKE_CXX_FLAGS_INIT "-stdlib=libc++")
set(CMAKE_OBJCXX_FLAGS_INIT "-stdlib=libc++")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld -stdlib=libc++")
endforeach()

find_program(CMAKE_AR NAMES llvm-ar llvm-ar-14 REQUIRED)
find_program(CMAKE_RANLIB NAMES llvm-ranlib llvm-ranlib-14 REQUIRED)
find_program(CMAKE_STRIP NAMES llvm-strip llvm-strip-14 REQUIRED)
find_program(CMAKE_INSTALL_NAME_TOOL NAMES llvm-install-name-tool llvm-install-name-tool-14 REQUIRED)

set(CMAKE_FIND_ROOT_PATH "${TARNWEL_MACOS_SDK}")
if(TARNWEL_MACOS_DEPS)
  list(PREPEND CMAKE_FIND_ROOT_PATH "${TARNWEL_MACOS_DEPS}")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
