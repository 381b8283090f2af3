# Toolchain for building the macOS programs on a Linux host with the stock LLVM
# tools (clang, ld64.lld): one architecture per build tree, joined afterwards
# with llvm-lipo (scripts/check-macos-build). On a Mac, configure without this
# file and Xcode's clang builds natively.
#
#   cmake --preset macos-arm64 -DVELTOVPN_MACOS_SDK_DIR=<MacOSX12.0.sdk> \
#         -DVELTOVPN_MACOS_FRAMEWORKS_DIR=<folder holding Sparkle.framework>

set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 20.0)  # Darwin 20 = macOS 11

set(VELTOVPN_MACOS_ARCH "arm64" CACHE STRING "Target architecture of this build tree: arm64 or x86_64")
set(VELTOVPN_MACOS_SDK_DIR "$ENV{VELTOVPN_MACOS_SDK_DIR}" CACHE PATH
    "macOS SDK root (holds usr/include and System/Library/Frameworks)")

# try_compile projects read this file again; hand them the two settings.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELTOVPN_MACOS_ARCH VELTOVPN_MACOS_SDK_DIR)

if(NOT VELTOVPN_MACOS_ARCH MATCHES "^(arm64|x86_64)$")
  message(FATAL_ERROR "VELTOVPN_MACOS_ARCH must be arm64 or x86_64, not '${VELTOVPN_MACOS_ARCH}'")
endif()
if(NOT IS_DIRECTORY "${VELTOVPN_MACOS_SDK_DIR}/usr/include")
  message(FATAL_ERROR "VELTOVPN_MACOS_SDK_DIR ('${VELTOVPN_MACOS_SDK_DIR}') is not a macOS SDK root")
endif()

set(CMAKE_SYSTEM_PROCESSOR ${VELTOVPN_MACOS_ARCH})
set(CMAKE_OSX_ARCHITECTURES ${VELTOVPN_MACOS_ARCH} CACHE STRING "" FORCE)
set(CMAKE_OSX_SYSROOT "${VELTOVPN_MACOS_SDK_DIR}" CACHE PATH "" FORCE)
# Kept at 11.0: availability checks above the deployment target would need
# compiler-rt's Darwin runtime, which the Linux toolchain does not ship.
set(CMAKE_OSX_DEPLOYMENT_TARGET "11.0" CACHE STRING "" FORCE)

find_program(VELTOVPN_CLANG NAMES clang clang-14 REQUIRED)
find_program(VELTOVPN_CLANGXX NAMES clang++ clang++-14 REQUIRED)
set(CMAKE_C_COMPILER ${VELTOVPN_CLANG})
set(CMAKE_CXX_COMPILER ${VELTOVPN_CLANGXX})
set(CMAKE_OBJCXX_COMPILER ${VELTOVPN_CLANGXX})
foreach(lang C CXX OBJCXX)
  set(CMAKE_${lang}_COMPILER_TARGET ${VELTOVPN_MACOS_ARCH}-apple-macos11)
endforeach()

# libc++ as on the Mac (clang would pick the host's libstdc++ otherwise), and
# lld's Mach-O linker: -fuse-ld=lld makes clang run ld64.lld for this target.
set(CMAKE_CXX_FLAGS_INIT "-stdlib=libc++")
set(CMAKE_OBJCXX_FLAGS_INIT "-stdlib=libc++")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld -stdlib=libc++")
endforeach()

# The clang driver adds the host's search-path variables (LIBRARY_PATH, CPATH ...)
# to every command line; a host library or header must never reach a Mach-O build.
set(_velto_clean_env env -u LIBRARY_PATH -u CPATH -u C_INCLUDE_PATH -u CPLUS_INCLUDE_PATH
    -u OBJC_INCLUDE_PATH -u OBJCPLUS_INCLUDE_PATH)
unset(ENV{LIBRARY_PATH})
unset(ENV{CPATH})
unset(ENV{C_INCLUDE_PATH})
unset(ENV{CPLUS_INCLUDE_PATH})
foreach(lang C CXX OBJCXX)
  set(CMAKE_${lang}_COMPILER_LAUNCHER ${_velto_clean_env})
  set(CMAKE_${lang}_LINKER_LAUNCHER ${_velto_clean_env})
endforeach()

# Libraries, headers and CMake packages come from the SDK only; tools from the host.
set(CMAKE_FIND_ROOT_PATH "${VELTOVPN_MACOS_SDK_DIR}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# A Mac has no pkg-config unless someone installs it: the macOS build must not
# need it, and here it would only find the host's packages.
set(CMAKE_DISABLE_FIND_PACKAGE_PkgConfig TRUE)

# Mach-O aware binary tools from LLVM: GNU ar cannot index Mach-O objects.
set(_velto_llvm_hints /usr/lib/llvm-14/bin)
find_program(CMAKE_AR NAMES llvm-ar llvm-ar-14 HINTS ${_velto_llvm_hints} REQUIRED)
find_program(CMAKE_RANLIB NAMES llvm-ranlib llvm-ranlib-14 HINTS ${_velto_llvm_hints} REQUIRED)
find_program(CMAKE_INSTALL_NAME_TOOL NAMES llvm-install-name-tool llvm-install-name-tool-14
             HINTS ${_velto_llvm_hints} REQUIRED)
find_program(CMAKE_OTOOL NAMES llvm-otool llvm-otool-14 HINTS ${_velto_llvm_hints})
find_program(CMAKE_LIPO NAMES llvm-lipo llvm-lipo-14 HINTS ${_velto_llvm_hints})
