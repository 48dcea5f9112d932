# Turns the page's HTML into a C++ translation unit holding one byte array.
file(READ ${IN} hex HEX)
string(LENGTH "${hex}" hexlen)
math(EXPR size "${hexlen} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE ${OUT} "// Generated from src/web/index.html; do not edit.\n#include \"web/page.h\"\n\nstatic const unsigned char kPage[] = {\n${bytes}0};\n\nconst char* const PAGE_HTML = reinterpret_cast<const char*>(kPage);\nconst unsigned long long PAGE_HTML_LEN = ${size};\n")
