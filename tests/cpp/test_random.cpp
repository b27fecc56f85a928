// Random source: ChaCha keystreams, seed expansion, draw rule, ThreadRng
// rekeying and the normal rule. Golden values come from
// tests/reference/chacha_ref.py and from published ChaCha vectors.
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
    struct Case {
        int double_rounds;
        std::array<std::uint32_t, 8> first_words;
    };
    const Case cases[] = {
        {4, {0x2fef003e, 0xd6405f89, 0xe8b85b7f, 0xa1a5091f, 0xc30e842c, 0x3b7f9ace, 0x88e11b18, 0x1e1a71ef}},
        {6, {0x6a9af49b, 0x53f95507, 0x12ce1f81, 0xd583265f, 0xbbc32904, 0x1474e049, 0xa589007e, 0x5f15ae2e}},
        {10, {0xade0b876, 0x903df1a0, 0xe56a5d40, 0x28bd8653, 0xb819d2bd, 0x1aed8da0, 0xccef36a8, 0xc70d778b}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.double_rounds);
        const Block block = scalar_block(ChachaKey{}, 0, c.double_rounds);
        for (int i = 0; i < 8; ++i) EXPECT_EQ(block[i], c.first_words[i]) << "word " << i;
    }
}

// The high counter word is exercised by counter 2^32 - 1.
TEST(ChachaBlock, MatchesReferenceBlocks) {
    struct Case {
        int double_rounds;
        std::uint64_t counter;
        Block words;
    };
    const Case cases[] = {
        {4, 0, {0x8fb21540, 0x6aab126e, 0x7b66e8d9, 0x3312c531, 0x27178ff7, 0x4fd9b290, 0xd72e6b32, 0xcbbebcff,
                0x36ad9eff, 0x3bce895f, 0xbc55406f, 0xfd909d75, 0x271d838f, 0x93dfb0c7, 0x82edb9b3, 0xd656a238}},
        {4, 0xffffffff,
         {0x0a85395a, 0x610d4019, 0x9ff52c18, 0x81d0521a, 0xa7f89235, 0xf28bbbac, 0x50a35848, 0xc37f1d71,
          0x8c27b6a8, 0x8d702783, 0xf020d86f, 0x0020b153, 0x027c806c, 0xfa397bca, 0x730a50dc, 0x8379ba9f}},
        {6, 0, {0xfff931f2, 0x5ec67ad1, 0x25f30544, 0xaa40e9d7, 0x1f601349, 0xbc46bec2, 0xc3cac3e9, 0x361a1ad9,
                0x08b34059, 0x9f7c85c2, 0x54e2d629, 0x9ad42885, 0x0a1b2b61, 0x165d76e6, 0xfbae85e5, 0x79883646}},
        {6, 0xffffffff,
         {0x5b04700e, 0xd1060e1d, 0x9d497301, 0xc036aad9, 0xc93e979d, 0xf19bf80e, 0x0e7cdd56, 0x6130e7f8,
          0xc396e78f, 0x85f388a1, 0x125d0246, 0xaee1bc0e, 0x685714a6, 0xe92ec89b, 0x8dc92194, 0x5b74361f}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.double_rounds << " double rounds, counter " << c.counter);
        EXPECT_EQ(scalar_block(byte_ramp_key, c.counter, c.double_rounds), c.words);
    }
}

// Every vector implementation the machine can run, plus the one picked at
// startup, against four scalar blocks; counters chosen so that lanes carry
// into the high word or wrap around 2^64.
TEST(ChachaBlock, FourBlockVersionsMatchScalarBlocks) {
    const std::uint64_t counters[] = {0, 4, 1020, 0xfffffffc, 0xfffffffd, 0xffffffff, 0x123456789abcdef0,
                                      0xfffffffffffffffe};
    const ChachaKey keys[] = {byte_ramp_key, pcg32_key(42)};
    const ChachaKernel kernels[] = {ChachaKernel::sse2, ChachaKernel::avx2, ChachaKernel::avx512vl};
    for (int double_rounds : {4, 6}) {
        for (const auto& key : keys) {
            for (std::uint64_t counter : counters) {
                SCOPED_TRACE(testing::Message() << double_rounds << " double rounds, counter " << counter);
                std::array<std::uint32_t, 64> expected{};
                for (std::uint64_t b = 0; b < 4; ++b) {
                    chacha_block_scalar(key, counter + b, double_rounds, expected.data() + 16 * b);
                }
                std::array<std::uint32_t, 64> got{};
                chacha_blocks4(key, counter, double_rounds, got.data());
                EXPECT_EQ(got, expected) << "selected kernel";
                for (ChachaKernel kernel : kernels) {
                    if (!chacha_kernel_supported(kernel)) continue;
                    got.fill(0);
                    chacha_blocks4_using(kernel, key, counter, double_rounds, got.data());
                    EXPECT_EQ(got, expected) << "kernel " << static_cast<int>(kernel);
                }
            }
        }
    }
}

