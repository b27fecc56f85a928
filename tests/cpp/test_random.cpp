// Random source: ChaCha12 blocks and the vector kernels, ThreadRng rekeying and
// the normal rule. Golden values come from tests/reference/chacha_ref.py, which
// the Python tests check against published vectors; seeded (ChaCha8) streams
// are compared with it draw by draw there.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <string>

#include "error.hpp"
#include "random/chacha.hpp"
#include "random/rng.hpp"

namespace drovik {
namespace {

using Block = std::array<std::uint32_t, 16>;

Block scalar_block(const ChachaKey& key, std::uint64_t counter, int double_rounds) {
    Block out{};
    chacha_block_scalar(key, counter, double_rounds, out.data());
    return out;
}

// Key bytes 0x00, 0x01, ..., 0x1f read as little-endian words.
constexpr ChachaKey byte_ramp_key = {0x03020100, 0x07060504, 0x0b0a0908, 0x0f0e0d0c,
                                     0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c};

// ---------------------------------------------------------------- block function

// Key words and counter in their places: ChaCha12 block 0 of the byte-ramp key.
TEST(ChachaBlock, MatchesReferenceBlock) {
    EXPECT_EQ(scalar_block(byte_ramp_key, 0, 6),
              (Block{0xfff931f2, 0x5ec67ad1, 0x25f30544, 0xaa40e9d7, 0x1f601349, 0xbc46bec2, 0xc3cac3e9, 0x361a1ad9,
                     0x08b34059, 0x9f7c85c2, 0x54e2d629, 0x9ad42885, 0x0a1b2b61, 0x165d76e6, 0xfbae85e5, 0x79883646}));
}

// Every vector implementation the machine can run, and the one picked at
// startup, against four scalar blocks; lanes carry into the high counter word
// or wrap around 2^64.
TEST(ChachaBlock, FourBlockVersionsMatchScalarBlocks) {
    for (const int double_rounds : {4, 6}) {
        for (const std::uint64_t counter : {0x0ull, 0xfffffffdull, 0xfffffffffffffffeull}) {
            SCOPED_TRACE(testing::Message() << double_rounds << " double rounds, counter " << counter);
            std::array<std::uint32_t, 64> expected{}, got{};
            for (std::uint64_t b = 0; b < 4; ++b)
                chacha_block_scalar(byte_ramp_key, counter + b, double_rounds, expected.data() + 16 * b);
            chacha_blocks4(byte_ramp_key, counter, double_rounds, got.data());
            EXPECT_EQ(got, expected) << "selected kernel";
            for (const ChachaKernel kernel : {ChachaKernel::sse2, ChachaKernel::avx2, ChachaKernel::avx512vl}) {
                if (!chacha_kernel_supported(kernel)) continue;
                got.fill(0);
                chacha_blocks4_using(kernel, byte_ramp_key, counter, double_rounds, got.data());
                EXPECT_EQ(got, expected) << "kernel " << static_cast<int>(kernel);
            }
        }
    }
}

// ---------------------------------------------------------------- normal rule

// Seeded normals (u1 drawn before u2) are replayed by the Python copula tests; the clamp
// at u1 = 0 is never drawn there.
TEST(NormalRule, FormulaOnGivenUniforms) {
    struct Case { double u1, u2, z; };
    const Case cases[] = {
        {0.0, 0.0, 37.169221888498384},       // u1 clamped to 1e-300
        {0.0, 0.3, -11.485921231239274},
        {0x1.0p-53, 0.0, 8.571674348652905},  // the smallest nonzero draw is not clamped
    };
    for (const auto& c : cases) EXPECT_EQ(normal_from_uniforms(c.u1, c.u2), c.z) << c.u1 << ", " << c.u2;
}

// ---------------------------------------------------------------- ThreadRng

// Injected entropy: call n gives bytes 32n, 32n+1, ... (mod 256), so call 0
// gives the byte-ramp key. Calls from fail_from on fail.
int entropy_calls = 0;
int fail_from = 1 << 30;

std::expected<void, std::string> counting_source(std::span<std::uint8_t, 32> out) {
    const int call = entropy_calls++;
    if (call >= fail_from) return std::unexpected(std::string("entropy pool unavailable"));
    for (int i = 0; i < 32; ++i) out[i] = static_cast<std::uint8_t>(32 * call + i);
    return {};
}

ChachaKey key_of_call(int call) {
    ChachaKey key{};
    for (int i = 0; i < 32; ++i) key[i / 4] |= std::uint32_t{static_cast<std::uint8_t>(32 * call + i)} << 8 * (i % 4);
    return key;
}

std::uint64_t raw_value(const Block& block, int pair) {
    return block[2 * pair] | static_cast<std::uint64_t>(block[2 * pair + 1]) << 32;
}

void reset_source(int failing_from = 1 << 30) {
    entropy_calls = 0;
    fail_from = failing_from;
}

// ChaCha12 blocks 0..1023 of the first key (bytes read as little-endian
// words), then the refill that would compute block 1024 fetches a new key and
// starts again at block 0.
TEST(InjectedThreadRng, RekeysExactlyWhenBlock1024WouldBeComputed) {
    ASSERT_EQ(key_of_call(0), byte_ramp_key);
    reset_source();
    ThreadRng rng(counting_source);
    for (int call = 0; call < 2; ++call) {
        for (std::uint64_t block = 0; block < (call == 0 ? 1024u : 8u); ++block) {
            const Block expected = scalar_block(key_of_call(call), block, 6);
            for (int pair = 0; pair < 8; ++pair)
                ASSERT_EQ(rng.next_u64(), raw_value(expected, pair)) << "key " << call << ", block " << block;
            ASSERT_EQ(entropy_calls, call + 1);
            ASSERT_EQ(rng.block_counter(), (block / 4 + 1) * 4);
        }
    }
}

template <class F>
std::string panic_of(F f) {
    try {
        f();
    } catch (const Panic& e) {
        return e.what();
    }
    return "no panic";
}

// A failed reseed leaves the generator rekey-pending, so a later draw with the
// source working again rekeys instead of running on with the old key.
TEST(InjectedThreadRng, EntropyFailuresPanicAndTheRekeyIsRetried) {
    reset_source(0);
    EXPECT_EQ(panic_of([] { ThreadRng rng(counting_source); }),
              "could not initialize ThreadRng: entropy pool unavailable");
    reset_source(1);
    ThreadRng rng(counting_source);
    for (int i = 0; i < 8192; ++i) rng.next_u64();
    EXPECT_EQ(panic_of([&] { rng.next_u64(); }), "could not reseed ThreadRng: entropy pool unavailable");
    fail_from = 1 << 30;
    EXPECT_EQ(rng.next_u64(), raw_value(scalar_block(key_of_call(2), 0, 6), 0));
}

TEST(InjectedThreadRng, RekeyBeforeNextDrawDiscardsTheBuffer) {
    for (const int draws_before : {0, 1, 32}) {
        SCOPED_TRACE(draws_before);
        reset_source();
        ThreadRng rng(counting_source);
        for (int i = 0; i < draws_before; ++i) rng.next_u64();
        rng.rekey_before_next_draw();
        EXPECT_EQ(entropy_calls, 1);
        const Block expected = scalar_block(key_of_call(1), 0, 6);
        EXPECT_EQ(rng.next_u64(), raw_value(expected, 0));
        EXPECT_EQ(rng.next_u64(), raw_value(expected, 1));
        EXPECT_EQ(entropy_calls, 2);
        EXPECT_EQ(rng.block_counter(), 4u);
    }
}

// After fork() the child must not replay what the parent draws next.
TEST(ThreadRngCurrent, ForkedChildDoesNotReplayParentStream) {
    ThreadRng& rng = ThreadRng::current();
    rng.next_u64();  // leave a partly used buffer behind
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::uint64_t child[4];
        for (auto& v : child) v = ThreadRng::current().next_u64();
        _exit(write(fds[1], child, sizeof child) == static_cast<ssize_t>(sizeof child) ? 0 : 1);
    }
    close(fds[1]);
    std::uint64_t child[4] = {};
    ASSERT_EQ(read(fds[0], child, sizeof child), static_cast<ssize_t>(sizeof child));
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (const auto v : child) EXPECT_NE(rng.next_u64(), v);
}

}  // namespace
}  // namespace drovik
