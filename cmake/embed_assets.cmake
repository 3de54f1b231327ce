# Writes OUTPUT, a C++ source holding the files of FILES (a ;-list) as
# byte arrays with their names and content types, for
# tools/zelvar/console/assets.h. Run with cmake -P at build time.
set(body "")
set(table "")
set(index 0)
foreach(path IN LISTS FILES)
  get_filename_component(name "${path}" NAME)
  get_filename_component(ext "${path}" LAST_EXT)
  if(ext STREQUAL ".html")
    set(type "text/html; charset=utf-8")
  elseif(ext STREQUAL ".js")
    set(type "text/javascript; charset=utf-8")
  elseif(ext STREQUAL ".css")
    set(type "text/css; charset=utf-8")
  elseif(ext STREQUAL ".svg")
    set(type "image/svg+xml")
  elseif(ext STREQUAL ".png")
    set(type "image/png")
  else()
    set(type "application/octet-stream")
  endif()
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND body "const unsigned char kAsset${index}[] = {${bytes}0};\n")
  string(APPEND table "    {\"${name}\", \"${type}\", kAsset${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.new"
"// Made by cmake/embed_assets.cmake from tools/zelvar/console/web; do not edit.
#include \"tools/zelvar/console/assets.h\"

namespace zelvar::console {
namespace {
${body}
const Asset kAssets[] = {
${table}    {nullptr, nullptr, nullptr, 0},
};
}  // namespace

const Asset* FindAsset(std::string_view name) {
  for (const Asset* asset = kAssets; asset->name != nullptr; ++asset) {
    if (name == asset->name) return asset;
  }
  return nullptr;
}

}  // namespace zelvar::console
")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
