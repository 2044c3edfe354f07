# Writes the stub's bytes as a C++ array: cmake -DINPUT=stub.exe -DOUTPUT=stub_image.cc -P embed.cmake
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE ${OUTPUT}.tmp "// Generated from the linked stub at build time.\n#include \"stub_image.h\"\nnamespace pack {\nalignas(16) const unsigned char kStubImage[] = {\n${bytes}};\nconst size_t kStubImageSize = ${size};\n}  // namespace pack\n")
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
