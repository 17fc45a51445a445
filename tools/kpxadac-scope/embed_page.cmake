# cmake -DINPUT=index.html -DOUTPUT=scope_page.cpp -P embed_page.cmake
# Writes the built page into a C++ source as a byte array.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],0x[0-9a-f][0-9a-f],)" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp" "// Generated from web/scope/ by embed_page.cmake; do not edit.\n#include \"scope_page.h\"\n\nnamespace {\nconst unsigned char kPage[${size}] = {\n${bytes}};\n}  // namespace\n\nstd::string_view scope::scopePage() {\n  return {reinterpret_cast<const char*>(kPage), sizeof kPage};\n}\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
