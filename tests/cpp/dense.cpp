#include "dense.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vt {

std::uint64_t Rng::next() {
    std::uint64_t z = (s_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

double Rng::uniform(double lo, double hi) {
    return lo + (hi - lo) * std::ldexp(static_cast<double>(next() >> 11), -53);
}

Index Rng::below(Index n) { return static_cast<Index>(next() % n); }

double Rng::normal() {
    const double a = uniform(1e-300, 1.0), b = uniform();
    return std::sqrt(-2.0 * std::log(a)) * std::cos(6.283185307179586 * b);
}

void gauss_solve(Banded& A, std::vector<double>& B, Index k) {
    const Index n = A.n;
    for (Index col = 0; col < n; ++col) {
        const Index low = std::min(n - 1, col + A.band);
        for (Index i = col + 1; i <= low; ++i) {
            const double f = A(i, col) / A(col, col);
            for (Index j = col; j <= low; ++j) A(i, j) -= f * A(col, j);
            for (Index j = 0; j < k; ++j) B[i * k + j] -= f * B[col * k + j];
        }
    }
    for (Index col = n; col-- > 0;)
        for (Index j = 0; j < k; ++j) {
            double s = B[col * k + j];
            for (Index i = col + 1; i <= std::min(n - 1, col + A.band); ++i)
                s -= A(col, i) * B[i * k + j];
            B[col * k + j] = s / A(col, col);
        }
}

PreparedData random_samples(Rng& rng, Index n, Index dim, bool uneven, bool weighted) {
    PreparedData d;
    d.y = Matrix(n, dim);
    std::vector<double> level(dim, 0.0);
    const double period = rng.uniform(2.0, 20.0);
    double x = rng.uniform(-5.0, 5.0);
    for (Index i = 0; i < n; ++i) {
        x += uneven ? rng.uniform(0.2, 1.8) : 1.0;
        d.x.push_back(x);
        const bool jump = rng.uniform() < 0.15;
        for (Index j = 0; j < dim; ++j) {
            if (jump) level[j] += 3.0 * rng.normal();
            d.y(i, j) = level[j] + std::sin(x / period + static_cast<double>(j)) + rng.normal();
        }
        const double delta = weighted ? rng.uniform(0.5, 2.0) : 1.0;
        d.w.push_back(1.0 / (delta * delta));
        d.delta.push_back(delta);
    }
    return d;
}

namespace {

// f'' at both ends of the interval from sample i, of length h, as rows over
// (f_a, u_a, f_b, u_b); f'' is linear there, so int f''^2 = h/3 (A^2 + A B + B^2).
struct Curvature {
    double h, a[4], b[4];
    Curvature(const PreparedData& d, Index i)
        : h(d.x[i + 1] - d.x[i]),
          a{-6 / (h * h), -4 / h, 6 / (h * h), -2 / h},
          b{6 / (h * h), 2 / h, -6 / (h * h), 4 / h} {}
};

}  // namespace

SplineSolution dense_spline(const PreparedData& d, Index l, Index r, double p) {
    const Index k = r - l + 1, dim = d.y.cols, n = 2 * k;
    Banded A(n, 3);  // (f_i, u_i) meet (f_i+1, u_i+1) only
    std::vector<double> B(n * dim, 0.0);
    for (Index i = 0; i < k; ++i) {
        A(2 * i, 2 * i) += p * d.w[l + i];
        for (Index j = 0; j < dim; ++j) B[2 * i * dim + j] = p * d.w[l + i] * d.y(l + i, j);
    }
    for (Index i = 0; i + 1 < k; ++i) {
        const Curvature c(d, l + i);
        for (Index s = 0; s < 4; ++s)
            for (Index t = 0; t < 4; ++t)
                A(2 * i + s, 2 * i + t) +=
                    (1 - p) * c.h / 3 *
                    (c.a[s] * c.a[t] + (c.a[s] * c.b[t] + c.b[s] * c.a[t]) / 2 + c.b[s] * c.b[t]);
    }
    gauss_solve(A, B, dim);
    SplineSolution out{Matrix(k, dim), Matrix(k, dim)};
    for (Index i = 0; i < k; ++i)
        for (Index j = 0; j < dim; ++j) {
            out.f(i, j) = B[2 * i * dim + j];
            out.u(i, j) = B[(2 * i + 1) * dim + j];
            const double e = d.y(l + i, j) - out.f(i, j);
            out.energy += p * d.w[l + i] * e * e;
        }
    for (Index i = 0; i + 1 < k; ++i) {
        const Curvature c(d, l + i);
        for (Index j = 0; j < dim; ++j) {
            const double v[4] = {out.f(i, j), out.u(i, j), out.f(i + 1, j), out.u(i + 1, j)};
            double fa = 0.0, fb = 0.0;
            for (Index s = 0; s < 4; ++s) fa += c.a[s] * v[s], fb += c.b[s] * v[s];
            out.energy += (1 - p) * c.h / 3 * (fa * fa + fa * fb + fb * fb);
        }
    }
    return out;
}

LineSolution dense_line(const PreparedData& d, Index l, Index r) {
    // Centred at the weighted mean of x, where the intercept and the slope
    // decouple: each a weighted mean.
    double sw = 0.0, sx = 0.0, stt = 0.0;
    for (Index i = l; i <= r; ++i) sw += d.w[i], sx += d.w[i] * d.x[i];
    const double xm = sx / sw;
    for (Index i = l; i <= r; ++i) stt += d.w[i] * (d.x[i] - xm) * (d.x[i] - xm);
    LineSolution out;
    for (Index j = 0; j < d.y.cols; ++j) {
        double sy = 0.0, sty = 0.0;
        for (Index i = l; i <= r; ++i)
            sy += d.w[i] * d.y(i, j), sty += d.w[i] * (d.x[i] - xm) * d.y(i, j);
        const double mean = sy / sw, slope = sty / stt;
        out.slope.push_back(slope);
        out.at0.push_back(mean - slope * xm);
        for (Index i = l; i <= r; ++i) {
            const double e = d.y(i, j) - (mean + slope * (d.x[i] - xm));
            out.energy += d.w[i] * e * e;
        }
    }
    return out;
}

Programme unpruned(Index n, double gamma, const std::function<double(Index, Index)>& energy) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    Programme out{std::vector<double>(n, 0.0), std::vector<double>(n, kInf),
                  std::vector<Index>(n, 0)};
    for (Index r = 2; r < n; ++r) {
        double best = energy(0, r), second = kInf;
        for (Index l = r - 1; l >= 1; --l) {
            const double cand = out.F[l - 1] + gamma + energy(l, r);
            if (cand < best) {
                second = best;
                best = cand;
                out.start[r] = l;
            } else {
                second = std::min(second, cand);
            }
        }
        out.F[r] = best;
        out.margin[r] = second - best;
    }
    return out;
}

double top_of(const Matrix& y) {
    double top = 0.0;
    for (double v : y.data) top = std::max(top, std::fabs(v));
    return top;
}

double poly(const PPForm& pp, Index piece, Index j, double dt, int der) {
    const double* c = pp.coefs.row(piece * pp.dim + j);
    double v = 0.0;
    for (Index m = 0; m < pp.order; ++m) {
        const int power = static_cast<int>(pp.order - 1 - m);
        if (power < der) continue;
        double factor = 1.0;
        for (int q = 0; q < der; ++q) factor *= power - q;
        v += c[m] * factor * std::pow(dt, power - der);
    }
    return v;
}

}  // namespace vt
