# Writes a C++ source that embeds a text file as fm::<SYMBOL>().
#   -DINPUTS="a.h;b.h"   files to embed, in order; local #include "x.h" lines are replaced by the
#                        file's text (each file once), so the result is self-contained
#   -DDEFINE=NAME        optional: the text starts with "#define NAME 1"
#   -DOUTPUT=file.cpp -DSYMBOL=name
cmake_minimum_required(VERSION 3.20)

set(FM_SEEN "")

function(fm_flatten path out_var)
  get_filename_component(abs "${path}" ABSOLUTE)
  list(FIND FM_SEEN "${abs}" idx)
  if(NOT idx EQUAL -1)
    set(${out_var} "" PARENT_SCOPE)
    return()
  endif()
  list(APPEND FM_SEEN "${abs}")
  set(FM_SEEN "${FM_SEEN}" PARENT_SCOPE)
  if(NOT EXISTS "${abs}")
    message(FATAL_ERROR "EmbedText: missing file ${abs}")
  endif()
  file(READ "${abs}" text)
  get_filename_component(dir "${abs}" DIRECTORY)
  string(REGEX MATCHALL "#include \"[A-Za-z0-9_./-]+\"" incs "${text}")
  foreach(inc IN LISTS incs)
    string(REGEX REPLACE "#include \"([A-Za-z0-9_./-]+)\"" "\\1" name "${inc}")
    fm_flatten("${dir}/${name}" sub)
    set(FM_SEEN "${FM_SEEN}")
    string(REPLACE "${inc}" "${sub}" text "${text}")
  endforeach()
  set(FM_SEEN "${FM_SEEN}" PARENT_SCOPE)
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

set(all "")
if(DEFINE)
  set(all "#define ${DEFINE} 1\n")
endif()
foreach(f IN LISTS INPUTS)
  fm_flatten("${f}" part)
  string(APPEND all "${part}")
endforeach()

# Raw-string pieces well under every compiler's literal-length limit.
set(delim "FMTXT")
string(FIND "${all}" ")${delim}\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "EmbedText: text contains the raw-string delimiter")
endif()
string(LENGTH "${all}" total)
set(body "")
set(pos 0)
set(piece 8000)
while(pos LESS total)
  string(SUBSTRING "${all}" ${pos} ${piece} chunk)
  string(APPEND body "R\"${delim}(${chunk})${delim}\"\n")
  math(EXPR pos "${pos} + ${piece}")
endwhile()
if(total EQUAL 0)
  set(body "\"\"\n")
endif()

file(WRITE "${OUTPUT}.tmp"
  "// Generated from the kernel headers; do not edit.\n"
  "#include <cstddef>\n"
  "namespace fm {\n"
  "namespace {\n"
  "const char kText[] =\n${body};\n"
  "}  // namespace\n"
  "const char* ${SYMBOL}() { return kText; }\n"
  "size_t ${SYMBOL}Size() { return sizeof(kText) - 1; }\n"
  "}  // namespace fm\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
