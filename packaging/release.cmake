# Makes the release files in BINARY_DIR/release: the Debian package, the
# source tarball, the build record (.buildinfo) and SHA256SUMS.
# packaging/release runs it, once the build has passed its checks and its
# tests:
#
#   cmake -DSOURCE_DIR=... -DBINARY_DIR=... -DVERSION=... -DCONFIG=... -DCOMMIT=...
#         -DCPACK=... -DCXX=... -DCXX_ID=... -DCXX_VERSION=... -DLINKER=...
#         -DOBJCOPY=... -DSTRIP=... -P release.cmake
#
# Nothing in the files depends on when, where or by whom they are made: every
# date in them is SOURCE_DATE_EPOCH, which is the date of the newest entry in
# packaging/changelog unless the environment sets it; file owners are root,
# file modes are those git keeps whatever the umask, and the tarball's files
# are in name order. The build record names the commit, the tools and the
# libraries, not the machine, the directory or the user.
cmake_minimum_required(VERSION 3.21)
set(RELEASE_DIR ${BINARY_DIR}/release)

# Stops the release with one line that says why and what to do, as
# packaging/release's own refusals do. The line goes into release-failure,
# which packaging/release prints in place of CMake's error; it also removes
# what the release had made.
function(fail)
  set(why)
  math(EXPR last "${ARGC} - 1")
  foreach(index RANGE ${last})
    string(APPEND why "${ARGV${index}}")
  endforeach()
  file(WRITE ${BINARY_DIR}/release-failure "release: ${why}\n")
  message(FATAL_ERROR "release: ${why}")
endfunction()

# Runs a command quietly; if it fails, shows what it printed and stops with
# the command, as a shell would take it. What it printed is shown, too, if it
# holds a warning from CMake or CPack.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE output
                  ERROR_VARIABLE output)
  if(status EQUAL 0 AND output MATCHES "CMake [A-Za-z ]*Warning")
    message(NOTICE "${output}")
  elseif(NOT status EQUAL 0)
    set(words)
    foreach(word IN LISTS ARGN)
      if(word MATCHES "[^A-Za-z0-9_./:=@%+,-]" OR word STREQUAL "")
        string(REPLACE "'" "'\\''" word "${word}")
        set(word "'${word}'")
      endif()
      list(APPEND words "${word}")
    endforeach()
    list(JOIN words " " command)
    string(STRIP "${output}" output)
    if(NOT output STREQUAL "")
      message(NOTICE "${output}")
    endif()
    fail("${command} failed (${status}); no release was made")
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
  fail("cpack made ${count} packages, not one; no release was made")
endif()
file(COPY ${debs} DESTINATION ${RELEASE_DIR})
file(REMOVE_RECURSE ${BINARY_DIR}/release-cpack)

# The source tarball: what git tracks, less CI's script; outside a git
# checkout (in an unpacked tarball, say), the same directories and files as
# they are. Last in it comes COMMIT, the commit's id, so that a release made
# from the unpacked tarball names the same commit.
set(tree garden-count-${VERSION})
set(top CMakeLists.txt CMakePresets.json README.md CHANGELOG.md LICENSE garden_count.1
        .clang-format .clang-tidy .gitignore)
set(dirs src tests bench walkcheck packaging docs)
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
    # Python's bytecode caches, which git ignores, appear when the checks run.
    list(FILTER found EXCLUDE REGEX "(^|/)__pycache__/")
    list(APPEND files ${found})
  endforeach()
endif()
list(REMOVE_ITEM files "")
list(SORT files)
string(REPLACE ";" "\n" list "${files}")
file(WRITE ${BINARY_DIR}/release-files "${list}\n")
file(MAKE_DIRECTORY ${BINARY_DIR}/release-commit)
file(WRITE ${BINARY_DIR}/release-commit/COMMIT "${COMMIT}\n")
set(tar_options --format=gnu --sort=name --mtime=@${epoch} --owner=0 --group=0 --numeric-owner
                --mode=u+w,go-w,a+rX --transform=s,^,${tree}/,)
run(tar -C ${SOURCE_DIR} --create --file ${BINARY_DIR}/${tree}.tar ${tar_options}
    --files-from=${BINARY_DIR}/release-files)
run(tar -C ${BINARY_DIR}/release-commit --append --file ${BINARY_DIR}/${tree}.tar ${tar_options}
    COMMIT)
