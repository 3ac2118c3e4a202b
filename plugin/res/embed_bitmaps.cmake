# Writes a C++ source holding every listed .bmp as a byte array plus the table panel_art.cpp
# searches. Run as: cmake -DSOURCE_DIR=... -DOUTPUT=... -DNAMES=a,b,... -P embed_bitmaps.cmake
# Names that are all digits become numbered entries ("#1000"), the rest named ones.
string(REPLACE "," ";" names "${NAMES}")
string(REPEAT "[0-9a-f]" 32 line_of_hex)

set(arrays "")
set(entries "")
set(index 0)
foreach(name IN LISTS names)
  file(READ "${SOURCE_DIR}/${name}.bmp" hex HEX)
  string(LENGTH "${hex}" hex_length)
  if(hex_length EQUAL 0)
    message(FATAL_ERROR "${SOURCE_DIR}/${name}.bmp is empty")
  endif()
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "(${line_of_hex})" "\\1\n    " hex "${hex}")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
  string(APPEND arrays "const unsigned char kBitmap${index}[${size}] = {\n    ${hex}\n};\n")
  if(name MATCHES "^[0-9]+$")
    string(APPEND entries "    {\"#${name}\", ${name}u, kBitmap${index}, ${size}u},\n")
  else()
    string(APPEND entries "    {\"${name}\", 0u, kBitmap${index}, ${size}u},\n")
  endif()
  math(EXPR index "${index} + 1")
endforeach()

file(WRITE "${OUTPUT}.tmp" "// Generated from the .bmp files in plugin/res; do not edit.
#include \"panel_art_table.h\"

namespace {
${arrays}}  // namespace

const PanelBitmapEntry kPanelBitmaps[] = {
${entries}};
const std::size_t kPanelBitmapCount = ${index};
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
