#include "noise.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace velk::engine {
namespace {

double median(std::vector<double>& v) {
    const Index n = v.size(), half = n / 2;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(half), v.end());
    const double upper = v[half];
    if (n % 2 == 1) return upper;
    return 0.5 *
           (*std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(half)) + upper);
}

}  // namespace

std::vector<double> rounding_level(const Samples& smp) {
    const PreparedData& s = smp.scaled;
    const Index m = s.x.size(), dim = s.y.cols;
    std::vector<double> out(dim, 0.0);
    for (Index i = 0; i < m; ++i)
        for (Index j = 0; j < dim; ++j)
            out[j] = std::max(out[j], std::fabs(s.y(i, j) + smp.y0[j]) / s.delta[i]);
    const double factor =
        8.0 * std::sqrt(static_cast<double>(m)) * std::numeric_limits<double>::epsilon();
    for (double& v : out) v = std::ldexp(factor * v, smp.ey - smp.ed);
    return out;
}

std::vector<double> noise_level(const Samples& smp) {
    const PreparedData& s = smp.scaled;
    const Index m = s.x.size(), dim = s.y.cols;
    check(m >= 3, "the noise level needs three samples");
    std::vector<double> a(m - 2), scale(m - 2);
    for (Index i = 0; i + 2 < m; ++i) {
        const double x0 = std::ldexp(smp.x[i], -smp.ex), x1 = std::ldexp(smp.x[i + 1], -smp.ex),
                     x2 = std::ldexp(smp.x[i + 2], -smp.ex);
        a[i] = (x2 - x1) / (x2 - x0);
        const double b = 1.0 - a[i];
        const double u = a[i] * s.delta[i], v = s.delta[i + 1], t = b * s.delta[i + 2];
        scale[i] = std::sqrt(u * u + v * v + t * t);
    }
    const std::vector<double> floor = rounding_level(smp);
    std::vector<double> out(dim), z(m - 2), dev(m - 2);
    for (Index j = 0; j < dim; ++j) {
        double squares = 0.0;
        for (Index i = 0; i + 2 < m; ++i) {
            z[i] = (a[i] * s.y(i, j) + (1.0 - a[i]) * s.y(i + 2, j) - s.y(i + 1, j)) / scale[i];
            squares += z[i] * z[i];
        }
        dev = z;
        const double centre = median(dev);
        for (double& v : dev) v = std::fabs(v - centre);
        const double mad = 1.4826 * median(dev);
        const double rms = std::sqrt(squares / static_cast<double>(m - 2));
        const double level = std::max(std::ldexp(mad > 0.0 ? mad : rms, smp.ey - smp.ed), floor[j]);
        out[j] = level > 0.0 ? level : 1.0;
    }
    return out;
}

namespace {

// The samples with each fitted weight w_i replaced by weight(i, w_i), their standard
// deviations and the caller's weights (in the scale 2^ed) kept in step.
template <class Weight>
Samples with_weights(Samples out, Weight weight) {
    PreparedData& s = out.scaled;
    for (Index i = 0; i < s.w.size(); ++i) {
        s.w[i] = weight(i, s.w[i]);
        s.delta[i] = std::sqrt(1.0 / s.w[i]);
        out.w[i] = std::ldexp(s.w[i], -2 * out.ed);
    }
    return out;
}

}  // namespace

Samples rescaled(const Samples& smp, double factor) {
    check(factor > 0.0 && std::isfinite(factor), "a noise factor must be positive and finite");
    int e = 0;
    const double mantissa = std::frexp(factor, &e);  // factor = mantissa * 2^e
    Samples out = smp;
    out.ed = smp.ed + e;
    const double square = mantissa * mantissa;
    return with_weights(std::move(out), [square](Index, double w) { return w / square; });
}

Samples reweighted(const Samples& smp, const VecView& factors) {
    check(factors.size() == smp.size(), "one weight factor per sample");
    return with_weights(smp, [&factors](Index i, double w) { return w * factors[i]; });
}

}  // namespace velk::engine
