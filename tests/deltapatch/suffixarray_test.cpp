#include "suffixarray.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace deltapatch {
namespace {

template <class Sym> std::vector<int32_t> NaiveSuffixArray(const std::vector<Sym>& text)
{
    std::vector<int32_t> sa(text.size());
    std::iota(sa.begin(), sa.end(), 0);
    std::sort(sa.begin(), sa.end(), [&](int32_t a, int32_t b) {
        return std::lexicographical_compare(text.begin() + a, text.end(), text.begin() + b, text.end());
    });
    return sa;
}

// Linear check for texts too long to sort naively: sa is a permutation and
// each neighbouring pair is ordered by (first symbol, rank of the rest).
template <class Sym>
::testing::AssertionResult IsSuffixArray(const std::vector<Sym>& text, const std::vector<int32_t>& sa)
{
    size_t n = text.size();
    if (sa.size() != n)
        return ::testing::AssertionFailure() << "size " << sa.size();
    std::vector<int64_t> rank(n + 1, -1);
    for (size_t i = 0; i < n; ++i) {
        if (sa[i] < 0 || static_cast<size_t>(sa[i]) >= n || rank[sa[i]] != -1)
            return ::testing::AssertionFailure() << "not a permutation at " << i;
        rank[sa[i]] = static_cast<int64_t>(i);
    }
    rank[n] = -1; // the empty suffix sorts first
    for (size_t i = 1; i < n; ++i) {
        size_t a = sa[i - 1], b = sa[i];
        bool ordered = text[a] < text[b] || (text[a] == text[b] && rank[a + 1] < rank[b + 1]);
        if (!ordered)
            return ::testing::AssertionFailure() << "suffixes " << a << " and " << b << " out of order at " << i;
    }
    return ::testing::AssertionSuccess();
}

std::vector<int32_t> Build(const std::vector<uint8_t>& text)
{
    std::vector<int32_t> sa(text.size() + 1, -7);
    int32_t rc = BuildSuffixArray(text.data(), sa.data(), static_cast<int32_t>(text.size()));
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(sa.back(), -7) << "wrote past n entries";
    sa.pop_back();
    return sa;
}

std::vector<uint8_t> RandomText(size_t n, unsigned alphabet, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> text(n);
    for (auto& c : text)
        c = static_cast<uint8_t>(rng() % alphabet);
    return text;
}

std::vector<uint8_t> FibonacciWord(size_t n)
{
    std::string a = "b", b = "a";
    while (b.size() < n) {
        std::string next = b + a;
        a = b;
        b = next;
    }
    return std::vector<uint8_t>(b.begin(), b.begin() + n);
}

std::vector<uint8_t> ThueMorseWord(size_t n)
{
    std::vector<uint8_t> text(n);
    for (size_t i = 0; i < n; ++i)
        text[i] = static_cast<uint8_t>('a' + (__builtin_popcountll(i) & 1));
    return text;
}

TEST(SuffixArray, BananaSortsAsExpected)
{
    std::string s = "banana";
    EXPECT_EQ(Build(std::vector<uint8_t>(s.begin(), s.end())), (std::vector<int32_t>{5, 3, 1, 0, 4, 2}));
}

TEST(SuffixArray, TinyTextsMatchNaiveSort)
{
    // n = 0, 1, 2 and every text of length up to 8 over a three-letter alphabet
    // cover all type patterns around the sentinel.
    uint8_t none = 0;
    int32_t untouched = -3;
    EXPECT_EQ(BuildSuffixArray(&none, &untouched, 0), 0);
    EXPECT_EQ(untouched, -3);
    for (size_t n = 1; n <= 8; ++n) {
        size_t total = 1;
        for (size_t i = 0; i < n; ++i)
            total *= 3;
        for (size_t code = 0; code < total; ++code) {
            std::vector<uint8_t> text(n);
            size_t c = code;
            for (size_t i = 0; i < n; ++i, c /= 3)
                text[i] = static_cast<uint8_t>(c % 3 * 100);
            ASSERT_EQ(Build(text), NaiveSuffixArray(text)) << "n " << n << " code " << code;
        }
    }
}

TEST(SuffixArray, EqualBytesSortFromTheEnd)
{
    for (size_t n : {2u, 3u, 100u, 70000u}) {
        std::vector<int32_t> sa = Build(std::vector<uint8_t>(n, 0x41));
        for (size_t i = 0; i < n; ++i)
            ASSERT_EQ(sa[i], static_cast<int32_t>(n - 1 - i)) << "n " << n;
    }
}

TEST(SuffixArray, RefusesBadArguments)
{
    uint8_t text[4] = {1, 2, 3, 4};
    int32_t sa[4] = {};
    EXPECT_EQ(BuildSuffixArray(text, nullptr, 4), -1);
    EXPECT_EQ(BuildSuffixArray(nullptr, sa, 4), -1);
    EXPECT_EQ(BuildSuffixArray(text, sa, -1), -1);
    int32_t symbols[4] = {0, 1, 2, 3};
    EXPECT_EQ(BuildSuffixArrayInt(symbols, sa, 4, 0), -1);
    EXPECT_EQ(BuildSuffixArrayInt(symbols, sa, 4, 3), -1) << "symbol 3 is outside k = 3";
    symbols[1] = -1;
    EXPECT_EQ(BuildSuffixArrayInt(symbols, sa, 4, 4), -1);
}

TEST(SuffixArray, SingleByteGivesZero)
{
    uint8_t text = 9;
    int32_t sa = -5;
    EXPECT_EQ(BuildSuffixArray(&text, &sa, 1), 0);
    EXPECT_EQ(sa, 0);
}

TEST(SuffixArray, FallingTextsAndOneLateRiseMatchNaiveSort)
{
    // Texts that never rise take a shortcut; one rise anywhere, even in the
    // last pair, must send them through the full sort.
    for (unsigned alphabet : {1u, 2u, 3u, 256u}) {
        for (size_t n : {2u, 3u, 7u, 500u}) {
            std::vector<uint8_t> text = RandomText(n, alphabet, static_cast<uint32_t>(n));
            std::sort(text.begin(), text.end(), std::greater<uint8_t>());
            EXPECT_EQ(Build(text), NaiveSuffixArray(text)) << "falling, n " << n;
            for (size_t at : {size_t{0}, n / 2, n - 1}) {
                std::vector<uint8_t> risen = text;
                risen[at] = static_cast<uint8_t>(risen[at] + 1);
                EXPECT_EQ(Build(risen), NaiveSuffixArray(risen)) << "rise at " << at << ", n " << n;
            }
        }
    }
    std::vector<int32_t> text = {9, 9, 7, 7, 7, 3, 0, 0};
    std::vector<int32_t> sa(text.size());
    ASSERT_EQ(BuildSuffixArrayInt(text.data(), sa.data(), static_cast<int32_t>(text.size()), 10), 0);
    EXPECT_EQ(sa, NaiveSuffixArray(text));
}

struct RandomCase
{
    unsigned alphabet;
    size_t n;
};

class SuffixArrayRandom : public ::testing::TestWithParam<RandomCase>
{};

TEST_P(SuffixArrayRandom, MatchesNaiveSort)
{
    const RandomCase& c = GetParam();
    for (uint32_t seed = 1; seed <= 5; ++seed) {
        std::vector<uint8_t> text = RandomText(c.n, c.alphabet, seed);
        ASSERT_EQ(Build(text), NaiveSuffixArray(text)) << "seed " << seed;
    }
}

INSTANTIATE_TEST_SUITE_P(Alphabets, SuffixArrayRandom,
                         ::testing::Values(RandomCase{1, 1000}, RandomCase{2, 3000}, RandomCase{4, 3000},
                                           RandomCase{256, 3000}, RandomCase{2, 17}, RandomCase{4, 64}));

TEST(SuffixArray, LongTextsAreOrdered)
{
    // Long enough for several recursion levels whose bucket arrays live in
    // the free tail of the array or share storage.
    EXPECT_TRUE(IsSuffixArray(RandomText(1 << 20, 2, 7), Build(RandomText(1 << 20, 2, 7))));
    EXPECT_TRUE(IsSuffixArray(RandomText(1 << 20, 4, 8), Build(RandomText(1 << 20, 4, 8))));
    EXPECT_TRUE(IsSuffixArray(RandomText(1 << 20, 256, 9), Build(RandomText(1 << 20, 256, 9))));
    std::vector<uint8_t> periodic(1 << 20);
    for (size_t i = 0; i < periodic.size(); ++i)
        periodic[i] = static_cast<uint8_t>(i % 251 * 7);
    EXPECT_TRUE(IsSuffixArray(periodic, Build(periodic)));
    // Repeated random blocks with a few mutations: many equal LMS substrings.
    std::vector<uint8_t> block = RandomText(4096, 256, 10);
    std::vector<uint8_t> repeated;
    std::mt19937 rng(11);
    for (int r = 0; r < 200; ++r) {
        repeated.insert(repeated.end(), block.begin(), block.end());
        repeated[rng() % repeated.size()] ^= 1;
    }
    EXPECT_TRUE(IsSuffixArray(repeated, Build(repeated)));
}

// Random bytes give reduced texts with nearly all names distinct, sorted by a
// few refinement rounds. Copies planted in them leave equal names that those
// rounds cannot settle: a long copy outlasts the rounds, many copies of a
// short block make a group too large; both go on to the recursion.
TEST(SuffixArray, NearlyDistinctNamesWithPlantedCopies)
{
    struct Plant
    {
        size_t length;
        int copies;
    };
    for (Plant plant : {Plant{0, 0}, Plant{3000, 2}, Plant{40, 100}, Plant{20, 150}}) {
        for (size_t n : {size_t{20000}, size_t{300000}}) {
            std::vector<uint8_t> text = RandomText(n, 256, static_cast<uint32_t>(n + plant.length));
            std::vector<uint8_t> block = RandomText(plant.length, 256, 99);
            std::mt19937 rng(static_cast<uint32_t>(plant.copies));
            for (int c = 0; c < plant.copies; ++c) {
                size_t at = rng() % (n - plant.length);
                std::copy(block.begin(), block.end(), text.begin() + static_cast<std::ptrdiff_t>(at));
            }
            std::vector<int32_t> sa = Build(text);
            if (n <= 20000)
                EXPECT_EQ(sa, NaiveSuffixArray(text)) << plant.length << " x " << plant.copies;
            else
                EXPECT_TRUE(IsSuffixArray(text, sa)) << plant.length << " x " << plant.copies;
        }
    }
}

TEST(SuffixArray, SelfSimilarWordsRecurseDeeply)
{
    for (size_t n : {2u, 5u, 13u, 610u, 4181u}) {
        std::vector<uint8_t> fib = FibonacciWord(n);
        EXPECT_EQ(Build(fib), NaiveSuffixArray(fib)) << "Fibonacci " << n;
        std::vector<uint8_t> tm = ThueMorseWord(n);
        EXPECT_EQ(Build(tm), NaiveSuffixArray(tm)) << "Thue-Morse " << n;
    }
    for (size_t n : {1000000u, (1u << 20) + 3}) {
        std::vector<uint8_t> fib = FibonacciWord(n);
        EXPECT_TRUE(IsSuffixArray(fib, Build(fib))) << "Fibonacci " << n;
        std::vector<uint8_t> tm = ThueMorseWord(n);
        EXPECT_TRUE(IsSuffixArray(tm, Build(tm))) << "Thue-Morse " << n;
    }
}

TEST(SuffixArray, IntegerSymbolsMatchNaiveSort)
{
    // Alphabet sizes on both sides of the 256 and 1024 bucket-storage limits.
    for (int32_t k : {1, 3, 300, 1000, 5000}) {
        std::mt19937 rng(static_cast<uint32_t>(k));
        std::vector<int32_t> text(2500);
        for (auto& c : text)
            c = static_cast<int32_t>(rng() % static_cast<uint32_t>(std::min(k, 40)) * (k / std::min(k, 40)));
        std::vector<int32_t> sa(text.size());
        ASSERT_EQ(BuildSuffixArrayInt(text.data(), sa.data(), static_cast<int32_t>(text.size()), k), 0);
        EXPECT_EQ(sa, NaiveSuffixArray(text)) << "k " << k;
    }
}

} // namespace
} // namespace deltapatch
