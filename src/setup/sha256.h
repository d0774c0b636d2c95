#pragma once
// SHA-256, for the payload's self-check: the build stores the packet's digest beside it,
// and the installer refuses a packet whose bytes do not match. Uses the processor's SHA
// instructions where it has them (a few GB/s), a plain implementation otherwise.
#include <cstddef>
#include <cstdint>

namespace kelo {

inline constexpr size_t kSha256Size = 32;

void Sha256(const void* data, size_t size, uint8_t (&digest)[kSha256Size]);

// The plain implementation alone, whatever the processor, for tests to compare against.
void Sha256Portable(const void* data, size_t size, uint8_t (&digest)[kSha256Size]);

// Whether Sha256 takes the processor's path here.
bool Sha256UsesProcessor();

}  // namespace kelo
