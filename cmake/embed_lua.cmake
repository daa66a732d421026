# Writes OUTPUT: one NUL-terminated, read-only char array per Lua text.
# TEXTS is a list of triples: array name, chunk name, source file. Each text
# is compiled by COMPILER (the build's own compile_lua tool, linked with the
# runner's Lua library) into a precompiled chunk under its chunk name, and
# the chunk's bytes are embedded.
if(NOT COMPILER)
  message(FATAL_ERROR "embed_lua.cmake needs -DCOMPILER=<compile_lua tool>")
endif()
set(content "// Generated from src/lua at build time; edit the .lua files instead.\n#pragma once\n\n")
list(LENGTH TEXTS count)
math(EXPR last "${count} - 1")
foreach(i RANGE 0 ${last} 3)
  math(EXPR j "${i} + 1")
  math(EXPR k "${i} + 2")
  list(GET TEXTS ${i} name)
  list(GET TEXTS ${j} chunkName)
  list(GET TEXTS ${k} file)
  set(chunk ${OUTPUT}.${name}.chunk)
  execute_process(COMMAND ${COMPILER} ${file} ${chunkName} ${chunk}
                  RESULT_VARIABLE failed ERROR_VARIABLE reason)
  if(failed)
    message(FATAL_ERROR "Cannot compile ${file}: ${reason}")
  endif()
  file(READ ${chunk} hex HEX)
  file(REMOVE ${chunk})
  string(LENGTH "${hex}" hexLength)
  math(EXPR size "${hexLength} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){16})" "\\1\n" bytes "${bytes}")
  string(APPEND content "static constexpr char ${name}[${size} + 1] = {\n${bytes}'\\0'};\n\n")
endforeach()
file(WRITE ${OUTPUT}.tmp "${content}")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
