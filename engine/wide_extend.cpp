#include "wide_extend.hpp"

#include "fast_root.hpp"
#include "segment_kernels.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VELK_WIDE 1
#include <cpuid.h>
#include <immintrin.h>
// __m256d as a template argument drops its may_alias attribute: harmless here,
// where the registers are only ever values.
#pragma GCC diagnostic ignored "-Wignored-attributes"
#endif

namespace velk::engine {

#ifdef VELK_WIDE

namespace {

// Lane w is the state at first + w * stride; the sample and its rows are the
// same for every lane (the states are candidates of one step). A kernel runs
// on one register of four lanes (V4) or on two at once (V8), whose chains of
// dependent roots and divisions then overlap.
#define VELK_AVX2 __attribute__((target("avx2")))
using V4 = __m256d;
struct V8 {
    V4 lo, hi;
};
template <class V>
constexpr int kWidth = sizeof(V) / sizeof(double);

template <class V>
VELK_AVX2 inline V all(double v);
template <>
VELK_AVX2 inline V4 all<V4>(double v) {
    return _mm256_set1_pd(v);
}
template <>
VELK_AVX2 inline V8 all<V8>(double v) {
    return {_mm256_set1_pd(v), _mm256_set1_pd(v)};
}
VELK_AVX2 inline V4 mul(V4 a, V4 b) { return _mm256_mul_pd(a, b); }
VELK_AVX2 inline V4 add(V4 a, V4 b) { return _mm256_add_pd(a, b); }
VELK_AVX2 inline V4 sub(V4 a, V4 b) { return _mm256_sub_pd(a, b); }
VELK_AVX2 inline V4 div(V4 a, V4 b) { return _mm256_div_pd(a, b); }
VELK_AVX2 inline V4 neg(V4 a) { return _mm256_xor_pd(a, _mm256_set1_pd(-0.0)); }
VELK_AVX2 inline V8 mul(V8 a, V8 b) { return {mul(a.lo, b.lo), mul(a.hi, b.hi)}; }
VELK_AVX2 inline V8 add(V8 a, V8 b) { return {add(a.lo, b.lo), add(a.hi, b.hi)}; }
VELK_AVX2 inline V8 sub(V8 a, V8 b) { return {sub(a.lo, b.lo), sub(a.hi, b.hi)}; }
VELK_AVX2 inline V8 div(V8 a, V8 b) { return {div(a.lo, b.lo), div(a.hi, b.hi)}; }
VELK_AVX2 inline V8 neg(V8 a) { return {neg(a.lo), neg(a.hi)}; }
// Every lane != 0 (true for NaN, as the scalar test), and every lane == 0.
VELK_AVX2 inline bool nonzero(V4 a) {
    return _mm256_movemask_pd(_mm256_cmp_pd(a, _mm256_setzero_pd(), _CMP_NEQ_UQ)) == 0xF;
}
VELK_AVX2 inline bool zero(V4 a) {
    return _mm256_movemask_pd(_mm256_cmp_pd(a, _mm256_setzero_pd(), _CMP_EQ_OQ)) == 0xF;
}
VELK_AVX2 inline bool nonzero(V8 a) { return nonzero(a.lo) && nonzero(a.hi); }
VELK_AVX2 inline bool zero(V8 a) { return zero(a.lo) && zero(a.hi); }

template <class V>
struct Lanes {
    double* s[kWidth<V>];
    VELK_AVX2 Lanes(double* first, Index stride) {
        for (int w = 0; w < kWidth<V>; ++w) s[w] = first + w * stride;
    }
    VELK_AVX2 V4 quad(Index i, int w) const {
        return _mm256_set_pd(s[w + 3][i], s[w + 2][i], s[w + 1][i], s[w][i]);
    }
    VELK_AVX2 void put(Index i, int w, V4 v) const {
        alignas(32) double out[4];
        _mm256_store_pd(out, v);
        for (int k = 0; k < 4; ++k) s[w + k][i] = out[k];
    }
    VELK_AVX2 V load(Index i) const {
        if constexpr (kWidth<V> == 4)
            return quad(i, 0);
        else
            return {quad(i, 0), quad(i, 4)};
    }
    VELK_AVX2 void store(Index i, V v) const {
        if constexpr (kWidth<V> == 4) {
            put(i, 0, v);
        } else {
            put(i, 0, v.lo);
            put(i, 4, v.hi);
        }
    }
};

template <class V>
struct WideRot {
    V cs, sn, rho;
};

// FastRoot::of in every lane: the plain root, hypot in the lanes outside its
// range (rare: the states are scaled).
VELK_AVX2 inline V4 root(V4 pivot, V4 q) {
    const V4 rho = _mm256_sqrt_pd(add(mul(pivot, pivot), mul(q, q)));
    const V4 in_range = _mm256_and_pd(_mm256_cmp_pd(rho, all<V4>(1e-150), _CMP_GT_OQ),
                                      _mm256_cmp_pd(rho, all<V4>(1e150), _CMP_LT_OQ));
    if (_mm256_movemask_pd(in_range) == 0xF) return rho;
    alignas(32) double a[4], b[4], r[4];
    _mm256_store_pd(a, pivot);
    _mm256_store_pd(b, q);
    for (int w = 0; w < 4; ++w) r[w] = FastRoot::of(a[w], b[w]);
    return _mm256_load_pd(r);
}
VELK_AVX2 inline V8 root(V8 pivot, V8 q) { return {root(pivot.lo, q.lo), root(pivot.hi, q.hi)}; }

// segment_detail::rotation<FastRoot> in every lane.
template <class V>
VELK_AVX2 inline WideRot<V> rotation(V pivot, V q) {
    const V rho = root(pivot, q);
    return {div(pivot, rho), div(q, rho), rho};
}

// segment_detail::extend_lanes<4, FastRoot> for states sharing their sample,
// each scalar expression written out as it stands there (the products with
// zero included: they decide signed zeros and NaNs).
template <class V>
VELK_AVX2 bool extend_spline(double* first, Index m, const CurvatureRows& k, double c_b,
                             const VecView& y_b) {
    if (!(k.k != 0.0 && k.ra != 0.0 && c_b != 0.0)) return false;
    const Lanes<V> st(first, SegmentState::size(m));
    const V z = all<V>(0.0), r22 = st.load(0), r23 = st.load(1), r33 = st.load(2);
    const WideRot<V> g0 = rotation(r22, all<V>(k.k));
    const WideRot<V> g1 = rotation(r33, all<V>(k.ra));
    const V a21 = sub(mul(g0.cs, all<V>(k.qa)), mul(g0.sn, r23));
    V a22 = sub(mul(g0.cs, all<V>(k.nk)), mul(g0.sn, z));
    V a23 = sub(mul(g0.cs, all<V>(k.qb)), mul(g0.sn, z));
    const V a11 = add(mul(g1.sn, all<V>(k.ra)), mul(g1.cs, r33));
    const V a12 = add(mul(g1.sn, z), mul(g1.cs, z));
    const V a13 = add(mul(g1.sn, all<V>(k.nrb)), mul(g1.cs, z));
    const V a32 = sub(mul(g1.cs, z), mul(g1.sn, z));
    V a33 = sub(mul(g1.cs, all<V>(k.nrb)), mul(g1.sn, z));
    if (!nonzero(a21) || !zero(a32)) return false;
    const WideRot<V> g2 = rotation(a11, a21);
    a22 = sub(mul(g2.cs, a22), mul(g2.sn, a12));
    a23 = sub(mul(g2.cs, a23), mul(g2.sn, a13));
    const V cb = all<V>(c_b);
    const WideRot<V> g3 = rotation(a22, cb);
    const V p22 = a22, p23 = a23;
    a22 = add(mul(g3.sn, cb), mul(g3.cs, p22));
    a23 = add(mul(g3.sn, z), mul(g3.cs, p23));
    const V a43 = sub(mul(g3.cs, z), mul(g3.sn, p23));
    if (!nonzero(a43)) return false;
    const WideRot<V> g5 = rotation(a33, a43);
    a33 = add(mul(g5.sn, a43), mul(g5.cs, a33));
    const V energy = st.load(3);
    V increment = z;
    for (Index t = 0; t < m; ++t) {
        V r1 = st.load(4 + m + t);
        V r4 = all<V>(c_b * y_b[t]);
        V r2 = sub(mul(g0.cs, z), mul(g0.sn, st.load(4 + t)));
        V r3 = sub(mul(g1.cs, z), mul(g1.sn, r1));
        r1 = add(mul(g1.sn, z), mul(g1.cs, r1));
        r2 = sub(mul(g2.cs, r2), mul(g2.sn, r1));
        V p = r2;
        r2 = add(mul(g3.sn, r4), mul(g3.cs, p));
        r4 = sub(mul(g3.cs, r4), mul(g3.sn, p));
        p = r3;
        r3 = add(mul(g5.sn, r4), mul(g5.cs, p));
        r4 = sub(mul(g5.cs, r4), mul(g5.sn, p));
        st.store(4 + t, r2);
        st.store(4 + m + t, r3);
        increment = add(increment, mul(r4, r4));
    }
    st.store(0, a22);
    st.store(1, a23);
    st.store(2, a33);
    st.store(3, add(increment, energy));
    return true;
}

// LineModel::extend in every lane, for the usual pattern: both rotations
// performed (the sample has a weight, and what is left of its row is not
// zero).
template <class V>
VELK_AVX2 bool extend_lines(double* first, Index m, double h, double cb, const double* yb) {
    if (cb == 0.0) return false;
    const Lanes<V> st(first, 4 + 2 * m);
    const V r00 = st.load(0), r11 = st.load(2), c = all<V>(cb);
    const V r01 = sub(st.load(1), mul(all<V>(h), r00));
    const WideRot<V> g = rotation(r00, c);
    const V q = neg(mul(g.sn, r01));
    if (!nonzero(q)) return false;
    const WideRot<V> g2 = rotation(r11, q);
    const V energy = st.load(3);
    V increment = all<V>(0.0);
    for (Index k = 0; k < m; ++k) {
        const V data = all<V>(cb * yb[k]), b0 = st.load(4 + k), b1 = st.load(4 + m + k);
        const V d = sub(mul(g.cs, data), mul(g.sn, b0));
        st.store(4 + k, add(mul(g.cs, b0), mul(g.sn, data)));
        const V res = sub(mul(g2.cs, d), mul(g2.sn, b1));
        st.store(4 + m + k, add(mul(g2.cs, b1), mul(g2.sn, d)));
        increment = add(increment, mul(res, res));
    }
    st.store(0, g.rho);
    st.store(1, mul(g.cs, r01));
    st.store(2, g2.rho);
    st.store(3, add(increment, energy));
    return true;
}

// The rotation of the AR(1) states (ar1.cpp) in every lane: by the inverse
// root, and none (cs 1, sn 0, the pivot kept) where the root is not positive.
VELK_AVX2 inline WideRot<V4> ar1_rotation(V4 pivot, V4 q) {
    const V4 rho = root(pivot, q), inv = div(all<V4>(1.0), rho);
    const V4 positive = _mm256_cmp_pd(rho, _mm256_setzero_pd(), _CMP_GT_OQ);
    return {_mm256_blendv_pd(all<V4>(1.0), mul(pivot, inv), positive),
            _mm256_blendv_pd(_mm256_setzero_pd(), mul(q, inv), positive),
            _mm256_blendv_pd(pivot, rho, positive)};
}
VELK_AVX2 inline WideRot<V8> ar1_rotation(V8 pivot, V8 q) {
    const WideRot<V4> lo = ar1_rotation(pivot.lo, q.lo), hi = ar1_rotation(pivot.hi, q.hi);
    return {{lo.cs, hi.cs}, {lo.sn, hi.sn}, {lo.rho, hi.rho}};
}

// Ar1State::extend_packed's extension in every lane (extend_rotations, then
// extend_rhs on each component), each expression as it stands there.
template <class V>
VELK_AVX2 void extend_ar1(double* first, Index m, const CurvatureRows& k, double wa_, double wb_,
                          const double* rhs) {
    const Lanes<V> st(first, 4 + 2 * m);
    const V wa = all<V>(wa_), wb = all<V>(wb_), kk = all<V>(k.k), qa = all<V>(k.qa),
            nk = all<V>(k.nk);
    const V qb = all<V>(k.qb), ra = all<V>(k.ra), nrb = all<V>(k.nrb);
    const V p1 = st.load(1);
    const WideRot<V> g0 = ar1_rotation(st.load(0), kk);
    const V q1 = add(mul(g0.cs, p1), mul(g0.sn, qa)), q2 = mul(g0.sn, nk), q3 = mul(g0.sn, qb);
    const V k1 = sub(mul(g0.cs, qa), mul(g0.sn, p1)), k2 = mul(g0.cs, nk), k3 = mul(g0.cs, qb);
    const WideRot<V> g1 = ar1_rotation(g0.rho, wa);
    const V a1 = mul(neg(g1.sn), q1), a2 = sub(mul(neg(g1.cs), wb), mul(g1.sn, q2));
    const V a3 = mul(neg(g1.sn), q3);
    const WideRot<V> g2 = ar1_rotation(st.load(2), k1);
    const V s2 = mul(g2.sn, k2), s3 = mul(g2.sn, k3);
    const V u2 = mul(g2.cs, k2), u3 = mul(g2.cs, k3);
    const WideRot<V> g3 = ar1_rotation(g2.rho, ra);
    const V t2 = mul(g3.cs, s2), t3 = add(mul(g3.cs, s3), mul(g3.sn, nrb));
    const V v2 = mul(neg(g3.sn), s2), v3 = sub(mul(g3.cs, nrb), mul(g3.sn, s3));
    const WideRot<V> g4 = ar1_rotation(g3.rho, a1);
    const V w2 = sub(mul(g4.cs, a2), mul(g4.sn, t2)), w3 = sub(mul(g4.cs, a3), mul(g4.sn, t3));
    const WideRot<V> g5 = ar1_rotation(u2, v2);
    const V uu3 = add(mul(g5.cs, u3), mul(g5.sn, v3)), vv3 = sub(mul(g5.cs, v3), mul(g5.sn, u3));
    const WideRot<V> g6 = ar1_rotation(g5.rho, w2);
    const V r1 = add(mul(g6.cs, uu3), mul(g6.sn, w3));
    const V ww3 = sub(mul(g6.cs, w3), mul(g6.sn, uu3));
    const WideRot<V> g7 = ar1_rotation(vv3, ww3);
    const V energy = st.load(3);
    V increment = all<V>(0.0);
    for (Index t = 0; t < m; ++t) {
        const V b0 = st.load(4 + t), b1 = st.load(4 + m + t);
        const V q = mul(g0.cs, b0), kt = mul(neg(g0.sn), b0);
        const V a = sub(mul(g1.cs, all<V>(rhs[t])), mul(g1.sn, q));
        const V s = add(mul(g2.cs, b1), mul(g2.sn, kt)), u = sub(mul(g2.cs, kt), mul(g2.sn, b1));
        const V tt = mul(g3.cs, s), v = mul(neg(g3.sn), s);
        const V w = sub(mul(g4.cs, a), mul(g4.sn, tt));
        const V uu = add(mul(g5.cs, u), mul(g5.sn, v)), vv = sub(mul(g5.cs, v), mul(g5.sn, u));
        st.store(4 + t, add(mul(g6.cs, uu), mul(g6.sn, w)));
        const V ww = sub(mul(g6.cs, w), mul(g6.sn, uu));
        st.store(4 + m + t, add(mul(g7.cs, vv), mul(g7.sn, ww)));
        const V res = sub(mul(g7.cs, ww), mul(g7.sn, vv));
        increment = add(increment, mul(res, res));
    }
    st.store(0, g6.rho);
    st.store(1, r1);
    st.store(2, g7.rho);
    st.store(3, add(increment, energy));
}

#undef VELK_AVX2

// AVX2 in the processor (cpuid leaf 7) and its registers saved by the system
// (OSXSAVE, and XCR0's SSE and AVX state): read directly, since not every
// toolchain this builds with (Apple's among them) links a cpu-model runtime.
bool has_avx2() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & (1u << 27)) || !(c & (1u << 28))) return false;
    unsigned lo = 0, hi = 0;
    __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    if ((lo & 6u) != 6u) return false;
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & (1u << 5));
}

}  // namespace

