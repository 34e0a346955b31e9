# CivetWeb 1.15 compiled from Debian's source package into the build tree.
# Debian's prebuilt library loads OpenSSL 1.1 symbol names at run time and
# crashes under OpenSSL 3 on the first TLS connection, so we build it here,
# linked directly against OpenSSL 3. The unpacked source is cached in the
# build directory; nothing of it is committed.
set(CIVETWEB_CACHE ${CMAKE_BINARY_DIR}/_civetweb)
file(GLOB _cw_dirs LIST_DIRECTORIES true ${CIVETWEB_CACHE}/civetweb-1.15*)
if(NOT _cw_dirs)
  file(MAKE_DIRECTORY ${CIVETWEB_CACHE})
  message(STATUS "Fetching Debian's civetweb source package")
  execute_process(COMMAND apt-get source -qq civetweb=1.15+dfsg-4
                  WORKING_DIRECTORY ${CIVETWEB_CACHE}
                  RESULT_VARIABLE _cw_rc OUTPUT_QUIET)
  file(GLOB _cw_dirs LIST_DIRECTORIES true ${CIVETWEB_CACHE}/civetweb-1.15*)
  if(NOT _cw_rc EQUAL 0 OR NOT _cw_dirs)
    message(FATAL_ERROR "apt-get source civetweb failed; run scripts/install-deps.sh first")
  endif()
endif()
list(GET _cw_dirs 0 CIVETWEB_PRISTINE)

# Our changes to the library, as patches on a copy of its sources, applied in
# name order; the copy is made again whenever a patch is added or changes.
#   chunk-size.patch: the chunked body reader refuses a chunk size that the
#   signed 64-bit body counter cannot hold (7fffffffffffffff overflowed it, a
#   UBSan abort; in a plain build the body then never ended).
#   close-on-exec.patch: listening and accepted sockets and the files the
#   library opens (served files, stored uploads) are close-on-exec from
#   the moment they exist. The library marked them only after opening
#   (stored uploads not at all), while our workers start device commands.
#   dir-redirect.patch: the redirect of a directory URI to its "/" form takes
#   the URI's length after percent-decoding and dot-segment removal; the
#   length before (GET /%63ivetweb) read past the end of the heap copy.
#   form-nul.patch: the URL-encoded form reader refuses a body holding a raw
#   zero byte (it comes as %00); its string scans stopped there and looped
#   forever at full CPU, holding the worker for good (CVE-2025-9648).
#   form-percent.patch: the URL-encoded form reader ends a value at the end
#   of the body even when it ends in "%" or "%X" (title=a%%): the value
#   callback keeps such a tail back for the next read, which never came, and
#   the reader looped at full CPU for good, one worker per request.
#   form-reader.patch: the multipart reader scans for the boundary with
#   memchr instead of one memcmp per byte, and takes its buffer size from
#   MG_FORM_BUF_LEN. Together they made a 200 MB upload about twice as fast.
#   websocket-queue.patch: the WebSocket read loop also polls a descriptor
#   of ours and calls back on the connection's own worker when it is
#   readable and once a second (mg_set_websocket_service): what a client's
#   outbox holds is written on that one thread, beside its reads (over TLS
#   every write, as OpenSSL requires), and a client that stops reading
#   stalls nobody else. The same
#   hook refuses a frame over a length limit from its header, before any of
#   it is read into memory, and mg_get_client_socket gives the socket.
file(GLOB _cw_patches CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/civetweb-patches/*.patch)
list(SORT _cw_patches)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_cw_patches})
set(_cw_sum "")
foreach(_p IN LISTS _cw_patches)
  file(MD5 ${_p} _md5)
  string(APPEND _cw_sum "${_md5}\n")
endforeach()
set(CIVETWEB_SRC ${CIVETWEB_CACHE}/patched)
set(_cw_stamp ${CIVETWEB_SRC}/.patches)
set(_cw_old "")
if(EXISTS ${_cw_stamp})
  file(READ ${_cw_stamp} _cw_old)
endif()
if(NOT _cw_old STREQUAL _cw_sum)
  file(REMOVE_RECURSE ${CIVETWEB_SRC})
  file(COPY ${CIVETWEB_PRISTINE}/src ${CIVETWEB_PRISTINE}/include DESTINATION ${CIVETWEB_SRC})
  foreach(_p IN LISTS _cw_patches)
    execute_process(COMMAND patch -p1 --quiet --no-backup-if-mismatch -i ${_p}
                    WORKING_DIRECTORY ${CIVETWEB_SRC} RESULT_VARIABLE _rc)
    if(NOT _rc EQUAL 0)
      message(FATAL_ERROR "civetweb: ${_p} does not apply")
    endif()
  endforeach()
  file(WRITE ${_cw_stamp} "${_cw_sum}")
endif()

add_library(civetweb STATIC ${CIVETWEB_SRC}/src/civetweb.c)
target_include_directories(civetweb SYSTEM PUBLIC ${CIVETWEB_SRC}/include)
target_compile_definitions(civetweb PRIVATE OPENSSL_API_3_0 NO_SSL_DL USE_WEBSOCKET NO_CGI)
# Our stop (mg_stop from the main thread) sets the library's stop flag while
# its threads poll it; by default that flag is a plain volatile int, a data
# race. With this option every access is atomic.
target_compile_definitions(civetweb PRIVATE STOP_FLAG_NEEDS_LOCK)
# 64 KiB per read of a form body, on the worker's stack for the request.
target_compile_definitions(civetweb PRIVATE MG_FORM_BUF_LEN=65536)
target_compile_definitions(civetweb PUBLIC OPENSSL_API_3_0 USE_WEBSOCKET)
# Third-party code: keep our own warning flags off it.
target_compile_options(civetweb PRIVATE -w)
set_target_properties(civetweb PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_link_libraries(civetweb PUBLIC OpenSSL::SSL OpenSSL::Crypto Threads::Threads ${CMAKE_DL_LIBS})
