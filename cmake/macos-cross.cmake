# Cross build of the macOS app on Linux: LLVM's clang, ld64.lld and llvm-lipo against an
# SDK of Apple's, one architecture per build tree.
#   MACOS_SDK      the SDK's folder (MacOSX.sdk), as a cache entry or from the environment
#   SL_MACOS_ARCH  arm64 (the default) or x86_64
# The deployment target is the project's (CMAKE_OSX_DEPLOYMENT_TARGET). Debian names the
# tools with their version: clang-14, ld64.lld-14, llvm-ar-14; plain names work as well.
set(CMAKE_SYSTEM_NAME Darwin)

if(NOT MACOS_SDK)
  set(MACOS_SDK "$ENV{MACOS_SDK}")
endif()
if(NOT MACOS_SDK OR NOT EXISTS "${MACOS_SDK}/SDKSettings.json")
  message(FATAL_ERROR "MACOS_SDK must name a macOS SDK folder (MacOSX.sdk, with SDKSettings.json); "
    "got '${MACOS_SDK}'. On a Mac, xcrun --show-sdk-path prints Xcode's.")
endif()
if(NOT SL_MACOS_ARCH)
  set(SL_MACOS_ARCH arm64)
endif()
if(NOT SL_MACOS_ARCH MATCHES "^(arm64|x86_64)$")
  message(FATAL_ERROR "SL_MACOS_ARCH is arm64 or x86_64, not '${SL_MACOS_ARCH}'")
endif()
set(MACOS_SDK "${MACOS_SDK}" CACHE PATH "The macOS SDK built against")
set(SL_MACOS_ARCH "${SL_MACOS_ARCH}" CACHE STRING "The architecture of this build tree")
# The checks CMake compiles on its own run with the same SDK and architecture.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MACOS_SDK SL_MACOS_ARCH)

# Host search folders would put Linux headers and libraries into a Mach-O build.
foreach(variable LIBRARY_PATH CPATH C_INCLUDE_PATH CPLUS_INCLUDE_PATH OBJCPLUS_INCLUDE_PATH)
  if(NOT "$ENV{${variable}}" STREQUAL "")
    message(FATAL_ERROR "${variable} is set; unset it for a macOS build (it would reach the compiler or the linker)")
  endif()
endforeach()

set(CMAKE_SYSTEM_PROCESSOR ${SL_MACOS_ARCH})
set(CMAKE_OSX_ARCHITECTURES ${SL_MACOS_ARCH})
set(CMAKE_OSX_SYSROOT ${MACOS_SDK})

find_program(SL_CLANGXX NAMES clang++-14 clang++ REQUIRED)
find_program(SL_LLVM_AR NAMES llvm-ar-14 llvm-ar REQUIRED)
find_program(SL_LLVM_RANLIB NAMES llvm-ranlib-14 llvm-ranlib REQUIRED)
find_program(SL_LLVM_INSTALL_NAME_TOOL NAMES llvm-install-name-tool-14 llvm-install-name-tool)
set(CMAKE_CXX_COMPILER ${SL_CLANGXX})
set(CMAKE_OBJCXX_COMPILER ${SL_CLANGXX})
set(CMAKE_CXX_COMPILER_TARGET ${SL_MACOS_ARCH}-apple-macos)
set(CMAKE_OBJCXX_COMPILER_TARGET ${SL_MACOS_ARCH}-apple-macos)
set(CMAKE_AR ${SL_LLVM_AR})
set(CMAKE_RANLIB ${SL_LLVM_RANLIB})
if(SL_LLVM_INSTALL_NAME_TOOL)
  set(CMAKE_INSTALL_NAME_TOOL ${SL_LLVM_INSTALL_NAME_TOOL})
endif()

# libc++ as on the platform (clang picks libstdc++ for a target it cannot date), the
# lld next to clang, and the linker's ad hoc signature for both architectures (lld signs
# only arm64 by default): that signature is all a Linux-built executable carries.
set(CMAKE_CXX_FLAGS_INIT "-stdlib=libc++")
set(CMAKE_OBJCXX_FLAGS_INIT "-stdlib=libc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-stdlib=libc++ -fuse-ld=lld -mlinker-version=711 -Wl,-adhoc_codesign")

# Libraries and headers from the SDK only; tools from the host.
set(CMAKE_FIND_ROOT_PATH ${MACOS_SDK})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
