# cmake -DSQL=schema.sql -DOUT=schema_text.cpp -P embed_schema.cmake: the
# schema as a C++ string, and the version it makes.
file(READ ${SQL} text)
string(REGEX MATCH "known constant integer := ([0-9]+);" found "${text}")
if(NOT found)
  message(FATAL_ERROR "${SQL}: no \"known constant integer := N;\" line gives the schema's version")
endif()
set(version ${CMAKE_MATCH_1})
if(text MATCHES "\\)schema\"")
  message(FATAL_ERROR "${SQL} holds the raw string's end marker )schema\"")
endif()
file(WRITE ${OUT} "// Generated from schema.sql by embed_schema.cmake; edit schema.sql.\n"
                  "#include \"tools/gang/database/schema.h\"\n\n"
                  "namespace recorddb\n{\n"
                  "const int schema_version = ${version};\n"
                  "const char schema_sql[] = R\"schema(${text})schema\";\n"
                  "} // namespace recorddb\n")
