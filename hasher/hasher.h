#pragma once

// The file hasher's single entry. It computes the BLAKE3 digest of every listed file in parallel
// and blocks until all of them are done. Files are read, never mapped. Nothing but digests and
// success flags comes back: a file that cannot be opened or read, or that changes while it is
// read, just keeps a zero slot and gets flag 0.

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// paths:      `count` NUL-terminated byte strings, handed to the operating system unchanged.
// out_hashes: `count` consecutive 32-byte slots; slot i receives the digest of file i.
// out_ok:     `count` bytes; byte i becomes 1 when file i was hashed, 0 when it was not.
// The caller zero-fills both output arrays. A count of 0 or less does nothing.
void hash_files(const char* const* paths, uint8_t* out_hashes, uint8_t* out_ok, int32_t count);

#ifdef __cplusplus
}
#endif
