# Writes the bundle's property lists into VELTOVPN_PLIST_OUTPUT_DIR from the
# templates under VELTOVPN_PLIST_SOURCE_DIR: Info.plist, <label>.plist (the job
# for SMAppService), helper-Info.plist and helper-launchd.plist (embedded in the
# helper). Included by cmake/macos-bundle.cmake, or run on its own (any host):
#
#   cmake -DVELTOVPN_PLIST_SOURCE_DIR=<source> -DVELTOVPN_PLIST_OUTPUT_DIR=<dir>
#         -DVELTOVPN_BUNDLE_ID=... -DVELTOVPN_VERSION_STRING=...
#         [-DVELTOVPN_HELPER_CODE_REQUIREMENT=... | -DVELTOVPN_ALLOW_UNCHECKED_CLIENTS=ON]
#         -P macos-plists.cmake
#
# Fails when no client requirement is named and unchecked clients are not allowed.

if(NOT DEFINED VELTOVPN_HELPER_LABEL)
  set(VELTOVPN_HELPER_LABEL "${VELTOVPN_BUNDLE_ID}.helper")
endif()
if(NOT DEFINED VELTOVPN_HELPER_SIGNING_REQUIREMENT)
  set(VELTOVPN_HELPER_SIGNING_REQUIREMENT "anchor apple generic and identifier \"${VELTOVPN_HELPER_LABEL}\"")
endif()

# Without a requirement the helper runs scripts as root for any process of the
# console user; only a development build may do that. A requirement must pin
# the team and name every executable that talks to the helper: one it leaves
# out is answered "unauthorized peer" for every request.
include("${CMAKE_CURRENT_LIST_DIR}/helper-clients.cmake")
velto_helper_client_identifiers(_velto_client_ids "${VELTOVPN_HELPER_CLIENT_IDENTIFIERS}")
set(_velto_alternatives "${_velto_client_ids}")
list(TRANSFORM _velto_alternatives REPLACE "(.+)" "identifier \"\\1\"")
list(JOIN _velto_alternatives " or " _velto_alternatives)
set(_velto_example
    "  -DVELTOVPN_HELPER_CODE_REQUIREMENT='anchor apple generic and certificate leaf[subject.OU] = \"TEAMID1234\" and (${_velto_alternatives})'\n")
set(_velto_requirement "${VELTOVPN_HELPER_CODE_REQUIREMENT}")
if(_velto_requirement STREQUAL "")
  if(NOT VELTOVPN_ALLOW_UNCHECKED_CLIENTS)
    message(FATAL_ERROR
      "VELTOVPN_HELPER_CODE_REQUIREMENT is empty: the helper would admit any process of the "
      "console user. Name your team and the signing identifiers of VELTOVPN_HELPER_CLIENT_IDENTIFIERS, for example\n"
      "${_velto_example}"
      "or, for development only, -DVELTOVPN_ALLOW_UNCHECKED_CLIENTS=ON.")
  endif()
else()
  set(_velto_gaps "")
  if(NOT _velto_requirement MATCHES "certificate leaf\\[subject\\.OU\\] *= *\"?[A-Z0-9]")
    list(APPEND _velto_gaps "it does not pin the team (certificate leaf[subject.OU] = \"TEAM\")")
  endif()
  foreach(id IN LISTS _velto_client_ids)
    string(FIND "${_velto_requirement}" "identifier \"${id}\"" _velto_at)
    if(_velto_at EQUAL -1)
      list(APPEND _velto_gaps "it does not name identifier \"${id}\"")
    endif()
  endforeach()
  if(_velto_gaps)
    list(JOIN _velto_gaps "; " _velto_gaps)
    message(FATAL_ERROR
      "VELTOVPN_HELPER_CODE_REQUIREMENT would refuse the bundle's own clients: ${_velto_gaps}. "
      "Every executable of VELTOVPN_HELPER_CLIENT_IDENTIFIERS talks to the helper, for example\n"
      "${_velto_example}")
  endif()
endif()

