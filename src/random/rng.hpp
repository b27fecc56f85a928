// Random source: ChaCha keystreams turned into uniform doubles.
//
// ThreadRng: ChaCha12, keyed from the OS entropy source, one per thread,
// rekeyed every 1024 blocks and in the child after fork().
// SeededRng: ChaCha8 keyed by the PCG32 expansion of a 64-bit seed, one per call.
// Both share ChachaRng, so every sampler is written once against it.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "random/chacha.hpp"

namespace drovik {

// Fills 32 bytes of key material, or describes why it could not.
using EntropySource = std::expected<void, std::string> (*)(std::span<std::uint8_t, 32>);

std::expected<void, std::string> os_entropy(std::span<std::uint8_t, 32> out);

class ChachaRng {
public:
    std::uint64_t next_u64() {
        if (position_ >= chacha_words_per_refill) refill();
        const std::uint64_t lo = buffer_[position_];
        const std::uint64_t hi = buffer_[position_ + 1];
        position_ += 2;
        return lo | (hi << 32);
    }

    std::uint64_t block_counter() const { return counter_; }

protected:
    ChachaRng(const ChachaKey& key, int double_rounds, EntropySource reseed)
        : key_(key), double_rounds_(double_rounds), reseed_(reseed) {}

    void discard_buffer_and_rekey_next() {
        position_ = chacha_words_per_refill;
        counter_ = rekey_after_blocks;
    }

private:
    static constexpr std::uint64_t rekey_after_blocks = 1024;

    void refill();

    alignas(64) std::array<std::uint32_t, chacha_words_per_refill> buffer_{};
    unsigned position_ = chacha_words_per_refill;  // == size: empty
    ChachaKey key_;
    std::uint64_t counter_ = 0;
    int double_rounds_;
    EntropySource reseed_;  // nullptr: never rekeyed
};

class SeededRng : public ChachaRng {
public:
    explicit SeededRng(std::uint64_t seed);
};

class ThreadRng : public ChachaRng {
public:
    // The calling thread's generator, created on first use. Throws Panic with
    // "could not initialize ThreadRng: ..." when the entropy source fails.
    static ThreadRng& current();

    // A generator of its own with an injected entropy source (tests).
    explicit ThreadRng(EntropySource source);

    // Drops the buffered keystream and forces a rekey at the next draw.
    void rekey_before_next_draw() { discard_buffer_and_rekey_next(); }
};

// PCG32 expansion of a seed into the eight ChaCha key words.
ChachaKey pcg32_key(std::uint64_t seed);

// Uniform double in [0, 1) on the 2^-53 grid; 0 can occur, 1 cannot.
inline double uniform(ChachaRng& rng) {
    return static_cast<double>(rng.next_u64() >> 11) * 0x1.0p-53;
}

// Box-Muller, cosine branch only: one normal per two uniforms, u1 drawn first.
double standard_normal(ChachaRng& rng);

// The normal rule on given uniforms; u1 is clamped to 1e-300 so that u1 == 0
// stays finite.
double normal_from_uniforms(double u1, double u2);

}  // namespace drovik
