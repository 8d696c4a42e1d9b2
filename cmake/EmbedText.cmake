# Turns a text file into a C++ source defining `extern const char SYMBOL[]`
# (zero-terminated) and `extern const unsigned long SYMBOL_size`.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hexlen)
math(EXPR size "${hexlen} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," body "${hex}")
string(REGEX REPLACE "(([^,]*,){16})" "\\1\n" body "${body}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT}; do not edit.\n"
  "extern const char ${SYMBOL}[];\nextern const unsigned long ${SYMBOL}_size;\n"
  "const char ${SYMBOL}[] = {\n${body}'\\0'};\n"
  "const unsigned long ${SYMBOL}_size = ${size};\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
