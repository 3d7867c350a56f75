# CPack pre-build script of the Windows packages (CPACK_PRE_BUILD_SCRIPTS):
# signs every staged .exe with Authenticode before it is zipped, when
# KSUPDATE_SIGN_CERT and KSUPDATE_SIGN_KEY name a certificate and its key
# (PEM or DER files; the key unencrypted). KSUPDATE_SIGN_TIMESTAMP may name
# an RFC 3161 time-stamp server, so that the signature outlives the
# certificate. Without the two variables the package is built unsigned,
# and this says so.
set(cert "$ENV{KSUPDATE_SIGN_CERT}")
set(key "$ENV{KSUPDATE_SIGN_KEY}")
set(timestamp "$ENV{KSUPDATE_SIGN_TIMESTAMP}")

file(GLOB_RECURSE programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.exe")
if(NOT programs)
  message(FATAL_ERROR "no .exe staged in ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()

if(cert STREQUAL "" AND key STREQUAL "")
  message(STATUS "UNSIGNED: KSUPDATE_SIGN_CERT and KSUPDATE_SIGN_KEY are not "
                 "set, so the .exe files are not signed")
  return()
endif()
if(cert STREQUAL "" OR key STREQUAL "")
  message(FATAL_ERROR "set both KSUPDATE_SIGN_CERT and KSUPDATE_SIGN_KEY, "
                      "or neither")
endif()
foreach(file IN ITEMS "${cert}" "${key}")
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "signing: no such file: ${file}")
  endif()
endforeach()
find_program(OSSLSIGNCODE osslsigncode REQUIRED)

foreach(program IN LISTS programs)
  set(args sign -certs "${cert}" -key "${key}" -h sha256 -n ksupdate)
  if(NOT timestamp STREQUAL "")
    list(APPEND args -ts "${timestamp}")
  endif()
  execute_process(
    COMMAND "${OSSLSIGNCODE}" ${args} -in "${program}" -out "${program}.signed"
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    file(REMOVE "${program}.signed")
    message(FATAL_ERROR "signing ${program} failed:\n${output}")
  endif()
  file(RENAME "${program}.signed" "${program}")
  get_filename_component(name "${program}" NAME)
  message(STATUS "signed ${name} with ${cert}")
endforeach()
