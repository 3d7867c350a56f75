# The generated version header, from project(ksupdate VERSION ...): the
# Windows resources include it, and any code may.
if(NOT PROJECT_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "project(ksupdate VERSION ...) must be MAJOR.MINOR.PATCH "
                      "(a Windows version resource has four parts of 0 to "
                      "65535, the fourth is 0): got '${PROJECT_VERSION}'")
endif()
foreach(part MAJOR MINOR PATCH)
  if(PROJECT_VERSION_${part} GREATER 65535)
    message(FATAL_ERROR "version part ${part} is over 65535")
  endif()
endforeach()
set(KSUPDATE_VERSION_QUAD "${PROJECT_VERSION}.0")
set(KSUPDATE_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
configure_file(${PROJECT_SOURCE_DIR}/cmake/version.h.in
  ${KSUPDATE_GENERATED_DIR}/ksupdate_version.h @ONLY)
