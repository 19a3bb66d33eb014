# Turns a compiled resource file (.res) into a C++ source that holds its bytes
# under the names the stand-in's loader looks up in a module.
#   RES  the compiled resources;  OUT  the source to write
file(READ "${RES}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE "${OUT}" "// Generated from ${RES}: the module's compiled resources.\n"
  "extern \"C\" const unsigned char StandinResources[${size}] = {\n${bytes}};\n"
  "extern \"C\" const unsigned long StandinResourcesSize = ${size};\n")
