# What makes ksupdate.exe the program Windows expects (included for WIN32
# builds of the ksupdate target only; the hardening that the entry calls
# first is in the library, platform/win32/hardening.cc):
# - the application manifest and the version resource (ksupdate.rc);
# - ASLR with a relocation table kept, DEP, and high-entropy addresses on
#   the 64-bit build.

configure_file(${PROJECT_SOURCE_DIR}/platform/win32/ksupdate.manifest.in
  ${KSUPDATE_GENERATED_DIR}/ksupdate.manifest @ONLY)
set(KSUPDATE_RC ${PROJECT_SOURCE_DIR}/platform/win32/ksupdate.rc)
target_sources(ksupdate PRIVATE ${KSUPDATE_RC})
# windres finds ksupdate.manifest and ksupdate_version.h on its include
# path; it reports no dependencies, so they are named here.
target_include_directories(ksupdate PRIVATE ${KSUPDATE_GENERATED_DIR})
set_source_files_properties(${KSUPDATE_RC} PROPERTIES OBJECT_DEPENDS
  "${KSUPDATE_GENERATED_DIR}/ksupdate.manifest;${KSUPDATE_GENERATED_DIR}/ksupdate_version.h")

# --dynamicbase is worth nothing without the relocation table that lets the
# loader move the image, so the table is asked for by name.
target_link_options(ksupdate PRIVATE
  -Wl,--dynamicbase -Wl,--enable-reloc-section -Wl,--nxcompat)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  target_link_options(ksupdate PRIVATE -Wl,--high-entropy-va)
endif()
