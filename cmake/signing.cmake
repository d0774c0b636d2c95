# Authenticode signing of the programs users run, with scripts/sign.sh. Off unless a
# certificate is configured, at configure time, in the cache or the environment:
#   KELO_SIGN_PKCS12         certificate and private key (PKCS#12)
#   KELO_SIGN_PASSWORD_FILE  its password, on the first line
#   KELO_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp server (optional; needs the network)
# A signed file is no longer byte-reproducible (the signature carries its signing time), so
# scripts/repro-check.sh builds without these.
set(KELO_SIGN_PKCS12 "$ENV{KELO_SIGN_PKCS12}" CACHE FILEPATH "PKCS#12 file to sign the programs with; empty: nothing is signed")
set(KELO_SIGN_PASSWORD_FILE "$ENV{KELO_SIGN_PASSWORD_FILE}" CACHE FILEPATH "File whose first line is the PKCS#12 password")
set(KELO_SIGN_TIMESTAMP_URL "$ENV{KELO_SIGN_TIMESTAMP_URL}" CACHE STRING "RFC 3161 time-stamp server for the signatures; empty: none")

if(KELO_SIGN_PKCS12)
  find_program(KELO_OSSLSIGNCODE osslsigncode)
  if(NOT KELO_OSSLSIGNCODE)
    message(FATAL_ERROR "KELO_SIGN_PKCS12 is set but osslsigncode is missing (apt-get install osslsigncode)")
  endif()
  foreach(var KELO_SIGN_PKCS12 KELO_SIGN_PASSWORD_FILE)
    if(NOT ${var} OR NOT EXISTS "${${var}}")
      message(FATAL_ERROR "Signing is on but ${var} ('${${var}}') names no file")
    endif()
  endforeach()
  message(STATUS "Signing the programs with ${KELO_SIGN_PKCS12}")
endif()

# Signs TARGET's file in place as the last step of its link, when signing is on. The
# command line names the password file, never the password.
function(kelo_sign_after_build target)
  if(NOT KELO_SIGN_PKCS12)
    return()
  endif()
  set(timestamp "")
  if(KELO_SIGN_TIMESTAMP_URL)
    set(timestamp --timestamp ${KELO_SIGN_TIMESTAMP_URL})
  endif()
  # A certificate renewed at the same path signs anew: the program links again.
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${KELO_SIGN_PKCS12} ${KELO_SIGN_PASSWORD_FILE})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E env KELO_OSSLSIGNCODE=${KELO_OSSLSIGNCODE}
            ${PROJECT_SOURCE_DIR}/scripts/sign.sh ${timestamp} $<TARGET_FILE:${target}>
            ${KELO_SIGN_PKCS12} ${KELO_SIGN_PASSWORD_FILE}
    VERBATIM)
endfunction()
