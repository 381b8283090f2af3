# macOS build settings, shared by the native build on a Mac (Xcode's clang) and
# the cross build from Linux (cmake/macos-cross.cmake). Included by the top-level
# CMakeLists.txt when building for Apple platforms.

set(VELTOVPN_MACOS_FRAMEWORKS_DIR "$ENV{VELTOVPN_MACOS_FRAMEWORKS_DIR}" CACHE PATH
    "Folder holding Sparkle.framework (the launcher links it)")
if(NOT EXISTS "${VELTOVPN_MACOS_FRAMEWORKS_DIR}/Sparkle.framework")
  message(FATAL_ERROR
    "VELTOVPN_MACOS_FRAMEWORKS_DIR ('${VELTOVPN_MACOS_FRAMEWORKS_DIR}') holds no Sparkle.framework")
endif()

option(VELTOVPN_ALLOW_UNCHECKED_CLIENTS
  "Development only: allow a build without VELTOVPN_HELPER_CODE_REQUIREMENT, whose helper \
admits any process of the console user" OFF)

# Objective-C++ files manage their objects with automatic reference counting.
add_compile_options($<$<COMPILE_LANGUAGE:OBJCXX>:-fobjc-arc>)
# An API newer than the deployment target must be checked for before it is used;
# the check is respondsToSelector: (an @available check needs a runtime library
# that the Linux cross toolchain lacks).
add_compile_options(-Werror=unguarded-availability-new)

# Sparkle, found in the configured folder. Its headers are someone else's code,
# so they are searched as system framework headers: warnings in them do not
# fail a -Werror build. The launcher finds the framework at run time in the
# bundle's Contents/Frameworks.
add_library(velto_sparkle INTERFACE)
target_compile_options(velto_sparkle INTERFACE "SHELL:-iframework \"${VELTOVPN_MACOS_FRAMEWORKS_DIR}\"")
target_link_options(velto_sparkle INTERFACE
  "-F${VELTOVPN_MACOS_FRAMEWORKS_DIR}"
  "SHELL:-framework Sparkle"
  "SHELL:-Wl,-rpath,@executable_path/../Frameworks"
)

# nlohmann/json is header-only. A cross build must not see the host's /usr/include
# (its C library headers would shadow the SDK's), so only the nlohmann folder is
# made visible, through a link in the build tree, and find_package() is pointed
# at a small package file describing it.
if(CMAKE_CROSSCOMPILING AND NOT TARGET nlohmann_json::nlohmann_json)
  find_path(VELTOVPN_HOST_NLOHMANN_INCLUDE nlohmann/json.hpp NO_CMAKE_FIND_ROOT_PATH
            DOC "Host folder whose nlohmann/ subfolder holds the nlohmann/json headers")
  if(NOT VELTOVPN_HOST_NLOHMANN_INCLUDE)
    message(FATAL_ERROR "nlohmann/json.hpp not found on the build host (package nlohmann-json3-dev)")
  endif()
  set(_velto_json_include "${CMAKE_BINARY_DIR}/host-include")
  file(MAKE_DIRECTORY "${_velto_json_include}")
  file(CREATE_LINK "${VELTOVPN_HOST_NLOHMANN_INCLUDE}/nlohmann" "${_velto_json_include}/nlohmann" SYMBOLIC)

  set(_velto_json_version "3.0.0")
  foreach(header detail/abi_macros.hpp json.hpp)
    set(_path "${VELTOVPN_HOST_NLOHMANN_INCLUDE}/nlohmann/${header}")
    if(EXISTS "${_path}")
      file(STRINGS "${_path}" _lines REGEX "#define NLOHMANN_JSON_VERSION_(MAJOR|MINOR|PATCH) +[0-9]+")
      if(_lines)
        string(REGEX REPLACE ".*MAJOR +([0-9]+).*MINOR +([0-9]+).*PATCH +([0-9]+).*" "\\1.\\2.\\3"
               _velto_json_version "${_lines}")
        break()
      endif()
    endif()
  endforeach()

  set(_velto_json_package "${CMAKE_BINARY_DIR}/host-packages/nlohmann_json")
  file(WRITE "${_velto_json_package}/nlohmann_jsonConfig.cmake"
"if(NOT TARGET nlohmann_json::nlohmann_json)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES \"${_velto_json_include}\"
    INTERFACE_SYSTEM_INCLUDE_DIRECTORIES \"${_velto_json_include}\")
endif()
")
  include(CMakePackageConfigHelpers)
  write_basic_package_version_file("${_velto_json_package}/nlohmann_jsonConfigVersion.cmake"
    VERSION ${_velto_json_version} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
  set(nlohmann_json_DIR "${_velto_json_package}" CACHE PATH "nlohmann/json package (host headers)" FORCE)
endif()