run(gzip -9nf ${BINARY_DIR}/${tree}.tar)
file(RENAME ${BINARY_DIR}/${tree}.tar.gz ${RELEASE_DIR}/${tree}.tar.gz)
file(REMOVE_RECURSE ${BINARY_DIR}/release-files ${BINARY_DIR}/release-commit)

# The build record: what made the files, so that they can be made again. The
# tools and libraries are named by the Debian packages that hold them, with
# their versions: the compiler's, its C++ and C libraries' (the headers and
# libraries it builds with, and the run-time libraries whose versions the
# package's Depends come from), binutils', CMake's, dpkg-dev's, and those of
# file, tar and gzip.

# What dpkg's database says of a path, as the variables <prefix>_holders (the
# packages that hold it, without their architectures), and, where dpkg diverts
# the path or diverts another path to it, <prefix>_from and <prefix>_to (the
# diversion's two paths) and <prefix>_by (the package that diverts, or
# nothing for a local diversion). <prefix>_found is false if the database
# knows nothing of the path. dpkg-query -S prints the diversion first:
#   diversion by PKG from: PATH       or   local diversion from: PATH
#   diversion by PKG to: DIVERTED     or   local diversion to: DIVERTED
#   PKG1, PKG2:ARCH: PATH
function(dpkg_search prefix path)
  execute_process(COMMAND dpkg-query -S ${path} OUTPUT_VARIABLE found RESULT_VARIABLE status
                  ERROR_QUIET)
  set(holders)
  set(from)
  set(to)
  set(by)
  string(REPLACE "\n" ";" lines "${found}")
  foreach(line IN LISTS lines)
    if(line MATCHES "^(diversion by ([^ ]+)|local diversion) (from|to): (.*)$")
      set(${CMAKE_MATCH_3} "${CMAKE_MATCH_4}")
      set(by "${CMAKE_MATCH_2}")
    elseif(line MATCHES "^([^ ]+(, [^ ]+)*): (.*)$" AND CMAKE_MATCH_3 STREQUAL path)
      string(REPLACE ", " ";" names "${CMAKE_MATCH_1}")
      foreach(name IN LISTS names)
        string(REGEX REPLACE ":.*" "" name "${name}")
        list(APPEND holders ${name})
      endforeach()
    endif()
  endforeach()
  if(status EQUAL 0 AND NOT "${holders}${from}" STREQUAL "")
    set(${prefix}_found TRUE PARENT_SCOPE)
  else()
    set(${prefix}_found FALSE PARENT_SCOPE)
  endif()
  foreach(name holders from to by)
    set(${prefix}_${name} "${${name}}" PARENT_SCOPE)
  endforeach()
endfunction()

# The Debian package whose file stands at a path. Where dpkg diverts the path,
# that is the diverting package's, as dpkg moves every other package's file
# of that path to the diverted one; at the diverted path stands the file of a
# package it was moved away from. A local diversion moves every package's file
# away, and what stands at the path is no package's.
function(owner variable path)
  set(candidates ${path})
  # Debian 12 holds some files under /lib that are found under /usr/lib.
  if(path MATCHES "^/usr(/.*)$")
    list(APPEND candidates ${CMAKE_MATCH_1})
  else()
    list(APPEND candidates /usr${path})
  endif()
  foreach(candidate ${candidates})
    dpkg_search(this ${candidate})
    if(NOT this_found)
      continue()
    endif()
    if(this_to STREQUAL candidate)
      dpkg_search(moved ${this_from})
      set(holders ${moved_holders})
      if(NOT this_by STREQUAL "")
        list(REMOVE_ITEM holders ${this_by})
      endif()
      if(holders STREQUAL "")
        fail("${path} is where dpkg diverts ${this_from} to, and no Debian package's file was "
             "moved there, so what stands there is no package's: make the release with the tools "
             "at the paths their Debian packages install them")
      endif()
      list(GET holders 0 package)
    elseif(this_from STREQUAL candidate AND this_by STREQUAL "")
      fail("${path} is diverted locally (to ${this_to}), so what stands there is no Debian "
           "package's file: remove the diversion (dpkg-divert --local --rename --remove "
           "${candidate}), or make the release where dpkg does not divert it")
    elseif(this_from STREQUAL candidate)
      if(NOT this_by IN_LIST this_holders)
        fail("${path} is diverted by ${this_by} (to ${this_to}), which does not hold it, so what "
             "stands there is no Debian package's file: reinstall ${this_by}, or make the "
             "release where dpkg does not divert it")
      endif()
      set(package ${this_by})
    else()
      list(GET this_holders 0 package)
    endif()
    set(${variable} ${package} PARENT_SCOPE)
    return()
  endforeach()
  fail("no Debian package holds ${path}: make the release with tools installed from Debian "
       "packages")