// ---------------------------------------------------------------- SeededRng

TEST(SeededRng, Pcg32KeyWords) {
    struct Case {
        std::uint64_t seed;
        ChachaKey key;
    };
    const Case cases[] = {
        {0, {0xf973f2ec, 0x45cdb581, 0x7346f087, 0xad6cad06, 0xe3a3d0d0, 0x67e71733, 0x72ea9bf2, 0xfe7d8ad7}},
        {42, {0x7ba18fa4, 0x0a3d3258, 0xcca1b8ea, 0xb8140169, 0x75c88c2b, 0x54f7b418, 0xa16e448d, 0xf220dfe4}},
    };
    for (const auto& c : cases) EXPECT_EQ(pcg32_key(c.seed), c.key) << "seed " << c.seed;
}

// The first raw value is word 1 << 32 | word 0 of the ChaCha8 block 0.
TEST(SeededRng, FirstRawValueIsLowWordFirst) {
    SeededRng rng(0);
    EXPECT_EQ(rng.next_u64(), 0xb585f767a79a3b6cULL);
    EXPECT_EQ(rng.next_u64(), 0x7746a55fbad8c037ULL);
}

// Draw numbers are 1-based. 33 is the first draw of the second refill, 129
// the first of the fifth; 8193 is past the point where a ThreadRng would rekey
// (a SeededRng never does).
TEST(SeededRng, UniformDrawsMatchReference) {
    struct Case {
        std::uint64_t seed;
        int draw;
        double value;
    };
    const Case cases[] = {
        {0, 1, 0.7090754154265618},     {0, 2, 0.46592172228961015},   {0, 3, 0.6991432426747317},
        {0, 32, 0.3423054843230364},    {0, 33, 0.4013034735868243},   {0, 34, 0.05326342196190148},
        {0, 64, 0.2740472422150554},    {0, 65, 0.39204356565943055},  {0, 129, 0.08067550653683864},
        {0, 1000, 0.8949978080459636},  {0, 8192, 0.28011261222605155}, {0, 8193, 0.2038073310272448},
        {42, 1, 0.6818961923066714},    {42, 2, 0.950275407672484},    {42, 3, 0.4275164028565197},
        {42, 32, 0.09984171643465789},  {42, 33, 0.20263580146391214}, {42, 34, 0.21920575454235192},
        {42, 64, 0.3475054215539508},   {42, 65, 0.03603600123436079}, {42, 129, 0.6126071145235644},
        {42, 1000, 0.2663086565147341}, {42, 8192, 0.27446900608912117}, {42, 8193, 0.4217327897468206},
    };
    for (std::uint64_t seed : {0, 42}) {
        SeededRng rng(seed);
        int drawn = 0;
        for (const auto& c : cases) {
            if (c.seed != seed) continue;
            double value = 0.0;
            while (drawn < c.draw) {
                value = uniform(rng);
                ++drawn;
            }
            EXPECT_EQ(value, c.value) << "seed " << seed << ", draw " << c.draw;
        }
    }
}

TEST(SeededRng, CounterAdvancesByFourBlocksPerRefill) {
    struct Case {
        int draws;
        std::uint64_t counter;
    };
    const Case cases[] = {{0, 0}, {1, 4}, {32, 4}, {33, 8}, {64, 8}, {65, 12}, {8192, 1024}, {8193, 1028}};
    for (const auto& c : cases) {
        SeededRng rng(7);
        for (int i = 0; i < c.draws; ++i) rng.next_u64();
        EXPECT_EQ(rng.block_counter(), c.counter) << c.draws << " draws";
    }
}

TEST(SeededRng, ExtremeSeedsAreValidAndDistinct) {
    SeededRng a(0), b(~std::uint64_t{0}), c(~std::uint64_t{0});
    const std::uint64_t vb = b.next_u64();
    EXPECT_NE(a.next_u64(), vb);
    EXPECT_EQ(c.next_u64(), vb);
}

// ---------------------------------------------------------------- normal rule

TEST(NormalRule, FormulaOnGivenUniforms) {
    struct Case {
        double u1, u2, z;
    };
    const Case cases[] = {
        {0.0, 0.0, 37.169221888498384},  // clamped to 1e-300
        {0.0, 0.125, 26.282608848784662},
        {0.0, 0.3, -11.485921231239274},
        {0x1.0p-53, 0.0, 8.571674348652905},  // smallest nonzero draw is not clamped
        {0.5, 0.25, 7.209557076787946e-17},
        {0.75, 0.5, -0.7585276164409321},
        {0.9, 0.9, 0.3713740776255154},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(normal_from_uniforms(c.u1, c.u2), c.z) << "u1 " << c.u1 << ", u2 " << c.u2;
    }
}

