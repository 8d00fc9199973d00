# The bundle's node from the Node.js project's archives given to the build
# (cmake/MacOSNode.cmake), with stand-ins: archives laid out and named as the pinned
# release's, each holding one slice of the built agent as its node, and a table of their
# own sums in place of the pinned one. The two make one universal node; an archive whose
# SHA-256 is not the table's, one holding the other architecture, or one missing from the
# folder given stops the build.
#   cmake -DAPP=build/macos/ShadeLedgerZizadezavav.app -P tests/macos/node_archives_test.cmake
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/MacOSNode.cmake)
find_program(SL_LIPO NAMES llvm-lipo-14 llvm-lipo lipo REQUIRED)

if(DEFINED TABLE)
  # One case, run as a cmake of its own: a refusal ends it as it ends a build.
  string(REPLACE "|" ";" SL_NODE_RELEASE_BUILDS "${TABLE}")
  set(SL_NODE_ARCHIVES ${ARCHIVES})
  set(SL_DOWNLOAD_DIR ${DOWNLOADS})
  set(SL_NODE_DIST "")
  sl_macos_node()
  execute_process(COMMAND ${SL_LIPO} -archs ${SL_BUNDLED_NODE} OUTPUT_VARIABLE archs
    OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  message(STATUS "node for: ${archs}; licence: ${SL_BUNDLED_NODE_LICENSE}")
  return()
endif()

if(NOT IS_DIRECTORY "${APP}")
  message(FATAL_ERROR "APP names no built app: '${APP}'")
endif()
get_filename_component(work ${APP}/../node-archives-test ABSOLUTE)
file(REMOVE_RECURSE ${work})
set(archives ${work}/archives)
file(MAKE_DIRECTORY ${archives} ${work}/one)

# The pinned table's archive names, holding the agent's slices.
set(table "")
set(builds ${SL_NODE_RELEASE_BUILDS})
while(builds)
  list(POP_FRONT builds arch name)
  list(POP_FRONT builds)
  string(REGEX REPLACE "\\.tar\\.xz$" "" base ${name})
  file(MAKE_DIRECTORY ${work}/stage/${base}/bin)
  execute_process(COMMAND ${SL_LIPO} ${APP}/Contents/MacOS/ShadeLedgerZizadezavav -thin ${arch}
    -output ${work}/stage/${base}/bin/node COMMAND_ERROR_IS_FATAL ANY)
  file(WRITE ${work}/stage/${base}/LICENSE "stand-in licence\n")
  execute_process(COMMAND ${CMAKE_COMMAND} -E tar cJf ${archives}/${name} ${base}
    WORKING_DIRECTORY ${work}/stage COMMAND_ERROR_IS_FATAL ANY)
  file(SHA256 ${archives}/${name} sum)
  list(APPEND table ${arch} ${name} ${sum})
  set(last ${name})
endwhile()
file(COPY ${archives}/${last} DESTINATION ${work}/one)

list(GET table 2 firstSum)
list(GET table 5 secondSum)
set(tampered ${table})
list(TRANSFORM tampered REPLACE "^${firstSum}$" "${secondSum}")
set(swapped ${table})
list(TRANSFORM swapped REPLACE "^arm64$" "swap")
list(TRANSFORM swapped REPLACE "^x86_64$" "arm64")
list(TRANSFORM swapped REPLACE "^swap$" "x86_64")

# Case: table, folder given, what the output must hold, whether the build goes on.
set(cases
  "both archives as their sums" table archives "node for: (x86_64 arm64|arm64 x86_64)\;" 0
  "an archive that is not as its sum" tampered archives "is not the Node.js project's build" 1
  "an archive of the other architecture" swapped archives "holds no (arm64|x86_64) node" 1
  "the folder given lacks an archive" table one "lacks node-v" 1)
set(problems 0)
set(number 0)
while(cases)
  list(POP_FRONT cases what tableName folder expected status)
  math(EXPR number "${number} + 1")
  string(REPLACE ";" "|" given "${${tableName}}")
  execute_process(COMMAND ${CMAKE_COMMAND} -DTABLE=${given} -DARCHIVES=${work}/${folder}
    -DDOWNLOADS=${work}/downloads-${number} -P ${CMAKE_CURRENT_LIST_FILE}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  string(REGEX REPLACE "[ \n]+" " " said "${output}")
  if(NOT result EQUAL status OR NOT said MATCHES "${expected}")
    message(SEND_ERROR "${what}: exit ${result}, not ${status}, or no '${expected}' in:\n${output}")
    math(EXPR problems "${problems} + 1")
  else()
    message(STATUS "ok: ${what}")
  endif()
endwhile()
file(REMOVE_RECURSE ${work})
if(problems)
  message(FATAL_ERROR "${problems} case(s) failed")
endif()
