// The web app's files, built into the tool (see cmake/embed_assets.cmake).
#ifndef ZELVAR_TOOLS_ZELVAR_CONSOLE_ASSETS_H_
#define ZELVAR_TOOLS_ZELVAR_CONSOLE_ASSETS_H_

#include <cstddef>
#include <string_view>

namespace zelvar::console {

struct Asset {
  const char* name;  // "app.js"
  const char* type;  // its Content-Type
  const unsigned char* data;
  size_t size;
};

// The file `name` of the web app, or null.
const Asset* FindAsset(std::string_view name);

}  // namespace zelvar::console

#endif  // ZELVAR_TOOLS_ZELVAR_CONSOLE_ASSETS_H_
