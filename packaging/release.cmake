# Makes the release files in BINARY_DIR/release: the Debian package, the
# source tarball and SHA256SUMS. packaging/release runs it, once the build has
# passed its checks and its tests:
#
#   cmake -DSOURCE_DIR=... -DBINARY_DIR=... -DVERSION=... -DCONFIG=... -DCOMMIT=...
#         -DCPACK=... -DCXX=... -DCXX_ID=... -DCXX_VERSION=... -DLINKER=...
#         -DOBJCOPY=... -DSTRIP=... -P release.cmake
#
# Nothing in the files depends on when, where or by whom they are made: every
# date in them is SOURCE_DATE_EPOCH, which is the date of the newest entry in
# packaging/changelog unless the environment sets it; file owners are root,
# file modes are those git keeps whatever the umask, and the tarball's files
# are in name order.
cmake_minimum_required(VERSION 3.21)
set(RELEASE_DIR ${BINARY_DIR}/release)

# Runs a command; if it fails, stops with the command, as a shell would take
# it, and what it printed.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE output
                  ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    set(words)
    foreach(word IN LISTS ARGN)
      if(word MATCHES "[^A-Za-z0-9_./:=@%+,-]" OR word STREQUAL "")
        string(REPLACE "'" "'\\''" word "${word}")
        set(word "'${word}'")
      endif()
      list(APPEND words "${word}")
    endforeach()
    list(JOIN words " " command)
    message(FATAL_ERROR "release: ${command} failed (${status}):\n${output}")
  endif()
endfunction()

include(${CMAKE_CURRENT_LIST_DIR}/source-date-epoch.cmake)
garden_count_source_date_epoch(epoch)
set(ENV{SOURCE_DATE_EPOCH} ${epoch})

file(REMOVE_RECURSE ${RELEASE_DIR})
file(MAKE_DIRECTORY ${RELEASE_DIR})

# The Debian package, as `cmake --build build --target package` makes it
# (packaging/cpack-project.cmake and cpack-modes.cmake keep its dates and modes
# the same).
run(${CPACK} -G DEB -C ${CONFIG} --config ${BINARY_DIR}/CPackConfig.cmake
    -B ${BINARY_DIR}/release-cpack)
file(GLOB debs ${BINARY_DIR}/release-cpack/*.deb)
list(LENGTH debs count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "release: cpack made ${count} packages, not one")
endif()
file(COPY ${debs} DESTINATION ${RELEASE_DIR})
file(REMOVE_RECURSE ${BINARY_DIR}/release-cpack)

# The source tarball: what git tracks, less CI's script; outside a git
# checkout (in an unpacked tarball, say), the same directories and files as
# they are.
set(tree garden-count-${VERSION})
set(top CMakeLists.txt CMakePresets.json README.md CHANGELOG.md LICENSE garden_count.1
        .clang-format .clang-tidy .gitignore)
set(dirs src tests bench walkcheck packaging)
execute_process(COMMAND git -C ${SOURCE_DIR} ls-files -- ${top} ${dirs}
                OUTPUT_VARIABLE tracked RESULT_VARIABLE status ERROR_QUIET)
if(status EQUAL 0 AND EXISTS ${SOURCE_DIR}/.git)
  string(REPLACE "\n" ";" files "${tracked}")
else()
  set(files)
  foreach(name ${top})
    if(EXISTS ${SOURCE_DIR}/${name})
      list(APPEND files ${name})
    endif()
  endforeach()
  foreach(dir ${dirs})
    file(GLOB_RECURSE found RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/${dir}/*)
    list(APPEND files ${found})
  endforeach()
endif()
list(REMOVE_ITEM files "")
list(SORT files)
string(REPLACE ";" "\n" list "${files}")
file(WRITE ${BINARY_DIR}/release-files "${list}\n")
run(tar -C ${SOURCE_DIR} --create --file ${BINARY_DIR}/${tree}.tar --format=gnu --sort=name
    --mtime=@${epoch} --owner=0 --group=0 --numeric-owner --mode=u+w,go-w,a+rX
    --transform=s,^,${tree}/, --files-from=${BINARY_DIR}/release-files)
run(gzip -9nf ${BINARY_DIR}/${tree}.tar)
file(RENAME ${BINARY_DIR}/${tree}.tar.gz ${RELEASE_DIR}/${tree}.tar.gz)
file(REMOVE ${BINARY_DIR}/release-files)

# SHA256SUMS, in the form `sha256sum -c` reads.
file(GLOB made RELATIVE ${RELEASE_DIR} ${RELEASE_DIR}/*)
list(SORT made)
set(sums "")
foreach(name ${made})
  file(SHA256 ${RELEASE_DIR}/${name} sum)
  string(APPEND sums "${sum}  ${name}\n")
endforeach()
file(WRITE ${RELEASE_DIR}/SHA256SUMS "${sums}")
list(JOIN made ", " names)
message(STATUS "release: ${names} and SHA256SUMS in ${RELEASE_DIR}, dated ${epoch}")