// u1 is drawn before u2, and exactly two uniforms go into each normal.
TEST(NormalRule, StandardNormalOfSeedMatchesReference) {
    struct Case {
        std::uint64_t seed;
        std::array<double, 3> normals;
        double next_uniform;
    };
    const Case cases[] = {
        {0, {-0.8102724983810924, 0.7863012509099372, -0.48324531922112646}, 0.8289844760239993},
        {42, {0.832712158318141, -0.9080526709984266, 0.9269949187990786}, 0.30804055959790966},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seed);
        SeededRng rng(c.seed);
        for (double z : c.normals) EXPECT_EQ(standard_normal(rng), z);
        EXPECT_EQ(uniform(rng), c.next_uniform);
    }
}

// ---------------------------------------------------------------- ThreadRng

// Injected entropy: call n returns bytes 32n, 32n+1, ... (mod 256), so call 0
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

TEST_F(InjectedThreadRng, KeyBytesAreLittleEndianWords) {
    ASSERT_EQ(key_of_call(0), byte_ramp_key);
    ThreadRng rng(counting_source);
    EXPECT_EQ(rng.next_u64(), 0x5ec67ad1fff931f2ULL);  // ChaCha12 block 0 of the byte-ramp key
}

// 1024 blocks of plain ChaCha12, then the refill that would compute block
// 1024 fetches a new key and starts again at block 0.
TEST_F(InjectedThreadRng, RekeysExactlyWhenBlock1024WouldBeComputed) {
    ThreadRng rng(counting_source);
    EXPECT_EQ(entropy_calls, 1);
    const ChachaKey first = key_of_call(0);
    for (std::uint64_t block = 0; block < 1024; ++block) {
        const Block expected = scalar_block(first, block, 6);
        for (int pair = 0; pair < 8; ++pair) {
            ASSERT_EQ(rng.next_u64(), raw_value(expected, pair)) << "block " << block << ", pair " << pair;
        }
    }
    EXPECT_EQ(entropy_calls, 1);
    EXPECT_EQ(rng.block_counter(), 1024u);

    const ChachaKey second = key_of_call(1);
    for (std::uint64_t block = 0; block < 8; ++block) {
        const Block expected = scalar_block(second, block, 6);
        for (int pair = 0; pair < 8; ++pair) {
            ASSERT_EQ(rng.next_u64(), raw_value(expected, pair)) << "new key, block " << block;
        }
        if (block == 0) {
            EXPECT_EQ(entropy_calls, 2);
            EXPECT_EQ(rng.block_counter(), 4u);
        }
    }
    EXPECT_EQ(entropy_calls, 2);
}

TEST_F(InjectedThreadRng, PanicMessages) {
    struct Case {
        int fail_from;
        int draws_before_failure;
        const char* message;
    };
    const Case cases[] = {
        {0, -1, "could not initialize ThreadRng: entropy pool unavailable"},
        {1, 8192, "could not reseed ThreadRng: entropy pool unavailable"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        entropy_calls = 0;
        fail_from = c.fail_from;
        try {
            ThreadRng rng(counting_source);
            ASSERT_GE(c.draws_before_failure, 0) << "constructor did not throw";
            for (int i = 0; i < c.draws_before_failure; ++i) rng.next_u64();
            rng.next_u64();
            ADD_FAILURE() << "draw did not throw";
        } catch (const Panic& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

// A failed reseed leaves the generator rekey-pending, so a later draw with
// the source working again rekeys instead of running on with the old key.
TEST_F(InjectedThreadRng, DrawAfterFailedReseedRetriesTheRekey) {
    fail_from = 1;
    ThreadRng rng(counting_source);
    for (int i = 0; i < 8192; ++i) rng.next_u64();
    EXPECT_THROW(rng.next_u64(), Panic);
    fail_from = 1 << 30;
    EXPECT_EQ(rng.next_u64(), raw_value(scalar_block(key_of_call(2), 0, 6), 0));
}

TEST_F(InjectedThreadRng, RekeyBeforeNextDrawDiscardsTheBuffer) {
    struct Case {
        int draws_before;
    };
    const Case cases[] = {{0}, {1}, {31}, {32}, {40}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.draws_before);
        entropy_calls = 0;
        ThreadRng rng(counting_source);
        for (int i = 0; i < c.draws_before; ++i) rng.next_u64();
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
    // Independent OS keys: equal values would be a 2^-64 coincidence.
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
        const bool ok = write(fds[1], child, sizeof child) == static_cast<ssize_t>(sizeof child);
        _exit(ok ? 0 : 1);
    }
    close(fds[1]);
    std::uint64_t child[4] = {};
    ASSERT_EQ(read(fds[0], child, sizeof child), static_cast<ssize_t>(sizeof child));
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (auto v : child) EXPECT_NE(rng.next_u64(), v);
}

TEST(OsEntropy, FillsTheKey) {
    std::array<std::uint8_t, 32> a{}, b{};
    ASSERT_TRUE(os_entropy(a).has_value());
    ASSERT_TRUE(os_entropy(b).has_value());
    EXPECT_NE(a, b);
}

}  // namespace
}  // namespace drovik
