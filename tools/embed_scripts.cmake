# Writes OUTPUT, a header holding each of the files in FILES (a ;-list) as an
# entry {name, text} of the array kScripts, name being the file name without
# .sh, so the stand-in carries the example tunnel scripts as the main
# application carries its own. Run with cmake -P at build time.
set(text "// Generated from the files in tools/tunnel by tools/embed_scripts.cmake.\n#pragma once\n\n#include <string_view>\n\nnamespace velto::standin::tunnel_files {\n\nstruct Script {\n  std::string_view name;\n  std::string_view text;\n};\n\ninline constexpr Script kScripts[] = {\n")
foreach(file IN LISTS FILES)
  file(READ "${file}" content)
  if(content MATCHES "\\)velto_script\"")
    message(FATAL_ERROR "${file} holds the raw-string delimiter")
  endif()
  get_filename_component(stem "${file}" NAME_WE)
  string(APPEND text "    {\"${stem}\", R\"velto_script(${content})velto_script\"},\n")
endforeach()
string(APPEND text "};\n\n}  // namespace velto::standin::tunnel_files\n")
file(WRITE "${OUTPUT}.tmp" "${text}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
