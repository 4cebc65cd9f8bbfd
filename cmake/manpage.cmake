# Makes the manual page from the built program's --help and --version with
# help2man, gzipped for installing. Run by cmake -P with HELP2MAN, PROGRAM,
# DESCRIPTION, BUILT_README (where --help of a build points to the key
# reference), INSTALLED_README (where the package puts it) and OUTPUT.
execute_process(COMMAND ${HELP2MAN} --no-info --name=${DESCRIPTION} ${PROGRAM}
                OUTPUT_VARIABLE page RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT page MATCHES "\\.SH OPTIONS")
  message(FATAL_ERROR "help2man could not read ${PROGRAM}'s --help (${result})")
endif()
# The page describes the installed program, not the build it was made from.
# help2man escapes the path's hyphens.
string(REPLACE "-" "\\-" built "${BUILT_README}")
string(REPLACE "-" "\\-" installed "${INSTALLED_README}")
string(REPLACE "${built}" "${installed}" page "${page}")
get_filename_component(page_file ${OUTPUT} NAME_WLE)
get_filename_component(folder ${OUTPUT} DIRECTORY)
file(WRITE ${folder}/${page_file} "${page}")
# -n: no name or time stamp in the archive, so equal pages give equal files.
execute_process(COMMAND gzip -9nf ${folder}/${page_file} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${folder}/${page_file}")
endif()
