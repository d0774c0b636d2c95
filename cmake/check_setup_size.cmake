# Fails when the installer without its payload grows past what users should download:
#   cmake -DSETUP_EXE=... -DPACKET=... -DLIMIT_KB=600 -P check_setup_size.cmake
file(SIZE ${SETUP_EXE} exe_bytes)
file(SIZE ${PACKET} packet_bytes)
math(EXPR own_bytes "${exe_bytes} - ${packet_bytes}")
math(EXPR own_kb "(${own_bytes} + 1023) / 1024")
message("KeloSetup.exe without its payload: ${own_bytes} bytes (${own_kb} KB), limit ${LIMIT_KB} KB")
if(own_kb GREATER LIMIT_KB)
  message(FATAL_ERROR "KeloSetup.exe without its payload is ${own_kb} KB, over the ${LIMIT_KB} KB limit")
endif()
