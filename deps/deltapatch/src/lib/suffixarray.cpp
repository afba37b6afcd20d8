#include "suffixarray.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace deltapatch {
namespace {

using Index = int32_t;

// Bucket counts C and bucket edges B of one recursion level. They live either
// in the unused tail of the suffix array or on the heap; when memory is tight
// B shares C's storage and the counts are taken again before every use.
struct Buckets
{
    Index* counts = nullptr;
    Index* edges = nullptr;
    bool ownCounts = false;
    bool ownEdges = false;
    bool shared = false;
    Index reserved = 0; // entries taken from the end of the free space

    ~Buckets()
    {
        if (ownEdges)
            std::free(edges);
        if (ownCounts)
            std::free(counts);
    }
};

Index* AllocIndices(Index k)
{
    return static_cast<Index*>(std::malloc(static_cast<size_t>(k) * sizeof(Index)));
}

// B gets storage of its own whenever it can: sharing C means counting the
// text again before every pass. Sharing is the fallback when memory is short.
bool OwnOrSharedEdges(Buckets& b, Index k)
{
    b.edges = AllocIndices(k);
    b.ownEdges = b.edges != nullptr;
    if (!b.edges) {
        b.edges = b.counts;
        b.shared = true;
    }
    return true;
}

bool SetUpBuckets(Buckets& b, Index* sa, Index n, Index fs, Index k)
{
    Index* tail = sa + n + fs; // one past the end of the free space
    if (k <= 256) {
        b.counts = AllocIndices(k);
        b.ownCounts = b.counts != nullptr;
        if (!b.counts)
            return false;
        if (fs >= k) {
            b.edges = tail - k;
            b.reserved = k;
        } else {
            b.edges = AllocIndices(k);
            b.ownEdges = b.edges != nullptr;
            if (!b.edges)
                return false;
        }
        return true;
    }
    if (fs >= k) {
        b.counts = tail - k;
        b.reserved = k;
        if (fs - k >= k) {
            b.edges = tail - 2 * k;
            b.reserved = 2 * k;
            return true;
        }
        return OwnOrSharedEdges(b, k);
    }
    b.counts = AllocIndices(k);
    b.ownCounts = b.counts != nullptr;
    if (!b.counts)
        return false;
    return OwnOrSharedEdges(b, k);
}

// How far ahead the induce passes prefetch the symbol they will read; the
// entries there are mostly placed already, and a stale one only costs a miss.
constexpr Index kPrefetchDistance = 64;

// Over a large alphabet the bucket pointers and the slots they point at are
// as scattered as the text, so the passes run a short pipeline (Scattered):
// the symbol is fetched kPrefetchDistance entries ahead, its bucket pointer
// half as far ahead, and the slot that pointer names a quarter as far. Small
// bucket arrays stay in cache, and there the extra loads only cost time.
constexpr Index kScatteredAlphabet = 1 << 16;

template <class Sym> void CountSymbols(const Sym* text, Index n, Index* counts, Index k)
{
    std::fill(counts, counts + k, 0);
    for (Index i = 0; i < n; ++i) {
        if (k >= kScatteredAlphabet && i < n - kPrefetchDistance)
            __builtin_prefetch(counts + text[i + kPrefetchDistance], 1);
        ++counts[text[i]];
    }
}

// Bucket starts or ends; counts and edges may be the same array.
template <class Sym> void ComputeEdges(const Sym* text, Index n, Buckets& b, Index k, bool ends)
{
    if (b.shared)
        CountSymbols(text, n, b.counts, k);
    Index sum = 0;
    for (Index c = 0; c < k; ++c) {
        Index count = b.counts[c];
        if (ends) {
            sum += count;
            b.edges[c] = sum;
        } else {
            b.edges[c] = sum;
            sum += count;
        }
    }
}

// Type of suffix i, scanning right to left: S when smaller than suffix i + 1.
// The last suffix is L because the virtual sentinel behind it is smallest.
// Calls visit(p) for every LMS position p (an S suffix after an L suffix),
// from right to left. Returns whether any suffix is S.
template <class Sym, class Visit> bool ForEachLms(const Sym* text, Index n, Visit visit)
{
    // The type itself is computed without branching: on varied text it is a
    // coin toss, and only the rarer LMS finds are left to the predictor.
    unsigned nextIsS = 0;
    unsigned anyS = 0;
    for (Index i = n - 2; i >= 0; --i) {
        Sym c = text[i];
        Sym next = text[i + 1];
        unsigned isS = static_cast<unsigned>(c < next) | (static_cast<unsigned>(c == next) & nextIsS);
        if (nextIsS > isS)
            visit(i + 1);
        nextIsS = isS;
        anyS |= isS;
    }
    return anyS != 0;
}

template <class Sym> inline void PrefetchPredecessor(const Sym* text, Index j)
{
    __builtin_prefetch(text + (j > 0 ? j - 1 : 0));
}

// Left to right over bucket starts: every entry j whose predecessor is L
// places j - 1. Entries met here are L suffixes or LMS suffixes, so the
// predecessor is L exactly when its symbol is not smaller. Empty slots hold 0,
// which has no predecessor anyway.
template <class Sym, bool Scattered> void InduceL(const Sym* text, Index* sa, Index n, Index* starts)
{
    constexpr Index kNear = kPrefetchDistance / 2;
    constexpr Index kNearest = kPrefetchDistance / 4;
    sa[starts[text[n - 1]]++] = n - 1;
    for (Index i = 0; i < n; ++i) {
        if (i < n - kPrefetchDistance)
            PrefetchPredecessor(text, sa[i + kPrefetchDistance]);
        if (Scattered && i < n - kNear) {
            Index a = sa[i + kNear];
            if (a > 0)
                __builtin_prefetch(starts + text[a - 1]);
            Index b = sa[i + kNearest];
            if (b > 0)
                __builtin_prefetch(sa + starts[text[b - 1]], 1);
        }
        Index j = sa[i];
        if (j > 0) {
            Sym c = text[j - 1];
            if (c >= text[j])
                sa[starts[c]++] = j - 1;
        }
    }
}

// Right to left over bucket ends. S slots are filled from the end of their
// bucket before the scan reaches them, so an entry at i is S exactly when i
// lies at or behind its bucket's current end pointer; that decides the
// predecessor's type when the two symbols are equal. With markLms, LMS
// suffixes are stored complemented so that they can be picked out afterwards
// (they have an L predecessor, so nothing is induced from them).
template <class Sym, bool Scattered> void InduceS(const Sym* text, Index* sa, Index n, Index* ends, bool markLms)
{
    constexpr Index kNear = kPrefetchDistance / 2;
    constexpr Index kNearest = kPrefetchDistance / 4;
    for (Index i = n - 1; i >= 0; --i) {
        if (i >= kPrefetchDistance)
            PrefetchPredecessor(text, sa[i - kPrefetchDistance]);
        if (Scattered && i >= kNear) {
            Index a = sa[i - kNear];
            if (a > 0)
                __builtin_prefetch(ends + text[a - 1]);
            Index b = sa[i - kNearest];
            if (b > 0) {
                Index e = ends[text[b - 1]];
                __builtin_prefetch(sa + (e > 0 ? e - 1 : 0), 1);
            }
        }
        Index j = sa[i];
        if (j <= 0)
            continue;
        Sym c = text[j - 1];
        Sym cj = text[j];
        if (c < cj || (c == cj && i >= ends[cj])) {
            Index p = j - 1;
            sa[--ends[c]] = (markLms && p > 0 && text[p - 1] > c) ? ~p : p;
        }
    }
}

// One induce pass, with the prefetch pipeline chosen once per pass.
template <class Sym>
void Induce(bool fromEnds, bool scattered, const Sym* text, Index* sa, Index n, Index* edges, bool markLms = false)
{
    if (fromEnds) {
        if (scattered)
            InduceS<Sym, true>(text, sa, n, edges, markLms);
        else
            InduceS<Sym, false>(text, sa, n, edges, markLms);
    } else if (scattered) {
        InduceL<Sym, true>(text, sa, n, edges);
    } else {
        InduceL<Sym, false>(text, sa, n, edges);
    }
}

// LMS substrings are mostly a few symbols long: a plain loop beats a call.
template <class Sym> bool SameSymbols(const Sym* a, const Sym* b, Index len)
{
    for (Index i = 0; i < len; ++i) {
        if (a[i] != b[i])
            return false;
    }
    return true;
}

// Reduced texts from varied input have nearly all names distinct. The few
// equal ones are then told apart by some prefix-doubling rounds over small
// groups, far cheaper than sorting the reduced text by induction; the round
// and group limits keep this linear. Ranks live in place of the reduced
// text, work holds w free entries. Returns 0 when sa[0..m) holds the sorted
// reduced suffixes. Otherwise returns the alphabet of reduced, which still
// orders its suffixes the same way and is left to the recursion: names while
// untouched, m once it holds group ranks (equal rank, equal name; lower rank,
// lower suffix).
constexpr Index kMaxRefineGroup = 64;
constexpr Index kMaxRefineSpan = 16;

Index SortReducedByDoubling(Index* reduced, Index* sa, Index m, Index names, Index* work, Index w)
{
    if (4 * static_cast<int64_t>(m - names) > m || w < names || w < kMaxRefineGroup)
        return names;
    // Counting sort by name; each suffix's rank becomes the last index of
    // its group.
    Index* next = work;
    std::fill(next, next + names, 0);
    for (Index i = 0; i < m; ++i)
        ++next[reduced[i]];
    Index sum = 0;
    for (Index c = 0; c < names; ++c) {
        Index count = next[c];
        next[c] = sum;
        sum += count;
    }
    for (Index i = 0; i < m; ++i)
        sa[next[reduced[i]]++] = i;
    for (Index i = 0; i < m; ++i)
        reduced[i] = next[reduced[i]] - 1;

    Index* keys = work;
    for (Index h = 1; h <= kMaxRefineSpan; h *= 2) {
        // Sorting by the rank h further on orders by twice as many symbols.
        // Ranks refined earlier in the same round are only more exact, which
        // keeps the order right. A suffix running out first is smaller.
        auto key = [&](Index i) { return i < m - h ? reduced[i + h] : -1; };
        bool open = false;
        for (Index x = 0; x < m;) {
            Index end = reduced[sa[x]];
            if (end == x) {
                ++x;
                continue;
            }
            Index size = end - x + 1;
            if (size > kMaxRefineGroup)
                return m;
            std::sort(sa + x, sa + end + 1, [&](Index a, Index b) { return key(a) < key(b); });
            for (Index t = 0; t < size; ++t)
                keys[t] = key(sa[x + t]);
            Index groupEnd = end;
            for (Index t = size - 1; t >= 0; --t) {
                if (t < size - 1) {
                    if (keys[t] != keys[t + 1])
                        groupEnd = x + t;
                    else
                        open = true;
                }
                reduced[sa[x + t]] = groupEnd;
            }
            x = end + 1;
        }
        if (!open)
            return 0;
    }
    return m;
}

// Sorts the n >= 2 suffixes of text into sa. fs entries after the first n of
// sa are free for this level's use. Returns 0 or -2 (out of memory).
template <class Sym> Index SortSuffixes(const Sym* text, Index* sa, Index fs, Index n, Index k)
{
    // A text that never rises (runs of one byte, say) has only L suffixes,
    // and each is greater than the one after it: the order is plain reverse
    // position, with no bucket work. Any other text leaves this scan early
    // unless it starts with a long falling stretch.
    Index rise = 0;
    while (rise < n - 1 && text[rise] >= text[rise + 1])
        ++rise;
    if (rise == n - 1) {
        for (Index i = 0; i < n; ++i)
            sa[i] = n - 1 - i;
        return 0;
    }

    Buckets b;
    if (!SetUpBuckets(b, sa, n, fs, k))
        return -2;
    const bool scattered = k >= kScatteredAlphabet;

    CountSymbols(text, n, b.counts, k);
    ComputeEdges(text, n, b, k, true);
    std::fill(sa, sa + n, 0);
    Index m = 0;
    Index onlyLms = 0;
    const bool anyS = ForEachLms(text, n, [&](Index p) {
        if (scattered && p >= kPrefetchDistance)
            __builtin_prefetch(b.edges + text[p - kPrefetchDistance], 1);
        sa[--b.edges[text[p]]] = p;
        onlyLms = p;
        ++m;
    });

    if (m == 1) {
        sa[0] = onlyLms;
    } else if (m > 1) {
        // Sorting LMS suffixes by their first LMS substring only.
        ComputeEdges(text, n, b, k, false);
        Induce(false, scattered, text, sa, n, b.edges);
        ComputeEdges(text, n, b, k, true);
        Induce(true, scattered, text, sa, n, b.edges, true);
        // Compacting without branches (the marks fall at random): w never
        // passes i, so every slot written to has been read already.
        Index w = 0;
        for (Index i = 0; i < n; ++i) {
            Index v = sa[i];
            sa[w] = ~v;
            w += v < 0;
        }

        // LMS positions are at least two apart, so p / 2 gives each its own
        // slot in sa[m..n) for its substring length, then its name.
        std::fill(sa + m, sa + n, 0);
        Index next = -1;
        ForEachLms(text, n, [&](Index p) {
            // The last LMS substring runs into the sentinel: one past the
            // text, so it equals no other.
            sa[m + (p >> 1)] = next < 0 ? n - p + 1 : next - p + 1;
            next = p;
        });
        Index names = 0;
        Index prev = 0;
        Index prevLen = 0;
        for (Index i = 0; i < m; ++i) {
            if (i < m - kPrefetchDistance) {
                Index ahead = sa[i + kPrefetchDistance];
                __builtin_prefetch(sa + m + (ahead >> 1));
                __builtin_prefetch(text + ahead);
            }
            Index p = sa[i];
            Index len = sa[m + (p >> 1)];
            bool same = names > 0 && len == prevLen && static_cast<int64_t>(p) + len <= n
                && static_cast<int64_t>(prev) + len <= n && SameSymbols(text + p, text + prev, len);
            if (!same) {
                ++names;
                prev = p;
                prevLen = len;
            }
            sa[m + (p >> 1)] = names;
        }

        if (names < m) {
            // The reduced text goes to the end of the usable space, in text
            // order; the recursion sorts it into sa[0..m).
            Index limit = n + fs - b.reserved;
            // j never falls below i, so each write lands on a slot already
            // read or in the free space.
            Index j = limit - 1;
            for (Index i = n - 1; i >= m; --i) {
                Index v = sa[i];
                sa[j] = v - 1;
                j -= v != 0;
            }
            Index* reduced = sa + limit - m;
            Index alphabet = SortReducedByDoubling(reduced, sa, m, names, sa + m, limit - 2 * m);
            if (alphabet != 0 && SortSuffixes<Index>(reduced, sa, limit - 2 * m, m, alphabet) != 0)
                return -2;
            Index slot = m;
            ForEachLms(text, n, [&](Index p) { reduced[--slot] = p; });
            for (Index i = 0; i < m; ++i) {
                if (i < m - kPrefetchDistance)
                    __builtin_prefetch(reduced + sa[i + kPrefetchDistance]);
                sa[i] = reduced[sa[i]];
            }
        }
        // With distinct names the substring order already is the suffix order.
    }

    // Sorted LMS suffixes to their bucket ends, last first, so that no entry
    // is overwritten before it has moved.
    if (m > 0) {
        ComputeEdges(text, n, b, k, true);
        std::fill(sa + m, sa + n, 0);
        for (Index i = m - 1; i >= 0; --i) {
            if (i >= kPrefetchDistance)
                __builtin_prefetch(text + sa[i - kPrefetchDistance]);
            if (scattered && i >= kPrefetchDistance / 2)
                __builtin_prefetch(b.edges + text[sa[i - kPrefetchDistance / 2]], 1);
            Index p = sa[i];
            sa[i] = 0;
            sa[--b.edges[text[p]]] = p;
        }
    }
    // Without LMS suffixes the array is still all empty from stage one.
    ComputeEdges(text, n, b, k, false);
    Induce(false, scattered, text, sa, n, b.edges);
    if (anyS) {
        ComputeEdges(text, n, b, k, true);
        Induce(true, scattered, text, sa, n, b.edges, false);
    }
    return 0;
}

// All n >= 0 suffixes; fewer than two need no sorting.
template <class Sym> int32_t SortAllSuffixes(const Sym* text, int32_t* sa, int32_t n, int32_t k)
{
    if (n < 2) {
        if (n == 1)
            sa[0] = 0;
        return 0;
    }
    return SortSuffixes<Sym>(text, sa, 0, n, k);
}

} // namespace

int32_t BuildSuffixArray(const uint8_t* text, int32_t* sa, int32_t n)
{
    if (!text || !sa || n < 0)
        return -1;
    return SortAllSuffixes<uint8_t>(text, sa, n, 256);
}

int32_t BuildSuffixArrayInt(const int32_t* text, int32_t* sa, int32_t n, int32_t k)
{
    if (!text || !sa || n < 0 || k < 1)
        return -1;
    for (int32_t i = 0; i < n; ++i) {
        if (text[i] < 0 || text[i] >= k)
            return -1;
    }
    return SortAllSuffixes<int32_t>(text, sa, n, k);
}

} // namespace deltapatch
