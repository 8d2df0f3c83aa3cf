// ChaCha12 generator: 256-bit key and 64-bit nonce in the state, 64-bit block counter.
#include "concurrency/rng.hpp"

#include <sys/random.h>

#include <cerrno>
#include <system_error>
#include <unordered_set>

#include "common/panic.hpp"

namespace quillmarsh {
namespace {

// Four 32-bit lanes: lane j works on block counter c + j.
typedef std::uint32_t Lanes __attribute__((vector_size(16)));

// W is one 32-bit word (one block at a time) or Lanes (four blocks side by side).
template <class W>
inline W rotl(W v, int n) noexcept {
  return (v << n) | (v >> (32 - n));
}

template <class W>
inline void quarter_round(W* x, std::size_t a, std::size_t b, std::size_t c,
                          std::size_t d) noexcept {
  x[a] += x[b];
  x[d] ^= x[a];
  x[d] = rotl(x[d], 16);
  x[c] += x[d];
  x[b] ^= x[c];
  x[b] = rotl(x[b], 12);
  x[a] += x[b];
  x[d] ^= x[a];
  x[d] = rotl(x[d], 8);
  x[c] += x[d];
  x[b] ^= x[c];
  x[b] = rotl(x[b], 7);
}

template <class W>
inline void chacha_rounds(W* x, int rounds) noexcept {
  for (int r = 0; r < rounds; r += 2) {
    quarter_round(x, 0, 4, 8, 12);
    quarter_round(x, 1, 5, 9, 13);
    quarter_round(x, 2, 6, 10, 14);
    quarter_round(x, 3, 7, 11, 15);
    quarter_round(x, 0, 5, 10, 15);
    quarter_round(x, 1, 6, 11, 12);
    quarter_round(x, 2, 7, 8, 13);
    quarter_round(x, 3, 4, 9, 14);
  }
}

constexpr std::array<std::uint32_t, 4> kSigma = {0x61707865, 0x3320646e, 0x79622d32,
                                                 0x6b206574};  // "expand 32-byte k"
constexpr int kRounds = 12;
constexpr std::uint64_t kRekeyBytes = 65536;

std::uint64_t splitmix64(std::uint64_t& s) noexcept {
  std::uint64_t z = (s += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

std::array<std::uint32_t, 16> chacha_block(const std::array<std::uint32_t, 16>& input,
                                           int rounds) noexcept {
  std::array<std::uint32_t, 16> x = input;
  chacha_rounds(x.data(), rounds);
  for (std::size_t i = 0; i < 16; ++i) x[i] += input[i];
  return x;
}

std::array<std::uint32_t, 64> chacha_blocks4(const std::array<std::uint32_t, 16>& input,
                                             int rounds) noexcept {
  Lanes start[16];
  for (std::size_t i = 0; i < 16; ++i) start[i] = Lanes{input[i], input[i], input[i], input[i]};
  // The 64-bit counter of lane j is input's counter plus j, carried into word 13.
  const std::uint64_t counter = std::uint64_t{input[13]} << 32 | input[12];
  for (std::uint32_t j = 0; j < 4; ++j) {
    start[12][j] = static_cast<std::uint32_t>(counter + j);
    start[13][j] = static_cast<std::uint32_t>((counter + j) >> 32);
  }
  Lanes x[16];
  for (std::size_t i = 0; i < 16; ++i) x[i] = start[i];
  chacha_rounds(x, rounds);
  std::array<std::uint32_t, 64> out;
  for (std::size_t i = 0; i < 16; ++i) {
    const Lanes v = x[i] + start[i];
    for (std::size_t j = 0; j < 4; ++j) out[16 * j + i] = v[j];
  }
  return out;
}

Rng::Rng(std::uint64_t seed) noexcept {
  for (std::size_t i = 0; i < 4; ++i) state_[i] = kSigma[i];
  for (std::size_t i = 4; i < 12; i += 2) {
    const std::uint64_t w = splitmix64(seed);
    state_[i] = static_cast<std::uint32_t>(w);
    state_[i + 1] = static_cast<std::uint32_t>(w >> 32);
  }
  // words 12-13: block counter, 14-15: nonce, all zero
}

Rng Rng::derived(std::uint64_t seed, std::initializer_list<std::uint64_t> path) noexcept {
  Rng rng(seed);
  std::uint32_t level = 0;
  for (const std::uint64_t step : path) {
    std::array<std::uint32_t, 16> input = rng.state_;
    input[12] = static_cast<std::uint32_t>(step);
    input[13] = static_cast<std::uint32_t>(step >> 32);
    input[14] = level++;
    input[15] = 0x70617468;  // keeps derived keys apart from any block of a seeded stream
    const std::array<std::uint32_t, 16> block = chacha_block(input, 12);
    for (std::size_t i = 0; i < 8; ++i) rng.state_[4 + i] = block[i];
  }
  return rng;
}

Rng Rng::from_os() {
  Rng rng;
  rng.from_os_ = true;
  rng.rekey_from_os();
  return rng;
}

void Rng::rekey_from_os() {
  std::array<std::uint32_t, 10> fresh{};  // 8 key words and 2 nonce words
  auto* p = reinterpret_cast<unsigned char*>(fresh.data());
  std::size_t left = sizeof(fresh);
  while (left > 0) {
    const ssize_t n = ::getrandom(p, left, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      panic("the operating system's random source failed: " +
            std::error_code(errno, std::system_category()).message());
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  for (std::size_t i = 0; i < 4; ++i) state_[i] = kSigma[i];
  for (std::size_t i = 0; i < 8; ++i) state_[4 + i] = fresh[i];
  state_[12] = 0;
  state_[13] = 0;
  state_[14] = fresh[8];
  state_[15] = fresh[9];
  bytes_since_key_ = 0;
  used_ = 64;
}

void Rng::refill() noexcept {
  if (from_os_ && bytes_since_key_ >= kRekeyBytes) {
    try {
      rekey_from_os();
    } catch (...) {
      // Keep the current key stream; it stays a ChaCha stream, only without fresh entropy.
      bytes_since_key_ = 0;
    }
  }
  block_ = chacha_blocks4(state_, kRounds);
  const std::uint64_t counter = (std::uint64_t{state_[13]} << 32 | state_[12]) + 4;
  state_[12] = static_cast<std::uint32_t>(counter);
  state_[13] = static_cast<std::uint32_t>(counter >> 32);
  used_ = 0;
  bytes_since_key_ += sizeof(block_);
}

std::uint64_t Rng::below_u32_slow(std::uint32_t bound, std::uint64_t m) noexcept {
  const std::uint32_t threshold = static_cast<std::uint32_t>(-bound) % bound;
  auto low = static_cast<std::uint32_t>(m);
  while (low < threshold) {
    m = std::uint64_t{next_u32()} * bound;
    low = static_cast<std::uint32_t>(m);
  }
  return m;
}

std::uint64_t Rng::below_u64(std::uint64_t bound) noexcept {
  __extension__ using U128 = unsigned __int128;
  U128 m = static_cast<U128>(next_u64()) * bound;
  auto low = static_cast<std::uint64_t>(m);
  if (low < bound) {
    const std::uint64_t threshold = (0 - bound) % bound;
    while (low < threshold) {
      m = static_cast<U128>(next_u64()) * bound;
      low = static_cast<std::uint64_t>(m);
    }
  }
  return static_cast<std::uint64_t>(m >> 64);
}

Rng& thread_rng() {
  thread_local Rng rng = Rng::from_os();
  return rng;
}

std::vector<std::uint64_t> sample_without_replacement(Rng& rng, std::uint64_t n, std::uint64_t k) {
  std::vector<std::uint64_t> out;
  if (k > n) k = n;
  out.reserve(k);
  if (k == 0) return out;
  if (k * 4 >= n) {
    // Dense: partial Fisher-Yates over 0..n-1.
    std::vector<std::uint64_t> all(n);
    for (std::uint64_t i = 0; i < n; ++i) all[i] = i;
    for (std::uint64_t i = 0; i < k; ++i) {
      const std::uint64_t j = i + rng.below(n - i);
      std::swap(all[i], all[j]);
      out.push_back(all[i]);
    }
    return out;
  }
  // Sparse: rejection of repeats; expected draws below 4k/3.
  std::unordered_set<std::uint64_t> seen;
  seen.reserve(k * 2);
  while (out.size() < k) {
    const std::uint64_t v = rng.below(n);
    if (seen.insert(v).second) out.push_back(v);
  }
  return out;
}

}  // namespace quillmarsh
