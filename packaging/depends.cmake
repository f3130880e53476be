# Read by cpack. The package depends on libc6 alone, at the newest symbol
# version any of its programs was linked against.
set(versions)
foreach(program IN LISTS CPACK_OSTRIVO_PROGRAMS)
  execute_process(COMMAND "${CPACK_OSTRIVO_OBJDUMP}" -T "${program}"
    OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot read the symbols of ${program}")
  endif()
  string(REGEX MATCHALL "GLIBC_[0-9]+(\\.[0-9]+)+" found "${symbols}")
  list(APPEND versions ${found})
endforeach()
set(newest 2.0)
foreach(version IN LISTS versions)
  string(REPLACE "GLIBC_" "" version "${version}")
  if(version VERSION_GREATER newest)
    set(newest ${version})
  endif()
endforeach()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${newest})")

# The archive's times are those of the release, as dpkg takes them from the
# changelog, unless the environment sets SOURCE_DATE_EPOCH: so the same
# sources pack the same bytes whenever they are packed.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  file(STRINGS "${CPACK_OSTRIVO_CHANGELOG}" trailer REGEX "^ -- " LIMIT_COUNT 1)
  string(REGEX REPLACE "^ -- .*>  " "" released "${trailer}")
  execute_process(COMMAND date -d "${released}" +%s
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
  if(failed OR NOT epoch MATCHES "^[0-9]+$")
    message(FATAL_ERROR "cannot read the release date from ${CPACK_OSTRIVO_CHANGELOG}")
  endif()
  set(ENV{SOURCE_DATE_EPOCH} ${epoch})
endif()
