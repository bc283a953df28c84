# Turns the page and the OpenAPI document into a C++ source at build time:
# cmake -DOUT=file.cpp -DPAGE=index.html -DOPENAPI=openapi.json -P embed.cmake
function(embed_array var file out)
  file(READ ${file} hex HEX)
  file(SIZE ${file} size)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," body "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" body "${body}")
  set(${out} "${${out}}const unsigned char ${var}[] = {\n${body}0};\nconst unsigned long ${var}Size = ${size};\n" PARENT_SCOPE)
endfunction()
set(text "// Made by web/embed.cmake from web/page/: do not edit.\n#include \"web/web_server.h\"\n")
embed_array(kWebPage ${PAGE} text)
embed_array(kWebOpenApi ${OPENAPI} text)
file(WRITE ${OUT}.tmp "${text}")
file(RENAME ${OUT}.tmp ${OUT})
