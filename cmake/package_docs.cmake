# The Markdown documents of a package, with links that work where the
# package puts them. A link to a file of the source tree that the package
# holds points to where the package puts that file; a link to one that it
# does not hold (the tests, the build files) becomes its text alone.
#
# ksupdate_install_docs(DESTINATION PAIR...)
#   DESTINATION  the package's directory for its documents
#   PAIR         SOURCE=PACKAGED for each file the package holds: its path
#                in the source tree and in DESTINATION. Each .md file among
#                them is installed here; the other files have rules of
#                their own.

# Generates a packaged copy of the document `source`, placed at `packaged`
# among `pairs`; sets `out` to its path.
function(ksupdate_package_doc source packaged pairs out)
  file(READ ${PROJECT_SOURCE_DIR}/${source} text)
  get_filename_component(source_dir "/src/${source}" DIRECTORY)
  get_filename_component(packaged_dir "/pkg/${packaged}" DIRECTORY)
  # Only the links to files: [text](path) or [text](path#anchor).
  string(REGEX MATCHALL "\\[[^]\n]*\\]\\([^)#:\n][^):\n]*\\)" links "${text}")
  list(REMOVE_DUPLICATES links)
  foreach(link IN LISTS links)
    string(REGEX REPLACE "^\\[([^]]*)\\]\\(([^)#]*)(#?[^)]*)\\)$" "\\1" label
      "${link}")
    string(REGEX REPLACE "^\\[([^]]*)\\]\\(([^)#]*)(#?[^)]*)\\)$" "\\2" target
      "${link}")
    string(REGEX REPLACE "^\\[([^]]*)\\]\\(([^)#]*)(#?[^)]*)\\)$" "\\3" anchor
      "${link}")
    cmake_path(SET resolved NORMALIZE "${source_dir}/${target}")
    string(REGEX REPLACE "^/src/" "" resolved "${resolved}")
    set(new "${label}")
    foreach(pair IN LISTS pairs)
      string(REGEX REPLACE "=.*" "" from "${pair}")
      string(REGEX REPLACE ".*=" "/pkg/" to "${pair}")
      if(from STREQUAL resolved)
        cmake_path(RELATIVE_PATH to BASE_DIRECTORY "${packaged_dir}")
        set(new "[${label}](${to}${anchor})")
      endif()
    endforeach()
    string(REPLACE "${link}" "${new}" text "${text}")
  endforeach()
  set(path ${KSUPDATE_GENERATED_DIR}/package-docs/${packaged})
  file(WRITE ${path}.new "${text}")
  file(COPY_FILE ${path}.new ${path} ONLY_IF_DIFFERENT)
  file(REMOVE ${path}.new)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/${source})
  set(${out} ${path} PARENT_SCOPE)
endfunction()

function(ksupdate_install_docs destination)
  foreach(pair IN LISTS ARGN)
    string(REGEX REPLACE "=.*" "" source "${pair}")
    string(REGEX REPLACE ".*=" "" packaged "${pair}")
    if(source MATCHES "\\.md$")
      ksupdate_package_doc(${source} ${packaged} "${ARGN}" path)
      get_filename_component(dir "${packaged}" DIRECTORY)
      install(FILES ${path} DESTINATION "${destination}/${dir}")
    endif()
  endforeach()
endfunction()
