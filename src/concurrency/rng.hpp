// Random numbers: ChaCha with 12 rounds. Each thread's generator (thread_rng) is keyed from
// the operating system's random source on its first draw and rekeyed from it after every
// 65,536 bytes of output. A seeded generator (tests) is deterministic and never rekeys.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace quillmarsh {

// The ChaCha block function over a full 16-word input state, `rounds` rounds (8, 12, 20).
std::array<std::uint32_t, 16> chacha_block(const std::array<std::uint32_t, 16>& input,
                                           int rounds) noexcept;

// Four consecutive blocks at once (block counters c, c+1, c+2, c+3 in words 12-13, the
// counter of `input` being c), laid out one after the other: the same 64 words as four calls
// of chacha_block, computed in vector registers.
std::array<std::uint32_t, 64> chacha_blocks4(const std::array<std::uint32_t, 16>& input,
                                             int rounds) noexcept;

class Rng {
 public:
  explicit Rng(std::uint64_t seed) noexcept;  // deterministic, never rekeys
  static Rng from_os();                       // keyed from the OS, rekeys every 64 KiB
  // The stream named by `path` under `seed`: each step keys a ChaCha block with the previous
  // key and takes its output as the next key, so streams of different paths are independent
  // and the same (seed, path) always gives the same numbers.
  static Rng derived(std::uint64_t seed, std::initializer_list<std::uint64_t> path) noexcept;

  std::uint32_t next_u32() noexcept {
    if (used_ >= 64) refill();
    return block_[used_++];
  }
  std::uint64_t next_u64() noexcept {
    const std::uint64_t lo = next_u32();
    const std::uint64_t hi = next_u32();
    return lo | (hi << 32);
  }
  // Uniform in [0, bound), without bias; bound must be > 0. Lemire's multiply-and-reject:
  // one multiplication in the common case.
  std::uint64_t below(std::uint64_t bound) noexcept {
    if (bound <= 0xFFFFFFFFull) {
      const auto b = static_cast<std::uint32_t>(bound);
      std::uint64_t m = std::uint64_t{next_u32()} * b;
      if (static_cast<std::uint32_t>(m) < b) m = below_u32_slow(b, m);
      return m >> 32;
    }
    return below_u64(bound);
  }

 private:
  Rng() = default;
  void refill() noexcept;
  // The rejection step of below() for a low half under the bound, and bounds beyond 32 bits.
  std::uint64_t below_u32_slow(std::uint32_t bound, std::uint64_t m) noexcept;
  std::uint64_t below_u64(std::uint64_t bound) noexcept;
  void rekey_from_os();
  std::array<std::uint32_t, 16> state_{};
  std::array<std::uint32_t, 64> block_{};  // four blocks of output
  unsigned used_ = 64;                     // words of block_ already handed out
  std::uint64_t bytes_since_key_ = 0;
  bool from_os_ = false;
};

// The calling thread's own generator, keyed on first use.
Rng& thread_rng();

// k distinct values drawn uniformly from 0..n-1 without replacement (k <= n), in draw order.
std::vector<std::uint64_t> sample_without_replacement(Rng& rng, std::uint64_t n, std::uint64_t k);

}  // namespace quillmarsh
