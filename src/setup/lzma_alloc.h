#pragma once
// The allocator the LZMA decoder is given: the C++ heap, answering a failure with null (which
// the decoder reports as SZ_ERROR_MEM) rather than with a throw through C code.
#include <cstddef>
#include <new>

#include "LzmaDec.h"

namespace kelo {

inline void* LzmaAlloc(void*, size_t size) { return size ? ::operator new(size, std::nothrow) : nullptr; }
inline void LzmaFree(void*, void* address) { ::operator delete(address); }
inline ISzAlloc g_lzma_alloc = {LzmaAlloc, LzmaFree};

}  // namespace kelo