endfunction()

# The packages, each with its version, sorted; each must be installed.
function(versions variable)
  set(found)
  set(packages ${ARGN})
  list(REMOVE_DUPLICATES packages)
  foreach(package ${packages})
    execute_process(COMMAND dpkg-query -W "-f=\${db:Status-Status} \${Package} (= \${Version})\n"
                            ${package} OUTPUT_VARIABLE lines ERROR_QUIET)
    string(REPLACE "\n" ";" lines "${lines}")
    set(installed)
    foreach(line IN LISTS lines)
      if(line MATCHES "^installed (.*)$")
        list(APPEND installed "${CMAKE_MATCH_1}")
      endif()
    endforeach()
    if(installed STREQUAL "")
      fail("dpkg-query finds no installed version of ${package}, which the build record names: "
           "install it (apt-get install ${package})")
    endif()
    list(APPEND found ${installed})
  endforeach()
  list(REMOVE_DUPLICATES found)
  list(SORT found)
  set(${variable} "${found}" PARENT_SCOPE)
endfunction()

function(compiler_file variable name)
  execute_process(COMMAND ${CXX} -print-file-name=${name} OUTPUT_VARIABLE path
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  cmake_path(NORMAL_PATH path)
  set(${variable} ${path} PARENT_SCOPE)
endfunction()

execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE arch
                OUTPUT_STRIP_TRAILING_WHITESPACE)
file(REAL_PATH ${CXX} path)
owner(compiler_package ${path})
compiler_file(path libstdc++.so)
owner(cxx_library ${path})
compiler_file(path libc.so)
owner(c_library ${path})
# The packages the Debian package depends on: the C++ and C run-time
# libraries, and the compiler's own (libgcc-s1).
file(GLOB deb ${RELEASE_DIR}/*.deb)
execute_process(COMMAND dpkg-deb -f ${deb} Depends OUTPUT_VARIABLE depends)
string(REGEX REPLACE " *\\([^)]*\\)" "" depends "${depends}")
string(REGEX REPLACE "[ \n]" "" depends "${depends}")
string(REPLACE "," ";" depends "${depends}")
set(packages ${compiler_package} ${cxx_library} ${c_library} ${depends})
foreach(tool dpkg-shlibdeps file tar gzip)
  find_program(path_${tool} ${tool} NO_CACHE REQUIRED)
endforeach()
foreach(path ${LINKER} ${OBJCOPY} ${STRIP} ${CMAKE_COMMAND} ${path_dpkg-shlibdeps} ${path_file}
             ${path_tar} ${path_gzip})
  file(REAL_PATH ${path} path)
  owner(package ${path})
  list(APPEND packages ${package})
endforeach()
versions(installed ${packages})
versions(cxx_library ${cxx_library} libstdc++6)
versions(c_library ${c_library} libc6)
versions(compiler_package ${compiler_package})
list(JOIN cxx_library ", " cxx_library)
list(JOIN c_library ", " c_library)
list(JOIN installed "\n " installed)
string(TIMESTAMP date "%Y-%m-%dT%H:%M:%SZ" UTC)
file(WRITE ${RELEASE_DIR}/garden-count_${VERSION}_${arch}.buildinfo
"Source: garden-count
Version: ${VERSION}
Commit: ${COMMIT}
Architecture: ${arch}
Build-Type: ${CONFIG}
SOURCE_DATE_EPOCH: ${epoch} (${date})
Compiler: ${CXX_ID} ${CXX_VERSION}, from ${compiler_package}
C++-Library: ${cxx_library}
C-Library: ${c_library}
CMake: ${CMAKE_VERSION}
Installed-Build-Depends:
 ${installed}
")

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
message(STATUS "release: ${names} and SHA256SUMS in ${RELEASE_DIR}, from commit ${COMMIT}, "
               "dated ${epoch}")
