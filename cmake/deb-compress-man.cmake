# Run by cpack on the staged files before they are packed: Debian's manual
# pages are compressed (gzip -9n: no name or time stamp, so the same page
# packs to the same bytes).
file(GLOB_RECURSE files "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(page IN LISTS files)
  if(page MATCHES "/share/man/man[^/]*/[^/]+$" AND NOT page MATCHES "\\.gz$")
    execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "gzip ${page} failed")
    endif()
  endif()
endforeach()
