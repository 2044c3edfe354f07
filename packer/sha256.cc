#include "sha256.h"

#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace pack {
namespace {

constexpr uint32_t kRounds[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t Rotr(uint32_t x, int n) { return x >> n | x << (32 - n); }
uint32_t Rotl(uint32_t x, int n) { return x << n | x >> (32 - n); }
uint32_t Big32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// The Merkle-Damgard frame both digests share: 64-byte blocks, then a 0x80 byte, zeros and the
// length in bits, big-endian.
template <typename Digest>
void Fold(Digest& digest, uint8_t* pending, size_t& pending_size, uint64_t& length,
          const void* data, size_t count) {
  const uint8_t* in = static_cast<const uint8_t*>(data);
  length += count;
  if (pending_size != 0) {
    const size_t take = count < 64 - pending_size ? count : 64 - pending_size;
    std::memcpy(pending + pending_size, in, take);
    pending_size += take;
    in += take;
    count -= take;
    if (pending_size < 64) return;
    digest.Blocks(pending, 1);
    pending_size = 0;
  }
  if (count >= 64) digest.Blocks(in, count / 64);
  in += count / 64 * 64;
  count %= 64;
  std::memcpy(pending, in, count);
  pending_size = count;
}

template <typename Digest>
void Pad(Digest& digest, uint64_t length) {
  uint8_t tail[72] = {0x80};
  const size_t used = length % 64;
  const size_t zeros = (used < 56 ? 56 - used : 120 - used);
  const uint64_t bits = length * 8;
  for (int i = 0; i < 8; ++i) tail[zeros + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  digest.Update(tail, zeros + 8);
}

template <size_t N>
std::array<uint8_t, 4 * N> BigEndian(const uint32_t (&state)[N]) {
  std::array<uint8_t, 4 * N> out;
  for (size_t i = 0; i < 4 * N; ++i) out[i] = static_cast<uint8_t>(state[i / 4] >> (24 - 8 * (i % 4)));
  return out;
}

#if defined(__x86_64__)
// The processor's SHA extensions run the rounds about seven times as fast as the plain code: the
// digest of a large installer is read at the speed of the page cache. The state is kept as the
// instructions want it, ABEF and CDGH, across all the blocks of one call.
__attribute__((target("sha,sse4.1"))) void ExtendedBlocks(uint32_t* state, const uint8_t* data,
                                                           size_t blocks) {
  const __m128i big_endian = _mm_set_epi64x(0x0c0d0e0f08090a0bll, 0x0405060700010203ll);
  const __m128i dcba = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<__m128i*>(state)), 0xB1);
  const __m128i efgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<__m128i*>(state + 4)), 0x1B);
  __m128i abef = _mm_alignr_epi8(dcba, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, dcba, 0xF0);
  for (; blocks > 0; --blocks, data += 64) {
    const __m128i abef_before = abef, cdgh_before = cdgh;
    __m128i w[4];
#pragma GCC unroll 16
    for (int i = 0; i < 16; ++i) {
      if (i < 4) {
        w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)),
                                big_endian);
      } else {
        // W[t-16] + s0(W[t-15]), + W[t-7], + s1(W[t-2]): four words of the schedule at a time.
        const __m128i early = _mm_sha256msg1_epu32(w[i & 3], w[(i + 1) & 3]);
        const __m128i late = _mm_alignr_epi8(w[(i + 3) & 3], w[(i + 2) & 3], 4);
        w[i & 3] = _mm_sha256msg2_epu32(_mm_add_epi32(early, late), w[(i + 3) & 3]);
      }
      __m128i message = _mm_add_epi32(
          w[i & 3], _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRounds + 4 * i)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
      message = _mm_shuffle_epi32(message, 0x0E);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
    }
    abef = _mm_add_epi32(abef, abef_before);
    cdgh = _mm_add_epi32(cdgh, cdgh_before);
  }
  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

bool HasExtensions() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const bool sse = (c & bit_SSSE3) && (c & bit_SSE4_1);
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  return sse && (b & bit_SHA);
}
#endif

}  // namespace

bool Sha256::extended_ = Sha256::Extensions();

bool Sha256::Extensions() {
#if defined(__x86_64__)
  return HasExtensions();
#else
  return false;
#endif
}

void Sha256::UseExtensions(bool use) { extended_ = use && Extensions(); }

Sha256::Sha256()
    : state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab,
             0x5be0cd19} {}

void Sha256::Update(const void* data, size_t count) {
  Fold(*this, pending_, pending_size_, length_, data, count);
}

void Sha256::Blocks(const uint8_t* data, size_t blocks) {
#if defined(__x86_64__)
  if (extended_) return ExtendedBlocks(state_, data, blocks);
#endif
  for (; blocks > 0; --blocks, data += 64) Block(data);
}

void Sha256::Block(const uint8_t* block) {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i) w[i] = Big32(block + 4 * i);
  for (int i = 16; i < 64; ++i) {
    const uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3], e = state_[4],
           f = state_[5], g = state_[6], h = state_[7];
  for (int i = 0; i < 64; ++i) {
    const uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) +
                        kRounds[i] + w[i];
    const uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
  }
  state_[0] += a, state_[1] += b, state_[2] += c, state_[3] += d;
  state_[4] += e, state_[5] += f, state_[6] += g, state_[7] += h;
}

std::array<uint8_t, Sha256::kSize> Sha256::Finish() {
  Pad(*this, length_);
  return BigEndian(state_);
}

Sha1::Sha1() : state_{0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0} {}

void Sha1::Update(const void* data, size_t count) {
  Fold(*this, pending_, pending_size_, length_, data, count);
}

void Sha1::Blocks(const uint8_t* data, size_t blocks) {
  for (; blocks > 0; --blocks, data += 64) Block(data);
}

void Sha1::Block(const uint8_t* block) {
  uint32_t w[80];
  for (int i = 0; i < 16; ++i) w[i] = Big32(block + 4 * i);
  for (int i = 16; i < 80; ++i) w[i] = Rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3], e = state_[4];
  for (int i = 0; i < 80; ++i) {
    uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d), k = 0x5A827999;
    } else if (i < 40) {
      f = b ^ c ^ d, k = 0x6ED9EBA1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d, k = 0xCA62C1D6;
    }
    const uint32_t t = Rotl(a, 5) + f + e + k + w[i];
    e = d, d = c, c = Rotl(b, 30), b = a, a = t;
  }
  state_[0] += a, state_[1] += b, state_[2] += c, state_[3] += d, state_[4] += e;
}

std::array<uint8_t, Sha1::kSize> Sha1::Finish() {
  Pad(*this, length_);
  return BigEndian(state_);
}

std::string HexText(const uint8_t* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 15];
  }
  return text;
}

}  // namespace pack
