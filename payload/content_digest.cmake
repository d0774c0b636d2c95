# Writes OUT with a digest of every file below DIR, by name and bytes, and of every folder by
# name (linked folders entered, as the staging copy enters them), and only when it differs
# from what OUT holds.
# The packing step depends on OUT: a payload file replaced by one with the same name and an
# older time (unpacked or copied with its times kept) repacks as surely as one edited.
#   cmake -DDIR=folder -DOUT=file -P content_digest.cmake
cmake_policy(VERSION 3.25)
# The folder's own name is no pattern: "[rc1]" in it would match nothing, and the digest of
# nothing never changes.
string(REGEX REPLACE "([[*?])" "[\\1]" dir_pattern "${DIR}")
file(GLOB_RECURSE files FOLLOW_SYMLINKS LIST_DIRECTORIES true "${dir_pattern}/*")
list(SORT files)
set(listing "")
foreach(file IN LISTS files)
  # A list splits a name at its ';' (or joins names at an unbalanced '[' or ']' or a final '\')
  # into names of files that are not there.
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "a payload file name below ${DIR} holds ';', an unbalanced '[' or ']' or a final '\\', which "
                        "the build cannot carry (near ${file})")
  endif()
  file(RELATIVE_PATH name "${DIR}" "${file}")
  # A folder added empty must reach the packer too, which refuses it.
  if(IS_DIRECTORY "${file}")
    string(APPEND listing "folder ${name}\n")
  else()
    file(SHA256 "${file}" hash)
    string(APPEND listing "${hash} ${name}\n")
  endif()
endforeach()
string(SHA256 digest "${listing}")
if(EXISTS "${OUT}")
  file(READ "${OUT}" before)
  if(before STREQUAL "${digest}\n")
    return()
  endif()
endif()
file(WRITE "${OUT}" "${digest}\n")