# CFBundleShortVersionString is the version's numeric part ("2.0.0" of
# "2.0.0-alpha.1"); CFBundleVersion the build number.
if(NOT VELTOVPN_VERSION_STRING MATCHES "^([0-9]+(\\.[0-9]+)?(\\.[0-9]+)?)")
  message(FATAL_ERROR "VELTOVPN_VERSION_STRING ('${VELTOVPN_VERSION_STRING}') does not begin with a version number")
endif()
set(VELTOVPN_SHORT_VERSION "${CMAKE_MATCH_1}")
if("${VELTOVPN_BUILD_NUMBER}" STREQUAL "")
  set(_velto_build_number "${VELTOVPN_SHORT_VERSION}")
elseif(VELTOVPN_BUILD_NUMBER MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?$")
  set(_velto_build_number "${VELTOVPN_BUILD_NUMBER}")
else()
  message(FATAL_ERROR "VELTOVPN_BUILD_NUMBER ('${VELTOVPN_BUILD_NUMBER}') is not up to three integers separated by dots")
endif()

# Values that go into property lists as XML text.
function(_velto_xml_text out value)
  string(REPLACE "&" "&amp;" value "${value}")
  string(REPLACE "<" "&lt;" value "${value}")
  string(REPLACE ">" "&gt;" value "${value}")
  set(${out} "${value}" PARENT_SCOPE)
endfunction()
# Who may install the helper: the same application its clients must be. A
# development build without a requirement names the bundle identifier only.
set(_velto_client_requirement "${VELTOVPN_HELPER_CODE_REQUIREMENT}")
if(_velto_client_requirement STREQUAL "")
  set(_velto_client_requirement "identifier \"${VELTOVPN_BUNDLE_ID}\"")
endif()
_velto_xml_text(VELTOVPN_AUTHORIZED_CLIENT_XML "${_velto_client_requirement}")
_velto_xml_text(VELTOVPN_HELPER_SIGNING_REQUIREMENT_XML "${VELTOVPN_HELPER_SIGNING_REQUIREMENT}")
set(VELTOVPN_BUNDLE_VERSION "${_velto_build_number}")

set(VELTOVPN_SPARKLE_PLIST_KEYS "")
foreach(pair "SUFeedURL=VELTOVPN_SPARKLE_FEED_URL" "SUPublicEDKey=VELTOVPN_SPARKLE_PUBLIC_ED_KEY")
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 key)
  list(GET pair 1 variable)
  if(NOT "${${variable}}" STREQUAL "")
    _velto_xml_text(value "${${variable}}")
    string(APPEND VELTOVPN_SPARKLE_PLIST_KEYS "\t<key>${key}</key>\n\t<string>${value}</string>\n")
  endif()
endforeach()

set(_velto_macos_dir "${VELTOVPN_PLIST_OUTPUT_DIR}")
configure_file("${VELTOVPN_PLIST_SOURCE_DIR}/launcher/Info.plist.in" "${_velto_macos_dir}/Info.plist" @ONLY)
configure_file("${VELTOVPN_PLIST_SOURCE_DIR}/helper/Info.plist.in" "${_velto_macos_dir}/helper-Info.plist" @ONLY)
# One job description, two ways of naming the program.
set(VELTOVPN_LAUNCHD_PROGRAM_KEYS
"\t<key>BundleProgram</key>\n\t<string>Contents/Library/LaunchServices/${VELTOVPN_HELPER_LABEL}</string>
\t<key>AssociatedBundleIdentifiers</key>\n\t<array>\n\t\t<string>${VELTOVPN_BUNDLE_ID}</string>\n\t</array>\n")
configure_file("${VELTOVPN_PLIST_SOURCE_DIR}/helper/launchd.plist.in"
               "${_velto_macos_dir}/${VELTOVPN_HELPER_LABEL}.plist" @ONLY)
set(VELTOVPN_LAUNCHD_PROGRAM_KEYS
"\t<key>ProgramArguments</key>\n\t<array>\n\t\t<string>/Library/PrivilegedHelperTools/${VELTOVPN_HELPER_LABEL}</string>\n\t</array>\n")
configure_file("${VELTOVPN_PLIST_SOURCE_DIR}/helper/launchd.plist.in" "${_velto_macos_dir}/helper-launchd.plist" @ONLY)

