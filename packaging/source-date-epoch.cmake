# Sets the variable named by the argument to SOURCE_DATE_EPOCH: the
# environment's, if it sets one, or else the date of the newest entry in
# packaging/changelog, in seconds since 1970. Every date in the Debian package
# and the release files is this one. Fails, saying so in one line, if the date
# cannot be read or is not a number of seconds.
function(garden_count_source_date_epoch variable)
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(epoch "$ENV{SOURCE_DATE_EPOCH}")
  else()
    execute_process(
      COMMAND dpkg-parsechangelog -l "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/changelog" -STimestamp
      OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status ERROR_QUIET)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "cannot read the date of packaging/changelog with dpkg-parsechangelog "
                          "(Debian package dpkg-dev): ${status}")
    endif()
  endif()
  if(NOT epoch MATCHES "^[0-9]+$")
    message(FATAL_ERROR "SOURCE_DATE_EPOCH '${epoch}' is not a number of seconds")
  endif()
  set(${variable} ${epoch} PARENT_SCOPE)
endfunction()
