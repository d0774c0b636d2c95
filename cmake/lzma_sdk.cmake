# The LZMA SDK's C sources, as Debian's lzma-dev ships them, compiled into our targets.
set(LZMA_SDK_DIR /usr/include/lzma CACHE PATH "Folder with the LZMA SDK C sources (LzmaDec.c ...)")
if(NOT EXISTS ${LZMA_SDK_DIR}/LzmaDec.c)
  message(FATAL_ERROR "LZMA SDK sources not found in ${LZMA_SDK_DIR}: install Debian's lzma-dev")
endif()
add_library(lzma_dec STATIC ${LZMA_SDK_DIR}/LzmaDec.c)
target_include_directories(lzma_dec SYSTEM PUBLIC ${LZMA_SDK_DIR})
# 32-bit probabilities decode the payload a few per cent faster on x86 than 16-bit ones
# (no partial-register updates in the range coder), for 16 KB more of decoder state. Public:
# it changes the decoder's structures that its callers hold.
target_compile_definitions(lzma_dec PUBLIC _LZMA_PROB32)
# The decoder is the installer's hot loop: optimised for speed even where the program as a
# whole is built for size (about 3 % faster than -Os, for a few KB).
target_compile_options(lzma_dec PRIVATE -O2)
# The encoder is only needed by the host packer and benchmarks; single-threaded match finder.
add_library(lzma_enc STATIC ${LZMA_SDK_DIR}/LzmaEnc.c ${LZMA_SDK_DIR}/LzFind.c)
target_include_directories(lzma_enc SYSTEM PUBLIC ${LZMA_SDK_DIR})
target_compile_definitions(lzma_enc PUBLIC _7ZIP_ST)
foreach(t lzma_dec lzma_enc)
  set_target_properties(${t} PROPERTIES POSITION_INDEPENDENT_CODE ON C_VISIBILITY_PRESET hidden)
  target_compile_options(${t} PRIVATE -w)
endforeach()
