# Fails when a layer includes one above it (docs/architecture.md draws the
# layers). Each folder may include only the folders named for it; system
# headers and a folder's includes without a folder part are free. The
# tests' kit (tests/kit) checks the module from outside: it includes only
# itself, the public headers, the request codec (the wire format a host
# shares) and util's schema script splitting (pure text work). SOURCE_DIR is the project's top folder.
set(bad "")
function(check_folder folder allowed)
  file(GLOB_RECURSE files ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.cc)
  foreach(file ${files})
    file(STRINGS ${file} includes REGEX "^#include \"")
    foreach(line ${includes})
      string(REGEX REPLACE "^#include \"([^/\"]+)/.*" "\\1" top "${line}")
      if(NOT top STREQUAL line AND NOT top MATCHES "^(${allowed})$")
        file(RELATIVE_PATH name ${SOURCE_DIR} ${file})
        set(bad "${bad}\n  ${name}: ${line}")
      endif()
    endforeach()
  endforeach()
  set(bad "${bad}" PARENT_SCOPE)
endfunction()
check_folder(src/util "util")
check_folder(src/db "db|util")
check_folder(src/packet "packet|util|zelvar")
check_folder(src/codec "codec|packet|util|zelvar")
foreach(handlers goods queries updates)
  check_folder(src/${handlers} "goods|queries|updates|codec|db|packet|util|zelvar")
endforeach()
check_folder(tests/kit "kit|codec|util|zelvar")
if(bad)
  message(FATAL_ERROR "Includes that point up a layer:${bad}")
endif()
