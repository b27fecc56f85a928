// The ChaCha block function, four consecutive blocks at a time.
#pragma once

#include <array>
#include <cstdint>

namespace drovik {

using ChachaKey = std::array<std::uint32_t, 8>;

inline constexpr int chacha_words_per_refill = 64;  // four 16-word blocks

// Writes the blocks with counters counter .. counter+3 (stream 0), each the
// state after `double_rounds` double rounds added to the input state, in
// keystream order: out[0..15] is block `counter`, out[16..31] the next, ...
void chacha_blocks4(const ChachaKey& key, std::uint64_t counter, int double_rounds,
                    std::uint32_t* out);

// Straightforward one-block reference, used by the tests against chacha_blocks4.
void chacha_block_scalar(const ChachaKey& key, std::uint64_t counter, int double_rounds,
                         std::uint32_t* out);

// The vector implementations chacha_blocks4 chooses from, once, by what the
// processor supports. Named so that the tests can check every one the machine
// can run, not only the one it picks.
enum class ChachaKernel : std::uint8_t { sse2, avx2, avx512vl };

bool chacha_kernel_supported(ChachaKernel kernel);

// chacha_blocks4 with a given implementation; the kernel must be supported.
void chacha_blocks4_using(ChachaKernel kernel, const ChachaKey& key, std::uint64_t counter,
                          int double_rounds, std::uint32_t* out);

}  // namespace drovik
