# Writes OUT, a .cpp holding every file of the panel folder as a byte array, so the page
# travels inside deckctl. Run at build time: cmake -DDIR=... -DOUT=... -P embed_assets.cmake
file(GLOB_RECURSE files RELATIVE ${DIR} ${DIR}/*)
list(SORT files)
set(body "")
set(table "")
set(n 0)
foreach(rel IN LISTS files)
  file(READ ${DIR}/${rel} hex HEX)
  string(LENGTH "${hex}" hexlen)
  math(EXPR size "${hexlen} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND body "const unsigned char kFile${n}[] = {${bytes}0};\n")
  string(APPEND table "    {\"${rel}\", kFile${n}, ${size}},\n")
  math(EXPR n "${n} + 1")
endforeach()
file(WRITE ${OUT}.tmp "// Generated from tools/panel/web/ by embed_assets.cmake; do not edit.
#include \"tools/panel/panel_assets.h\"

namespace panel {
namespace {
${body}
const PanelAsset kAssets[] = {
${table}    {nullptr, nullptr, 0},
};
}  // namespace

const PanelAsset* PanelAssets() {
    return kAssets;
}

}  // namespace panel
")
# Only a changed file is replaced, so an unchanged page rebuilds nothing.
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUT}.tmp)
