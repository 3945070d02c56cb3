#include "wide_extend.hpp"

#include "fast_root.hpp"
#include "segment_kernels.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VELK_WIDE 1
#include <immintrin.h>
#endif

namespace velk::engine {

#ifdef VELK_WIDE

namespace {

// Lane w is the state at first + w * stride; the sample and its rows are the
// same for every lane (the states are candidates of one step).
#define VELK_AVX2 __attribute__((target("avx2")))
using V = __m256d;

VELK_AVX2 inline V all(double v) { return _mm256_set1_pd(v); }
VELK_AVX2 inline V mul(V a, V b) { return _mm256_mul_pd(a, b); }
VELK_AVX2 inline V add(V a, V b) { return _mm256_add_pd(a, b); }
VELK_AVX2 inline V sub(V a, V b) { return _mm256_sub_pd(a, b); }
// Every lane != 0 (true for NaN, as the scalar test), and every lane == 0.
VELK_AVX2 inline bool nonzero(V a) {
    return _mm256_movemask_pd(_mm256_cmp_pd(a, _mm256_setzero_pd(), _CMP_NEQ_UQ)) == 0xF;
}
VELK_AVX2 inline bool zero(V a) {
    return _mm256_movemask_pd(_mm256_cmp_pd(a, _mm256_setzero_pd(), _CMP_EQ_OQ)) == 0xF;
}

struct Lanes {
    double* s[4];
    VELK_AVX2 V load(Index i) const { return _mm256_set_pd(s[3][i], s[2][i], s[1][i], s[0][i]); }
    VELK_AVX2 void store(Index i, V v) const {
        alignas(32) double out[4];
        _mm256_store_pd(out, v);
        for (int w = 0; w < 4; ++w) s[w][i] = out[w];
    }
};

struct WideRot {
    V cs, sn, rho;
};

// FastRoot::of in every lane: the plain root, hypot in the lanes outside its
// range (rare: the states are scaled).
VELK_AVX2 inline V root(V pivot, V q) {
    const V rho = _mm256_sqrt_pd(add(mul(pivot, pivot), mul(q, q)));
    const V in_range = _mm256_and_pd(_mm256_cmp_pd(rho, all(1e-150), _CMP_GT_OQ),
                                     _mm256_cmp_pd(rho, all(1e150), _CMP_LT_OQ));
    if (_mm256_movemask_pd(in_range) == 0xF) return rho;
    alignas(32) double a[4], b[4], r[4];
    _mm256_store_pd(a, pivot);
    _mm256_store_pd(b, q);
    for (int w = 0; w < 4; ++w) r[w] = FastRoot::of(a[w], b[w]);
    return _mm256_load_pd(r);
}

// segment_detail::rotation<FastRoot> in every lane.
VELK_AVX2 inline WideRot rotation(V pivot, V q) {
    const V rho = root(pivot, q);
    return {_mm256_div_pd(pivot, rho), _mm256_div_pd(q, rho), rho};
}

// segment_detail::extend_lanes<4, FastRoot> for states sharing their sample,
// each scalar expression written out as it stands there (the products with
// zero included: they decide signed zeros and NaNs).
VELK_AVX2 bool extend4(double* first, Index m, const CurvatureRows& k, double c_b,
                       const VecView& y_b) {
    if (!(k.k != 0.0 && k.ra != 0.0 && c_b != 0.0)) return false;
    const Index stride = SegmentState::size(m);
    const Lanes st{{first, first + stride, first + 2 * stride, first + 3 * stride}};
    const V z = _mm256_setzero_pd(), r22 = st.load(0), r23 = st.load(1), r33 = st.load(2);
    const WideRot g0 = rotation(r22, all(k.k));
    const WideRot g1 = rotation(r33, all(k.ra));
    const V a21 = sub(mul(g0.cs, all(k.qa)), mul(g0.sn, r23));
    V a22 = sub(mul(g0.cs, all(k.nk)), mul(g0.sn, z));
    V a23 = sub(mul(g0.cs, all(k.qb)), mul(g0.sn, z));
    const V a11 = add(mul(g1.sn, all(k.ra)), mul(g1.cs, r33));
    const V a12 = add(mul(g1.sn, z), mul(g1.cs, z));
    const V a13 = add(mul(g1.sn, all(k.nrb)), mul(g1.cs, z));
    const V a32 = sub(mul(g1.cs, z), mul(g1.sn, z));
    V a33 = sub(mul(g1.cs, all(k.nrb)), mul(g1.sn, z));
    if (!nonzero(a21) || !zero(a32)) return false;
    const WideRot g2 = rotation(a11, a21);
    a22 = sub(mul(g2.cs, a22), mul(g2.sn, a12));
    a23 = sub(mul(g2.cs, a23), mul(g2.sn, a13));
    const V cb = all(c_b);
    const WideRot g3 = rotation(a22, cb);
    const V p22 = a22, p23 = a23;
    a22 = add(mul(g3.sn, cb), mul(g3.cs, p22));
    a23 = add(mul(g3.sn, z), mul(g3.cs, p23));
    const V a43 = sub(mul(g3.cs, z), mul(g3.sn, p23));
    if (!nonzero(a43)) return false;
    const WideRot g5 = rotation(a33, a43);
    a33 = add(mul(g5.sn, a43), mul(g5.cs, a33));
    const V energy = st.load(3);
    V increment = z;
    for (Index t = 0; t < m; ++t) {
        V r1 = st.load(4 + m + t);
        V r4 = all(c_b * y_b[t]);
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
VELK_AVX2 bool extend_lines4(double* first, Index m, double h, double cb, const double* yb) {
    if (cb == 0.0) return false;
    const Index stride = 4 + 2 * m;
    const Lanes st{{first, first + stride, first + 2 * stride, first + 3 * stride}};
    const V r00 = st.load(0), r11 = st.load(2), c = all(cb);
    const V r01 = sub(st.load(1), mul(all(h), r00));
    const WideRot g = rotation(r00, c);
    const V q = _mm256_xor_pd(mul(g.sn, r01), all(-0.0));
    if (!nonzero(q)) return false;
    const WideRot g2 = rotation(r11, q);
    const V energy = st.load(3);
    V increment = _mm256_setzero_pd();
    for (Index k = 0; k < m; ++k) {
        const V data = all(cb * yb[k]), b0 = st.load(4 + k), b1 = st.load(4 + m + k);
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
VELK_AVX2 inline WideRot ar1_rotation(V pivot, V q) {
    const V rho = root(pivot, q), inv = _mm256_div_pd(all(1.0), rho);
    const V positive = _mm256_cmp_pd(rho, _mm256_setzero_pd(), _CMP_GT_OQ);
    return {_mm256_blendv_pd(all(1.0), mul(pivot, inv), positive),
            _mm256_blendv_pd(_mm256_setzero_pd(), mul(q, inv), positive),
            _mm256_blendv_pd(pivot, rho, positive)};
}

VELK_AVX2 inline V neg(V a) { return _mm256_xor_pd(a, all(-0.0)); }

// Ar1State::extend_packed's extension in every lane (extend_rotations, then
// extend_rhs on each component), each expression as it stands there.
VELK_AVX2 void extend_ar14(double* first, Index m, const CurvatureRows& k, double wa_, double wb_,
                           const double* rhs) {
    const Index stride = 4 + 2 * m;
    const Lanes st{{first, first + stride, first + 2 * stride, first + 3 * stride}};
    const V wa = all(wa_), wb = all(wb_), kk = all(k.k), qa = all(k.qa), nk = all(k.nk);
    const V qb = all(k.qb), ra = all(k.ra), nrb = all(k.nrb);
    const V p1 = st.load(1);
    const WideRot g0 = ar1_rotation(st.load(0), kk);
    const V q1 = add(mul(g0.cs, p1), mul(g0.sn, qa)), q2 = mul(g0.sn, nk), q3 = mul(g0.sn, qb);
    const V k1 = sub(mul(g0.cs, qa), mul(g0.sn, p1)), k2 = mul(g0.cs, nk), k3 = mul(g0.cs, qb);
    const WideRot g1 = ar1_rotation(g0.rho, wa);
    const V a1 = mul(neg(g1.sn), q1), a2 = sub(mul(neg(g1.cs), wb), mul(g1.sn, q2));
    const V a3 = mul(neg(g1.sn), q3);
    const WideRot g2 = ar1_rotation(st.load(2), k1);
    const V s2 = mul(g2.sn, k2), s3 = mul(g2.sn, k3);
    const V u2 = mul(g2.cs, k2), u3 = mul(g2.cs, k3);
    const WideRot g3 = ar1_rotation(g2.rho, ra);
    const V t2 = mul(g3.cs, s2), t3 = add(mul(g3.cs, s3), mul(g3.sn, nrb));
    const V v2 = mul(neg(g3.sn), s2), v3 = sub(mul(g3.cs, nrb), mul(g3.sn, s3));
    const WideRot g4 = ar1_rotation(g3.rho, a1);
    const V w2 = sub(mul(g4.cs, a2), mul(g4.sn, t2)), w3 = sub(mul(g4.cs, a3), mul(g4.sn, t3));
    const WideRot g5 = ar1_rotation(u2, v2);
    const V uu3 = add(mul(g5.cs, u3), mul(g5.sn, v3)), vv3 = sub(mul(g5.cs, v3), mul(g5.sn, u3));
    const WideRot g6 = ar1_rotation(g5.rho, w2);
    const V r1 = add(mul(g6.cs, uu3), mul(g6.sn, w3));
    const V ww3 = sub(mul(g6.cs, w3), mul(g6.sn, uu3));
    const WideRot g7 = ar1_rotation(vv3, ww3);
    const V energy = st.load(3);
    V increment = _mm256_setzero_pd();
    for (Index t = 0; t < m; ++t) {
        const V b0 = st.load(4 + t), b1 = st.load(4 + m + t);
        const V q = mul(g0.cs, b0), kt = mul(neg(g0.sn), b0);
        const V a = sub(mul(g1.cs, all(rhs[t])), mul(g1.sn, q));
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

}  // namespace

bool wide_available() {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
}

bool extend_wide4(double* first, Index m, const CurvatureRows& rows, double c_b,
                  const VecView& y_b) {
    return wide_available() && extend4(first, m, rows, c_b, y_b);
}

bool extend_lines_wide4(double* first, Index m, double h, double cb, const double* yb) {
    return wide_available() && extend_lines4(first, m, h, cb, yb);
}

bool extend_ar1_wide4(double* first, Index m, const CurvatureRows& rows, double wa, double wb,
                      const double* rhs) {
    if (!wide_available()) return false;
    extend_ar14(first, m, rows, wa, wb, rhs);
    return true;
}

#else

bool wide_available() { return false; }

bool extend_wide4(double*, Index, const CurvatureRows&, double, const VecView&) { return false; }

bool extend_lines_wide4(double*, Index, double, double, const double*) { return false; }

bool extend_ar1_wide4(double*, Index, const CurvatureRows&, double, double, const double*) {
    return false;
}

#endif

void extend_packed_wide(double* first, Index count, Index m, const CurvatureRows& rows, double c_b,
                        const VecView& y_b) {
    if (!wide_available()) {
        SegmentState::extend_packed<FastRoot>(first, count, m, rows, c_b, y_b);
        return;
    }
    // extend_packed's order: groups of four, each lane on its own where the
    // group leaves the usual pattern, the rest one by one.
    const Index stride = SegmentState::size(m);
    Index k = 0;
    for (; k + 4 <= count; k += 4) {
        double* group = first + k * stride;
        if (!extend_wide4(group, m, rows, c_b, y_b))
            for (Index w = 0; w < 4; ++w)
                SegmentState(group + w * stride, m).extend<FastRoot>(rows, c_b, y_b);
    }
    for (; k < count; ++k) SegmentState(first + k * stride, m).extend<FastRoot>(rows, c_b, y_b);
}

}  // namespace velk::engine
