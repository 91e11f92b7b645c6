# Keeps the user's umask out of the Debian package. cpack gives the
# directories it creates, and the three members of the package's ar archive,
# the modes the umask leaves; under umask 077 they would be 0700 and 0600.
#
# Run before cpack packs the installed files (CPACK_PRE_BUILD_SCRIPTS), it
# sets every directory there to 0755; run after it has made the package
# (CPACK_POST_BUILD_SCRIPTS, with CPACK_PACKAGE_FILES set), it writes 0644,
# what cpack writes under umask 022, into each ar member's header.
cmake_minimum_required(VERSION 3.21)

if(NOT DEFINED CPACK_PACKAGE_FILES)
  file(GLOB_RECURSE directories LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
  foreach(path "${CPACK_TEMPORARY_DIRECTORY}" ${directories})
    if(IS_DIRECTORY "${path}")
      file(CHMOD "${path}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                       GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    endif()
  endforeach()
  return()
endif()

# An ar archive is "!<arch>\n" and then, for each member, a 60-byte header and
# the member, padded to an even size. The header holds, in ASCII, the name (16
# bytes), date (12), owner (6), group (6), mode (8, octal), size (10) and "`\n".
file(WRITE "${CPACK_TOPLEVEL_DIRECTORY}/ar-mode" "100644  ")
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.deb$")
    continue()
  endif()
  file(SIZE "${package}" size)
  set(offset 8)
  while(offset LESS size)
    file(READ "${package}" header OFFSET ${offset} LIMIT 60)
    string(SUBSTRING "${header}" 48 10 length)
    string(STRIP "${length}" length)
    if(NOT length MATCHES "^[0-9]+$" OR NOT header MATCHES "`\n$")
      message(FATAL_ERROR "${package}: no ar member header at byte ${offset}")
    endif()
    math(EXPR mode_offset "${offset} + 40")
    execute_process(COMMAND dd "of=${package}" bs=1 seek=${mode_offset} conv=notrunc status=none
                    INPUT_FILE "${CPACK_TOPLEVEL_DIRECTORY}/ar-mode" RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "${package}: cannot write the mode of the ar member at byte ${offset}")
    endif()
    math(EXPR offset "${offset} + 60 + ${length} + ${length} % 2")
  endwhile()
endforeach()
file(REMOVE "${CPACK_TOPLEVEL_DIRECTORY}/ar-mode")
