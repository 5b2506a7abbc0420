# One list of the metadata endpoint variables (src/net/endpoint-variables.tsv)
# becomes a header for the C++ harnesses and the command's help; the shell
# and Python harnesses read the list itself.
set(VMDETECT_ENDPOINT_LIST ${PROJECT_SOURCE_DIR}/src/net/endpoint-variables.tsv)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${VMDETECT_ENDPOINT_LIST})
file(STRINGS ${VMDETECT_ENDPOINT_LIST} vmdetect_endpoint_lines REGEX "^[^#]")
set(vmdetect_endpoint_rows "")
set(vmdetect_endpoint_help "")
foreach(line IN LISTS vmdetect_endpoint_lines)
  string(REPLACE "\t" ";" fields "${line}")
  list(LENGTH fields count)
  if(NOT count EQUAL 3)
    message(FATAL_ERROR "${VMDETECT_ENDPOINT_LIST}: not three tab-separated fields: ${line}")
  endif()
  list(GET fields 0 name)
  list(GET fields 1 loopback)
  list(GET fields 2 help)
  if(loopback STREQUAL "-")
    set(loopback_text "nullptr")
  else()
    set(loopback_text "\"${loopback}\"")
  endif()
  string(APPEND vmdetect_endpoint_rows "    {\"${name}\", ${loopback_text}},\n")
  # The help's columns: the name padded to 34, then at least one blank.
  string(LENGTH "${name}" width)
  set(pad " ")
  while(width LESS 34)
    string(APPEND pad " ")
    math(EXPR width "${width} + 1")
  endwhile()
  string(APPEND vmdetect_endpoint_help "    \"  ${name}${pad}${help}\\n\" \\\n")
endforeach()
set(VMDETECT_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
file(CONFIGURE OUTPUT ${VMDETECT_GENERATED_DIR}/EndpointVariables.h CONTENT
"// Made by cmake/EndpointVariables.cmake from src/net/endpoint-variables.tsv.
#pragma once

#include <stdlib.h>

// The help's lines for the variables.
#define VMDETECT_ENDPOINT_HELP_TEXT \\
${vmdetect_endpoint_help}    \"\"

namespace vmdetect_endpoints {

// A harness sets `name` to `loopback`, or unsets it where that is nullptr.
struct Variable {
    const char* name;
    const char* loopback;
};
constexpr Variable kVariables[] = {
${vmdetect_endpoint_rows}};

// What every harness does first: no metadata request can leave loopback.
inline void SetLoopbackDefaults() {
    for (const Variable& variable : kVariables) {
        if (variable.loopback != nullptr) {
            ::setenv(variable.name, variable.loopback, 1);
        } else {
            ::unsetenv(variable.name);
        }
    }
}

}  // namespace vmdetect_endpoints
" @ONLY)
add_library(vmdetect_endpoint_variables INTERFACE)
target_include_directories(vmdetect_endpoint_variables INTERFACE ${VMDETECT_GENERATED_DIR})
