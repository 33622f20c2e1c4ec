// The fuzzer's bytes, taken from the front a field at a time, as the peer's
// message they stand for; past the end every field reads 0.
#ifndef TUSAK_TESTS_FUZZ_BYTES_H
#define TUSAK_TESTS_FUZZ_BYTES_H

#include <cstddef>
#include <cstdint>
#include <cstring>

struct Bytes {
  const uint8_t *p;
  size_t n;
};

// A little-endian field of cb bytes (at most 4).
inline uint32_t Take(Bytes *b, int cb) {
  uint32_t v = 0;
  for (int i = 0; i < cb && b->n; ++i, --b->n) v |= uint32_t(*b->p++) << 8 * i;
  return v;
}

// cb bytes of what is left, over and over (zeros if nothing is).
inline void Fill(const Bytes &b, uint8_t *out, size_t cb) {
  if (!b.n) std::memset(out, 0, cb);
  for (size_t at = 0; b.n && at < cb; at += b.n)
    std::memcpy(out + at, b.p, cb - at < b.n ? cb - at : b.n);
}

#endif
