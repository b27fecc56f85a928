#include "random/rng.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include "error.hpp"

namespace drovik {
namespace {

constexpr int thread_double_rounds = 6;  // ChaCha12
constexpr int seeded_double_rounds = 4;  // ChaCha8

std::expected<ChachaKey, std::string> fetch_key(EntropySource source) {
    std::array<std::uint8_t, 32> bytes{};
    if (auto fetched = source(bytes); !fetched) return std::unexpected(std::move(fetched.error()));
    ChachaKey key{};
    for (std::size_t i = 0; i < key.size(); ++i) {
        key[i] = static_cast<std::uint32_t>(bytes[4 * i]) |
                 static_cast<std::uint32_t>(bytes[4 * i + 1]) << 8 |
                 static_cast<std::uint32_t>(bytes[4 * i + 2]) << 16 |
                 static_cast<std::uint32_t>(bytes[4 * i + 3]) << 24;
    }
    return key;
}

ChachaKey initial_key(EntropySource source) {
    auto key = fetch_key(source);
    if (!key) panic_rng_init_failed(key.error());
    return *key;
}

// The calling thread's generator once created. A plain pointer with constant
// initialisation, so the fork handler can read it without running any
// thread_local initialiser in the child.
constinit thread_local ThreadRng* this_thread_rng = nullptr;

// Owns the generator and clears the pointer when the thread exits.
struct ThreadRngOwner {
    ThreadRng* rng = nullptr;
    ~ThreadRngOwner() {
        this_thread_rng = nullptr;
        delete rng;
    }
};

std::once_flag fork_handler_registered;

// A forked child starts with a copy of the parent's key, counter and buffer;
// without a rekey it would replay the draws the parent makes next. Only the
// forking thread survives in the child, so only its generator matters.
void rekey_in_child() {
    if (this_thread_rng != nullptr) this_thread_rng->rekey_before_next_draw();
}

}  // namespace

std::expected<void, std::string> os_entropy(std::span<std::uint8_t, 32> out) {
    if (getentropy(out.data(), out.size()) != 0) return std::unexpected(std::string(std::strerror(errno)));
    return {};
}

void ChachaRng::refill() {
    if (reseed_ != nullptr && counter_ >= rekey_after_blocks) {
        auto key = fetch_key(reseed_);
        if (!key) panic_rng_reseed_failed(key.error());
        key_ = *key;
        counter_ = 0;
    }
    chacha_blocks4(key_, counter_, double_rounds_, buffer_.data());
    counter_ += 4;
    position_ = 0;
}

ChachaKey pcg32_key(std::uint64_t seed) {
    constexpr std::uint64_t multiplier = 0x5851f42d4c957f2d;
    constexpr std::uint64_t increment = 0xa17654e46fbe17f3;
    std::uint64_t state = seed;
    ChachaKey key{};
    for (auto& word : key) {
        state = state * multiplier + increment;
        const auto x = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
        word = std::rotr(x, static_cast<int>(state >> 59));
    }
    return key;
}

SeededRng::SeededRng(std::uint64_t seed)
    : ChachaRng(pcg32_key(seed), seeded_double_rounds, nullptr) {}

ThreadRng::ThreadRng(EntropySource source)
    : ChachaRng(initial_key(source), thread_double_rounds, source) {}

ThreadRng& ThreadRng::current() {
    if (this_thread_rng != nullptr) return *this_thread_rng;
    std::call_once(fork_handler_registered, [] {
        // pthread_atfork fails only for lack of memory.
        if (pthread_atfork(nullptr, nullptr, rekey_in_child) != 0) throw std::bad_alloc();
    });
    thread_local ThreadRngOwner owner;
    owner.rng = new ThreadRng(os_entropy);
    this_thread_rng = owner.rng;
    return *owner.rng;
}

double normal_from_uniforms(double u1, double u2) {
    return std::sqrt(-2.0 * std::log(std::max(u1, 1e-300))) * std::cos(6.283185307179586 * u2);
}

double standard_normal(ChachaRng& rng) {
    const double u1 = uniform(rng);
    const double u2 = uniform(rng);
    return normal_from_uniforms(u1, u2);
}

}  // namespace drovik
