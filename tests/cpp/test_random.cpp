// Random source: ChaCha blocks, seed expansion, draw rule, ThreadRng rekeying
// and the normal rule. Golden values come from published ChaCha vectors and
// from tests/reference/chacha_ref.py.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

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

TEST(ChachaBlock, MatchesPublishedZeroKeyVectors) {
    struct Case { int double_rounds; std::array<std::uint32_t, 8> first_words; };
    const Case cases[] = {
        {4, {0x2fef003e, 0xd6405f89, 0xe8b85b7f, 0xa1a5091f, 0xc30e842c, 0x3b7f9ace, 0x88e11b18, 0x1e1a71ef}},
        {6, {0x6a9af49b, 0x53f95507, 0x12ce1f81, 0xd583265f, 0xbbc32904, 0x1474e049, 0xa589007e, 0x5f15ae2e}},
    };
    for (const auto& c : cases) {
        const Block block = scalar_block(ChachaKey{}, 0, c.double_rounds);
        EXPECT_TRUE(std::equal(c.first_words.begin(), c.first_words.end(), block.begin())) << c.double_rounds;
    }
}

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

// ---------------------------------------------------------------- SeededRng

TEST(SeededRng, Pcg32KeyAndFirstRawValues) {
    EXPECT_EQ(pcg32_key(0), (ChachaKey{0xf973f2ec, 0x45cdb581, 0x7346f087, 0xad6cad06, 0xe3a3d0d0, 0x67e71733,
                                       0x72ea9bf2, 0xfe7d8ad7}));
    EXPECT_EQ(pcg32_key(42), (ChachaKey{0x7ba18fa4, 0x0a3d3258, 0xcca1b8ea, 0xb8140169, 0x75c88c2b, 0x54f7b418,
                                        0xa16e448d, 0xf220dfe4}));
    // Word 1 << 32 | word 0 of ChaCha8 block 0.
    SeededRng rng(0);
    EXPECT_EQ(rng.next_u64(), 0xb585f767a79a3b6cULL);
    EXPECT_EQ(rng.next_u64(), 0x7746a55fbad8c037ULL);
}

// Draw numbers are 1-based: 33 is the first of the second refill, 129 the first
// of the fifth, 8193 past where a ThreadRng would rekey (a SeededRng never does).
TEST(SeededRng, UniformDrawsMatchReference) {
    struct Case { std::uint64_t seed; int draw; double value; };
    const Case cases[] = {
        {0, 1, 0.7090754154265618},     {0, 33, 0.4013034735868243},    {0, 8193, 0.2038073310272448},
        {42, 1, 0.6818961923066714},    {42, 2, 0.950275407672484},     {42, 32, 0.09984171643465789},
        {42, 33, 0.20263580146391214},  {42, 129, 0.6126071145235644},  {42, 1000, 0.2663086565147341},
        {42, 8192, 0.27446900608912117}, {42, 8193, 0.4217327897468206},
    };
    for (const std::uint64_t seed : {0, 42}) {
        SeededRng rng(seed);
        int drawn = 0;
        double value = 0.0;
        for (const auto& c : cases) {
            if (c.seed != seed) continue;
            for (; drawn < c.draw; ++drawn) value = uniform(rng);
            EXPECT_EQ(value, c.value) << "seed " << seed << ", draw " << c.draw;
        }
    }
}

// ---------------------------------------------------------------- normal rule

TEST(NormalRule, FormulaOnGivenUniformsAndSeededStream) {
    struct Case { double u1, u2, z; };
    const Case cases[] = {
        {0.0, 0.0, 37.169221888498384},       // u1 clamped to 1e-300
        {0.0, 0.3, -11.485921231239274},
        {0x1.0p-53, 0.0, 8.571674348652905},  // the smallest nonzero draw is not clamped
        {0.75, 0.5, -0.7585276164409321},
    };
    for (const auto& c : cases) EXPECT_EQ(normal_from_uniforms(c.u1, c.u2), c.z) << c.u1 << ", " << c.u2;
    // u1 is drawn before u2, two uniforms per normal.
    SeededRng rng(42);
    for (const double z : {0.832712158318141, -0.9080526709984266, 0.9269949187990786})
        EXPECT_EQ(standard_normal(rng), z);
    EXPECT_EQ(uniform(rng), 0.30804055959790966);
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
    for (int w = 0; w < 8; ++w) {
        for (int b = 3; b >= 0; --b) key[w] = key[w] << 8 | static_cast<std::uint8_t>(32 * call + 4 * w + b);
    }
    return key;
}

std::uint64_t raw_value(const Block& block, int pair) {
    return block[2 * pair] | static_cast<std::uint64_t>(block[2 * pair + 1]) << 32;
}

class InjectedThreadRng : public testing::Test {
protected:
    void SetUp() override {
        entropy_calls = 0;
        fail_from = 1 << 30;
    }
};

// ChaCha12 blocks 0..1023 of the first key (bytes read as little-endian
// words), then the refill that would compute block 1024 fetches a new key and
// starts again at block 0.
TEST_F(InjectedThreadRng, RekeysExactlyWhenBlock1024WouldBeComputed) {
    ASSERT_EQ(key_of_call(0), byte_ramp_key);
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
TEST_F(InjectedThreadRng, EntropyFailuresPanicAndTheRekeyIsRetried) {
    fail_from = 0;
    EXPECT_EQ(panic_of([] { ThreadRng rng(counting_source); }),
              "could not initialize ThreadRng: entropy pool unavailable");
    entropy_calls = 0;
    fail_from = 1;
    ThreadRng rng(counting_source);
    for (int i = 0; i < 8192; ++i) rng.next_u64();
    EXPECT_EQ(panic_of([&] { rng.next_u64(); }), "could not reseed ThreadRng: entropy pool unavailable");
    fail_from = 1 << 30;
    EXPECT_EQ(rng.next_u64(), raw_value(scalar_block(key_of_call(2), 0, 6), 0));
}

TEST_F(InjectedThreadRng, RekeyBeforeNextDrawDiscardsTheBuffer) {
    for (const int draws_before : {0, 1, 32}) {
        SCOPED_TRACE(draws_before);
        entropy_calls = 0;
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

TEST(ThreadRngCurrent, OnePerThread) {
    ThreadRng* main_rng = &ThreadRng::current();
    EXPECT_EQ(&ThreadRng::current(), main_rng);
    ThreadRng* other_rng = nullptr;
    std::uint64_t other_first = 0;
    std::thread([&] {
        other_rng = &ThreadRng::current();
        other_first = other_rng->next_u64();
    }).join();
    EXPECT_NE(other_rng, main_rng);
    // Independent OS keys (neither thread has drawn before): equal values would be a 2^-64 coincidence.
    EXPECT_NE(ThreadRng::current().next_u64(), other_first);
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
