# Writes OUT, a C++ file holding the page's files as string literals: the page is part of the
# program, nothing is read or fetched when it runs. Run by the build when a file changes.
set(entries "")
function(embed name path type)
  file(READ ${DIR}/${name} body)
  if(body MATCHES "\\)page_file\"")
    message(FATAL_ERROR "${name} holds the literal's end marker")
  endif()
  set(entries "${entries}    {\"${path}\", \"${type}\", R\"page_file(${body})page_file\"},\n" PARENT_SCOPE)
endfunction()
embed(index.html / "text/html; charset=utf-8")
embed(screen.js /screen.js "text/javascript; charset=utf-8")
embed(screen.css /screen.css "text/css; charset=utf-8")
file(WRITE ${OUT}.new "// Made by src/web/page/EmbedPage.cmake from src/web/page/: edit those files.
#include \"web/page_files.h\"

namespace iapflash::web {

namespace {
const PageFile FILES[] = {
${entries}};
}  // namespace

const PageFile* FindPageFile(std::string_view path) {
  for (const PageFile& file : FILES) {
    if (file.path == path) return &file;
  }
  return nullptr;
}

}  // namespace iapflash::web
")
file(COPY_FILE ${OUT}.new ${OUT} ONLY_IF_DIFFERENT)
