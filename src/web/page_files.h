#pragma once

#include <string_view>

namespace iapflash::web {

// The page's files, compiled in from src/web/page/ (page_files.cpp is made by the build).
struct PageFile {
  std::string_view path;  // as requested: "/", "/screen.js", ...
  std::string_view contentType;
  std::string_view body;
};

// The file served at `path`; null for any other path.
const PageFile* FindPageFile(std::string_view path);

}  // namespace iapflash::web
