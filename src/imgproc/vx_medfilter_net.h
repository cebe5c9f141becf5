// Selection networks of the fixed 3x3 and 5x5 median filters, written once
// over a vector type so that the scalar, SSE and AVX2 builds run the same
// min/max steps and give identical results.
//
// Work is shared between neighbouring output pixels: every window column
// (3 or 5 samples, rows clamped) is sorted once per output row and reused by
// the outputs whose windows contain it. The 5x5 filter, and the 3x3 filter
// on narrow rows and on the scalar path, cut each row into chunks of columns
// and keep the sorted columns in stack scratch arrays; the 3x3 filter on
// rows at least two vectors wide keeps them in registers and forms the
// neighbouring columns with lane shifts. Columns left of 0 and right of
// w - 1 reuse the sorted edge column, which is exactly the replicate border.
// Nothing is allocated.
//
// Everything here has internal linkage: each translation unit that includes
// the header (the baseline one and the AVX2 one) gets its own copy compiled
// for its own instruction set.
#pragma once

#include <cstddef>
#include <cstdint>

namespace {

// One lane: the path for chunk tails, and the plain scalar path.
struct ScalarOps {
    using V = uint16_t;
    static constexpr int N = 1;
    static V load(const uint16_t *p) { return *p; }
    static void store(uint16_t *p, V v) { *p = v; }
    static V min(V a, V b) { return a < b ? a : b; }
    static V max(V a, V b) { return a < b ? b : a; }
};

// Integer helpers kept local (rather than std::min and friends) so that the
// AVX2 translation unit instantiates nothing shared with baseline code.
inline int imin(int a, int b) { return a < b ? a : b; }
inline int imax(int a, int b) { return a < b ? b : a; }
inline int iclamp(int v, int lo, int hi) { return imin(imax(v, lo), hi); }

// Columns per chunk; a multiple of every vector width used.
constexpr int MED_CHUNK = 256;

template <class O>
inline void ce(typename O::V &a, typename O::V &b) {
    const typename O::V lo = O::min(a, b);
    b = O::max(a, b);
    a = lo;
}

// ---------------------------------------------------------------- 3x3 ----

struct Med3Scratch {
    // Sorted window columns of one chunk: index j holds column x0 - 1 + j.
    uint16_t lo[MED_CHUNK + 2], mi[MED_CHUNK + 2], hi[MED_CHUNK + 2];
};

// Sort the three rows' samples of columns [c0, c1) into s at j = c - base.
template <class O>
inline int med3_sort_cols(Med3Scratch &s, const uint16_t *r0, const uint16_t *r1, const uint16_t *r2, int c0,
                          int c1, int base) {
    int c = c0;
    for (; c + O::N <= c1; c += O::N) {
        typename O::V a = O::load(r0 + c), b = O::load(r1 + c), d = O::load(r2 + c);
        ce<O>(a, b);
        ce<O>(b, d);
        ce<O>(a, b);
        O::store(s.lo + (c - base), a);
        O::store(s.mi + (c - base), b);
        O::store(s.hi + (c - base), d);
    }
    return c;
}

// Outputs j in [j0, j1) of the chunk from sorted columns j, j + 1, j + 2:
// the largest low, the median of the middles and the smallest high; their
// median is the median of the nine samples.
template <class O>
inline int med3_combine(uint16_t *out, const Med3Scratch &s, int j0, int j1) {
    using V = typename O::V;
    int j = j0;
    for (; j + O::N <= j1; j += O::N) {
        const V lo = O::max(O::max(O::load(s.lo + j), O::load(s.lo + j + 1)), O::load(s.lo + j + 2));
        const V hi = O::min(O::min(O::load(s.hi + j), O::load(s.hi + j + 1)), O::load(s.hi + j + 2));
        const V m0 = O::load(s.mi + j), m1 = O::load(s.mi + j + 1), m2 = O::load(s.mi + j + 2);
        const V mi = O::max(O::min(m0, m1), O::min(O::max(m0, m1), m2));
        const V r = O::max(O::min(lo, mi), O::min(O::max(lo, mi), hi));
        O::store(out + j, r);
    }
    return j;
}

// Rows at least two vectors wide keep the sorted columns in registers: the
// block of columns x ... x + N - 1 is sorted once, and the neighbours one
// column to the left and right are formed from it and the adjacent blocks
// with lane shifts (O::prev1, O::next1). Column -1 and column w come from
// broadcasting the edge lane.
template <class O>
struct Sorted3 {
    typename O::V lo, mi, hi;
};

template <class O>
inline Sorted3<O> med3_sort_block(const uint16_t *r0, const uint16_t *r1, const uint16_t *r2, int x) {
    Sorted3<O> s{O::load(r0 + x), O::load(r1 + x), O::load(r2 + x)};
    ce<O>(s.lo, s.mi);
    ce<O>(s.mi, s.hi);
    ce<O>(s.lo, s.mi);
    return s;
}

// Outputs x ... x + N - 1 from the sorted columns one left (l), at (c) and
// one right (r) of them.
template <class O>
inline void med3_emit(uint16_t *out, const Sorted3<O> &l, const Sorted3<O> &c, const Sorted3<O> &r) {
    using V = typename O::V;
    const V lo = O::max(O::max(l.lo, c.lo), r.lo);
    const V hi = O::min(O::min(l.hi, c.hi), r.hi);
    const V mi = O::max(O::min(l.mi, c.mi), O::min(O::max(l.mi, c.mi), r.mi));
    O::store(out, O::max(O::min(lo, mi), O::min(O::max(lo, mi), hi)));
}

// Columns one to the left of block c, whose left neighbour block is p.
template <class O>
inline Sorted3<O> med3_prev1(const Sorted3<O> &c, const Sorted3<O> &p) {
    return {O::prev1(c.lo, p.lo), O::prev1(c.mi, p.mi), O::prev1(c.hi, p.hi)};
}

// Columns one to the right of block c, whose right neighbour block is n.
template <class O>
inline Sorted3<O> med3_next1(const Sorted3<O> &n, const Sorted3<O> &c) {
    return {O::next1(n.lo, c.lo), O::next1(n.mi, c.mi), O::next1(n.hi, c.hi)};
}

template <class O>
inline Sorted3<O> med3_splat_first(const Sorted3<O> &s) {
    return {O::splat_first(s.lo), O::splat_first(s.mi), O::splat_first(s.hi)};
}

template <class O>
inline Sorted3<O> med3_splat_last(const Sorted3<O> &s) {
    return {O::splat_last(s.lo), O::splat_last(s.mi), O::splat_last(s.hi)};
}

// One output row; needs w >= 2 * O::N.
template <class O>
void med3_row_registers(uint16_t *out, const uint16_t *r0, const uint16_t *r1, const uint16_t *r2, int w) {
    constexpr int N = O::N;
    Sorted3<O> cur = med3_sort_block<O>(r0, r1, r2, 0);
    Sorted3<O> prev = med3_splat_first<O>(cur);  // column -1 is column 0
    int x = 0;
    for (; x + 2 * N <= w; x += N) {
        const Sorted3<O> next = med3_sort_block<O>(r0, r1, r2, x + N);
        med3_emit<O>(out + x, med3_prev1<O>(cur, prev), cur, med3_next1<O>(next, cur));
        prev = cur;
        cur = next;
    }
    // N ... 2N - 1 columns are left (x >= N). Their blocks sort the shifted
    // columns directly from unaligned loads; the last block ends at w - 1,
    // may overlap columns already written (with the same values) and takes
    // column w from column w - 1.
    if (w - x > N)
        med3_emit<O>(out + x, med3_sort_block<O>(r0, r1, r2, x - 1), cur, med3_sort_block<O>(r0, r1, r2, x + 1));
    const int xl = w - N;
    const Sorted3<O> last = med3_sort_block<O>(r0, r1, r2, xl);
    med3_emit<O>(out + xl, med3_sort_block<O>(r0, r1, r2, xl - 1), last,
                 med3_next1<O>(med3_splat_last<O>(last), last));
}

template <class O>
void median3_image(uint16_t *dst, const uint16_t *src, int w, int h) {
    Med3Scratch s;
    for (int y = 0; y < h; ++y) {
        const uint16_t *r0 = src + static_cast<size_t>(y > 0 ? y - 1 : 0) * static_cast<size_t>(w);
        const uint16_t *r1 = src + static_cast<size_t>(y) * static_cast<size_t>(w);
        const uint16_t *r2 = src + static_cast<size_t>(y + 1 < h ? y + 1 : h - 1) * static_cast<size_t>(w);
        uint16_t *out = dst + static_cast<size_t>(y) * static_cast<size_t>(w);
        if constexpr (O::N > 1) {
            if (w >= 2 * O::N) {
                med3_row_registers<O>(out, r0, r1, r2, w);
                continue;
            }
        }
        for (int x0 = 0; x0 < w; x0 += MED_CHUNK) {
            const int x1 = imin(x0 + MED_CHUNK, w);
            const int base = x0 - 1;
            const int c0 = imax(base, 0), c1 = imin(x1 + 1, w);
            int c = med3_sort_cols<O>(s, r0, r1, r2, c0, c1, base);
            med3_sort_cols<ScalarOps>(s, r0, r1, r2, c, c1, base);
            if (x0 == 0) {  // column -1 replicates column 0
                s.lo[0] = s.lo[1];
                s.mi[0] = s.mi[1];
                s.hi[0] = s.hi[1];
            }
            if (x1 == w) {  // column w replicates column w - 1
                const int j = w - base;
                s.lo[j] = s.lo[j - 1];
                s.mi[j] = s.mi[j - 1];
                s.hi[j] = s.hi[j - 1];
            }
            const int n = x1 - x0;
            const int j = med3_combine<O>(out + x0, s, 0, n);
            med3_combine<ScalarOps>(out + x0, s, j, n);
        }
    }
}

// ---------------------------------------------------------------- 5x5 ----

struct Med5Scratch {
    // Sorted window columns of one chunk (index j holds column x0 - 2 + j)
    // and the sorted merges of columns j and j + 1.
    uint16_t col[5][MED_CHUNK + 4];
    uint16_t pair[10][MED_CHUNK + 4];
};

template <class O>
inline int med5_sort_cols(Med5Scratch &s, const uint16_t *const rows[5], int c0, int c1, int base) {
    using V = typename O::V;
    int c = c0;
    for (; c + O::N <= c1; c += O::N) {
        V x[5];
        for (int r = 0; r < 5; ++r) x[r] = O::load(rows[r] + c);
        // Optimal 9-step sorting network for five inputs.
        ce<O>(x[0], x[1]);
        ce<O>(x[3], x[4]);
        ce<O>(x[2], x[4]);
        ce<O>(x[2], x[3]);
        ce<O>(x[0], x[3]);
        ce<O>(x[0], x[2]);
        ce<O>(x[1], x[4]);
        ce<O>(x[1], x[3]);
        ce<O>(x[1], x[2]);
        for (int r = 0; r < 5; ++r) O::store(s.col[r] + (c - base), x[r]);
    }
    return c;
}

// Odd-even merge of the sorted columns j and j + 1 into ten sorted values.
template <class O>
inline int med5_merge_pairs(Med5Scratch &s, int j0, int j1) {
    using V = typename O::V;
    int j = j0;
    for (; j + O::N <= j1; j += O::N) {
        V a[5], b[5];
        for (int r = 0; r < 5; ++r) {
            a[r] = O::load(s.col[r] + j);
            b[r] = O::load(s.col[r] + j + 1);
        }
        const V t10 = O::min(a[0], b[0]), t11 = O::max(a[0], b[0]);
        const V t12 = O::min(a[4], b[4]), t13 = O::max(a[4], b[4]);
        const V t14 = O::min(t12, t11), t15 = O::max(t12, t11);
        const V t16 = O::min(a[2], b[2]), t17 = O::max(a[2], b[2]);
        const V t18 = O::min(t16, t14), t19 = O::max(t16, t14);
        const V t20 = O::min(t17, t15), t21 = O::max(t17, t15);
        const V t22 = O::min(a[1], b[1]), t23 = O::max(a[1], b[1]);
        const V t24 = O::min(a[3], b[3]), t25 = O::max(a[3], b[3]);
        const V t26 = O::min(t24, t23), t27 = O::max(t24, t23);
        O::store(s.pair[0] + j, t10);
        O::store(s.pair[1] + j, O::min(t22, t18));
        O::store(s.pair[2] + j, O::max(t22, t18));
        O::store(s.pair[3] + j, O::min(t26, t19));
        O::store(s.pair[4] + j, O::max(t26, t19));
        O::store(s.pair[5] + j, O::min(t27, t20));
        O::store(s.pair[6] + j, O::max(t27, t20));
        O::store(s.pair[7] + j, O::min(t25, t21));
        O::store(s.pair[8] + j, O::max(t25, t21));
        O::store(s.pair[9] + j, t13);
    }
    return j;
}

// Output j from the sorted tens a = pair(j), b = pair(j + 2) and the sorted
// column c = col(j + 4): the 13th smallest of the 25 window samples. The
// middle ranks 8 ... 13 of the merge of a and b come from a pruned odd-even
// merge; with X that merge and c sorted, the 13th smallest of both is
// min(X13, max(X12, c1), max(X11, c2), ..., max(X8, c5)) (ranks from 1).
template <class O>
inline int med5_combine(uint16_t *out, const Med5Scratch &s, int j0, int j1) {
    using V = typename O::V;
    int j = j0;
    for (; j + O::N <= j1; j += O::N) {
        V a[10], b[10], c[5];
        for (int r = 0; r < 10; ++r) {
            a[r] = O::load(s.pair[r] + j);
            b[r] = O::load(s.pair[r] + j + 2);
        }
        for (int r = 0; r < 5; ++r) c[r] = O::load(s.col[r] + j + 4);
        const V t26 = O::max(a[0], b[0]);
        const V t27 = O::min(a[8], b[8]);
        const V t29 = O::min(t27, t26), t30 = O::max(t27, t26);
        const V t31 = O::min(a[4], b[4]), t32 = O::max(a[4], b[4]);
        const V t34 = O::max(t31, t29);
        const V t35 = O::min(t32, t30);
        const V t38 = O::max(a[2], b[2]);
        const V t39 = O::min(a[6], b[6]);
        const V t41 = O::min(t39, t38), t42 = O::max(t39, t38);
        const V t46 = O::max(t41, t34);
        const V t47 = O::min(t42, t35), t48 = O::max(t42, t35);
        const V t52 = O::max(a[1], b[1]);
        const V t53 = O::min(a[9], b[9]);
        const V t55 = O::min(t53, t52), t56 = O::max(t53, t52);
        const V t57 = O::min(a[5], b[5]), t58 = O::max(a[5], b[5]);
        const V t60 = O::max(t57, t55);
        const V t61 = O::min(t58, t56);
        const V t64 = O::max(a[3], b[3]);
        const V t65 = O::min(a[7], b[7]);
        const V t67 = O::min(t65, t64), t68 = O::max(t65, t64);
        const V t71 = O::min(t67, t60), t72 = O::max(t67, t60);
        const V t73 = O::min(t68, t61);
        const V x8 = O::min(t71, t46), x9 = O::max(t71, t46);
        const V x10 = O::min(t72, t47), x11 = O::max(t72, t47);
        const V x12 = O::min(t73, t48), x13 = O::max(t73, t48);
        V r = O::min(x13, O::max(x12, c[0]));
        r = O::min(r, O::max(x11, c[1]));
        r = O::min(r, O::max(x10, c[2]));
        r = O::min(r, O::max(x9, c[3]));
        r = O::min(r, O::max(x8, c[4]));
        O::store(out + j, r);
    }
    return j;
}

template <class O>
void median5_image(uint16_t *dst, const uint16_t *src, int w, int h) {
    Med5Scratch s;
    for (int y = 0; y < h; ++y) {
        const uint16_t *rows[5];
        for (int r = 0; r < 5; ++r) {
            const int yy = iclamp(y - 2 + r, 0, h - 1);
            rows[r] = src + static_cast<size_t>(yy) * static_cast<size_t>(w);
        }
        uint16_t *out = dst + static_cast<size_t>(y) * static_cast<size_t>(w);
        for (int x0 = 0; x0 < w; x0 += MED_CHUNK) {
            const int x1 = imin(x0 + MED_CHUNK, w);
            const int base = x0 - 2;
            const int c0 = imax(base, 0), c1 = imin(x1 + 2, w);
            const int c = med5_sort_cols<O>(s, rows, c0, c1, base);
            med5_sort_cols<ScalarOps>(s, rows, c, c1, base);
            // Window columns outside the image replicate the edge column.
            for (int j = 0; j < c0 - base; ++j)
                for (int r = 0; r < 5; ++r) s.col[r][j] = s.col[r][c0 - base];
            for (int j = c1 - base; j < x1 + 2 - base; ++j)
                for (int r = 0; r < 5; ++r) s.col[r][j] = s.col[r][c1 - 1 - base];
            const int n = x1 - x0;
            const int p = med5_merge_pairs<O>(s, 0, n + 2);
            med5_merge_pairs<ScalarOps>(s, p, n + 2);
            const int j = med5_combine<O>(out + x0, s, 0, n);
            med5_combine<ScalarOps>(out + x0, s, j, n);
        }
    }
}

}  // namespace