bool wide_available() {
    static const bool avx2 = has_avx2();
    return avx2;
}

bool extend_wide(double* first, Index lanes, Index m, const CurvatureRows& rows, double c_b,
                 const VecView& y_b) {
    if (!wide_available()) return false;
    return lanes == 8 ? extend_spline<V8>(first, m, rows, c_b, y_b)
                      : extend_spline<V4>(first, m, rows, c_b, y_b);
}

bool extend_lines_wide(double* first, Index lanes, Index m, double h, double cb, const double* yb) {
    if (!wide_available()) return false;
    return lanes == 8 ? extend_lines<V8>(first, m, h, cb, yb)
                      : extend_lines<V4>(first, m, h, cb, yb);
}

bool extend_ar1_wide(double* first, Index lanes, Index m, const CurvatureRows& rows, double wa,
                     double wb, const double* rhs) {
    if (!wide_available()) return false;
    if (lanes == 8)
        extend_ar1<V8>(first, m, rows, wa, wb, rhs);
    else
        extend_ar1<V4>(first, m, rows, wa, wb, rhs);
    return true;
}

#else

bool wide_available() { return false; }

bool extend_wide(double*, Index, Index, const CurvatureRows&, double, const VecView&) {
    return false;
}

bool extend_lines_wide(double*, Index, Index, double, double, const double*) { return false; }

bool extend_ar1_wide(double*, Index, Index, const CurvatureRows&, double, double, const double*) {
    return false;
}

#endif

void extend_packed_wide(double* first, Index count, Index m, const CurvatureRows& rows, double c_b,
                        const VecView& y_b) {
    if (!wide_available()) {
        SegmentState::extend_packed<FastRoot>(first, count, m, rows, c_b, y_b);
        return;
    }
    extend_in_groups(
        first, count, SegmentState::size(m),
        [&](double* group, Index lanes) { return extend_wide(group, lanes, m, rows, c_b, y_b); },
        [&](double* state) { SegmentState(state, m).extend<FastRoot>(rows, c_b, y_b); });
}

}  // namespace velk::engine
