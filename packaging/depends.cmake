# Read by cpack: the package depends on libc6 alone, at the newest symbol
# version the packaged daemon was linked against.
execute_process(COMMAND "${CPACK_OSTRIVO_OBJDUMP}" -T "${CPACK_OSTRIVO_DAEMON}"
  OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot read the symbols of ${CPACK_OSTRIVO_DAEMON}")
endif()
string(REGEX MATCHALL "GLIBC_[0-9]+(\\.[0-9]+)+" versions "${symbols}")
set(newest 2.0)
foreach(version IN LISTS versions)
  string(REPLACE "GLIBC_" "" version "${version}")
  if(version VERSION_GREATER newest)
    set(newest ${version})
  endif()
endforeach()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${newest})")
