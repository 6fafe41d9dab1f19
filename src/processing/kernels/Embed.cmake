# Turns the kernel sources into string constants (run with cmake -P).
# In: DIR (folder of the .cl files), NAMES (comma-separated base names),
# OUTPUT (the .cpp to write). Each NAME.cl becomes corvel::kernels::NAME.
string(REPLACE "," ";" names "${NAMES}")
set(text "// Generated from ${DIR} at build time; edit the .cl files instead.\n")
string(APPEND text "#include \"processing/KernelSources.h\"\n\nnamespace corvel::kernels {\n")
foreach(name IN LISTS names)
  file(READ "${DIR}/${name}.cl" body)
  string(FIND "${body}" ")CLSRC\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${name}.cl contains the raw-string delimiter")
  endif()
  string(APPEND text "const char* const ${name} = R\"CLSRC(${body})CLSRC\";\n")
endforeach()
string(APPEND text "} // namespace corvel::kernels\n")
file(WRITE "${OUTPUT}.tmp" "${text}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
