// Periodic neighbour search.
#include "engine/neighbor.hpp"

#include <atomic>
#include <cmath>
#include <limits>

namespace molvane {

// Float to signed 64-bit: NaN gives 0, out-of-range values saturate.
static std::int64_t saturating_i64(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (v < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(v);
}

// Float to unsigned 64-bit, truncating: NaN and negatives give 0, large values saturate.
static std::uint64_t saturating_u64(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(v);
}

static double cross_length(const Vec3& u, const Vec3& v) {
    double x = u[1] * v[2] - u[2] * v[1];
    double y = u[2] * v[0] - u[0] * v[2];
    double z = u[0] * v[1] - u[1] * v[0];
    return std::sqrt(x * x + y * y + z * z);
}

double wrap_fraction(double f) {
    double w = f - std::floor(f);
    return w < 1.0 ? w : 0.0;
}

std::vector<Vec3> wrap_coordinates(const std::vector<Site>& sites) {
    std::vector<Vec3> out;
    out.reserve(sites.size());
    for (const Site& s : sites)
        out.push_back({wrap_fraction(s.frac_coords[0]), wrap_fraction(s.frac_coords[1]),
                       wrap_fraction(s.frac_coords[2])});
    return out;
}

Vec3 perpendicular_widths(const Mat3& m) {
    const Vec3 &a = m[0], &b = m[1], &c = m[2];
    double volume = std::abs(Lattice::determinant_of(m));
    return {volume / cross_length(b, c), volume / cross_length(c, a), volume / cross_length(a, b)};
}

std::uint64_t sub_cell_of(double w, std::uint64_t n) {
    std::uint64_t k = saturating_u64((w - std::floor(w)) * static_cast<double>(n));
    return std::min(k, n - 1);
}

std::uint64_t cells_for_width(double width, double cutoff) {
    std::int64_t n = saturating_i64(std::floor(width / cutoff));
    return static_cast<std::uint64_t>(std::clamp<std::int64_t>(n, 1, max_cells_per_axis));
}

std::int64_t reach_for(double width, std::uint64_t cells, double cutoff) {
    double sub_width = width / static_cast<double>(cells);
    return saturating_i64(std::ceil(cutoff / sub_width));
}

CellGrid plan_cell_grid(const Mat3& m, double cutoff) {
    CellGrid grid;
    Vec3 widths = perpendicular_widths(m);
    for (int axis = 0; axis < 3; ++axis) {
        grid.cells_per_axis[axis] = cells_for_width(widths[axis], cutoff);
        grid.search_range[axis] = reach_for(widths[axis], grid.cells_per_axis[axis], cutoff);
    }
    return grid;
}

void file_sites(CellGrid& grid, const std::vector<Vec3>& wrapped) {
    const auto& n = grid.cells_per_axis;
    grid.heads.assign(n[0] * n[1] * n[2], -1);
    grid.next.assign(wrapped.size(), -1);
    for (std::size_t i = 0; i < wrapped.size(); ++i) {
        const Vec3& w = wrapped[i];
        std::uint64_t cell = grid.flat_index(sub_cell_of(w[0], n[0]), sub_cell_of(w[1], n[1]),
                                             sub_cell_of(w[2], n[2]));
        grid.next[i] = grid.heads[cell];
        grid.heads[cell] = static_cast<std::int32_t>(i);
    }
}

NeighborSearch::NeighborSearch(const Mat3& m, const std::vector<Vec3>& wrapped, const CellGrid& grid,
                               double cutoff)
    : m_(m), cutoff_sq_(cutoff * cutoff), n_(grid.cells_per_axis), reach_(grid.search_range), home_(wrapped) {
    const std::size_t n_cells = grid.heads.size();
    start_.resize(n_cells + 1);
    x_.reserve(wrapped.size());
    y_.reserve(wrapped.size());
    z_.reserve(wrapped.size());
    site_.reserve(wrapped.size());
    for (std::size_t cell = 0; cell < n_cells; ++cell) {
        start_[cell] = static_cast<std::uint32_t>(site_.size());
        for (std::int32_t j = grid.heads[cell]; j != -1; j = grid.next[static_cast<std::size_t>(j)]) {
            const Vec3& w = wrapped[static_cast<std::size_t>(j)];
            x_.push_back(w[0]);
            y_.push_back(w[1]);
            z_.push_back(w[2]);
            site_.push_back(j);
        }
    }
    start_[n_cells] = static_cast<std::uint32_t>(site_.size());

    // Pruning bounds. A point at fractional offset f from the centre lies at
    // a Cartesian distance of at least |f_a| times the face width d_a along
    // every axis. When the off-diagonal entries E are small, the distance is
    // also at least |f D| - |E| |f| with D the diagonal part, so per-axis
    // squared gaps can be summed against a slightly widened radius.
    Vec3 widths = perpendicular_widths(m);
    double off_sq = 0.0, frac_span_sq = 0.0;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c)
            if (r != c) off_sq += m[r][c] * m[r][c];
        double span = (static_cast<double>(std::max<std::int64_t>(reach_[r], 0)) + 2.0) /
                      static_cast<double>(n_[r]);
        frac_span_sq += span * span;
    }
    const double slack = std::sqrt(off_sq) * std::sqrt(frac_span_sq);
    orthogonal_ = slack <= 1e-6 * cutoff;
    for (int r = 0; r < 3; ++r) length_[r] = orthogonal_ ? std::abs(m[r][r]) : widths[r];
    bound_radius_ = cutoff * (1.0 + 1e-9) + (orthogonal_ ? slack : 0.0) + 1e-12;
    if (!std::isfinite(bound_radius_) || !(length_[0] > 0.0 && length_[1] > 0.0 && length_[2] > 0.0)) {
        // Degenerate numbers: no pruning at all.
        orthogonal_ = false;
        length_ = {0.0, 0.0, 0.0};
    }
}

// Fractional margin for points filed by a rounded product w * n.
static constexpr double filing_margin = 1e-9;

void NeighborSearch::pruned_range(double w, int axis, double left_sq, std::int64_t lo, std::int64_t hi,
                                  std::int64_t& out_lo, std::int64_t& out_hi) const {
    out_lo = lo;
    out_hi = hi;
    const double len = length_[axis];
    if (!(len > 0.0)) return;
    const double n = static_cast<double>(n_[axis]);
    const double half = std::sqrt(left_sq) / len + filing_margin;
    const double first = std::floor((w - half) * n), last = std::floor((w + half) * n);
    if (!(first >= -9.0e18 && last <= 9.0e18)) return;
    out_lo = std::max(lo, static_cast<std::int64_t>(first));
    out_hi = std::min(hi, static_cast<std::int64_t>(last));
}

double NeighborSearch::axis_gap_sq(double w, int axis, std::int64_t k) const {
    if (!orthogonal_) return 0.0;
    const double n = static_cast<double>(n_[axis]);
    const double left = static_cast<double>(k) / n, right = static_cast<double>(k + 1) / n;
    double gap = std::max(left - w, w - right) - filing_margin;
    if (!(gap > 0.0)) return 0.0;
    gap *= length_[axis];
    return gap * gap * (1.0 - 1e-9);
}

// The hot loop. Squared distances are computed for a whole block (a loop
// the compiler vectorises), then the accepted ones are packed. Every
// operation is a plain IEEE one in a fixed order, so each instruction set
// gives the same bits.
static std::size_t collect_images_generic(const double* x, const double* y, const double* z, std::uint32_t lo,
                                          std::uint32_t hi, const double* shift, const double* centre,
                                          const Mat3& m, double cutoff_sq, std::uint32_t* out_slot,
                                          double* out_d2) {
    constexpr std::size_t block = NeighborSearch::Scratch::capacity;
    double d2[block];
    const std::size_t len = hi - lo;
    const double sa = shift[0], sb = shift[1], sc = shift[2];
    const double wa = centre[0], wb = centre[1], wc = centre[2];
    const double m00 = m[0][0], m01 = m[0][1], m02 = m[0][2];
    const double m10 = m[1][0], m11 = m[1][1], m12 = m[1][2];
    const double m20 = m[2][0], m21 = m[2][1], m22 = m[2][2];
    const double* xs = x + lo;
    const double* ys = y + lo;
    const double* zs = z + lo;
    for (std::size_t t = 0; t < len; ++t) {
        double fx = (xs[t] + sa) - wa;
        double fy = (ys[t] + sb) - wb;
        double fz = (zs[t] + sc) - wc;
        double cx = (m00 * fx + m10 * fy) + m20 * fz;
        double cy = (m01 * fx + m11 * fy) + m21 * fz;
        double cz = (m02 * fx + m12 * fy) + m22 * fz;
        d2[t] = (cy * cy + cx * cx) + cz * cz;
    }
    std::size_t count = 0;
    for (std::size_t t = 0; t < len; ++t) {
        double v = d2[t];
        out_slot[count] = lo + static_cast<std::uint32_t>(t);
        out_d2[count] = v;
        count += static_cast<std::size_t>((v <= cutoff_sq) & (v > 1e-16));
    }
    return count;
}

#if defined(__x86_64__) && defined(__GNUC__)
#define MOLVANE_X86_DISPATCH 1
#include <immintrin.h>

// The same computation eight slots at a time, packing accepted lanes with
// the AVX-512 compress instructions.
__attribute__((target("avx512f,avx512vl"))) static std::size_t collect_images_avx512(
    const double* x, const double* y, const double* z, std::uint32_t lo, std::uint32_t hi, const double* shift,
    const double* centre, const Mat3& m, double cutoff_sq, std::uint32_t* out_slot, double* out_d2) {
    const std::size_t len = hi - lo;
    const __m512d sa = _mm512_set1_pd(shift[0]), sb = _mm512_set1_pd(shift[1]), sc = _mm512_set1_pd(shift[2]);
    const __m512d wa = _mm512_set1_pd(centre[0]), wb = _mm512_set1_pd(centre[1]), wc = _mm512_set1_pd(centre[2]);
    const __m512d m00 = _mm512_set1_pd(m[0][0]), m01 = _mm512_set1_pd(m[0][1]), m02 = _mm512_set1_pd(m[0][2]);
    const __m512d m10 = _mm512_set1_pd(m[1][0]), m11 = _mm512_set1_pd(m[1][1]), m12 = _mm512_set1_pd(m[1][2]);
    const __m512d m20 = _mm512_set1_pd(m[2][0]), m21 = _mm512_set1_pd(m[2][1]), m22 = _mm512_set1_pd(m[2][2]);
    const __m512d upper = _mm512_set1_pd(cutoff_sq), lower = _mm512_set1_pd(1e-16);
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const double* xs = x + lo;
    const double* ys = y + lo;
    const double* zs = z + lo;
    std::size_t count = 0, t = 0;
    for (; t + 8 <= len; t += 8) {
        __m512d fx = _mm512_sub_pd(_mm512_add_pd(_mm512_loadu_pd(xs + t), sa), wa);
        __m512d fy = _mm512_sub_pd(_mm512_add_pd(_mm512_loadu_pd(ys + t), sb), wb);
        __m512d fz = _mm512_sub_pd(_mm512_add_pd(_mm512_loadu_pd(zs + t), sc), wc);
        __m512d cx = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(m00, fx), _mm512_mul_pd(m10, fy)),
                                   _mm512_mul_pd(m20, fz));
        __m512d cy = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(m01, fx), _mm512_mul_pd(m11, fy)),
                                   _mm512_mul_pd(m21, fz));
        __m512d cz = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(m02, fx), _mm512_mul_pd(m12, fy)),
                                   _mm512_mul_pd(m22, fz));
        __m512d d2 = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(cy, cy), _mm512_mul_pd(cx, cx)),
                                   _mm512_mul_pd(cz, cz));
        __mmask8 keep = _mm512_cmp_pd_mask(d2, upper, _CMP_LE_OQ) & _mm512_cmp_pd_mask(d2, lower, _CMP_GT_OQ);
        if (keep == 0) continue;
        // Lanes beyond the kept ones are written too; the caller's buffers
        // have room for them (count <= t).
        _mm512_storeu_pd(out_d2 + count, _mm512_maskz_compress_pd(keep, d2));
        __m256i slots = _mm256_add_epi32(lane, _mm256_set1_epi32(static_cast<int>(lo + t)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out_slot + count), _mm256_maskz_compress_epi32(keep, slots));
        count += static_cast<std::size_t>(__builtin_popcount(keep));
    }
    if (t < len) {
        count += collect_images_generic(x, y, z, lo + static_cast<std::uint32_t>(t), hi, shift, centre, m, cutoff_sq,
                                        out_slot + count, out_d2 + count);
    }
    return count;
}

__attribute__((target("avx2"))) static std::size_t collect_images_avx2(
    const double* x, const double* y, const double* z, std::uint32_t lo, std::uint32_t hi, const double* shift,
    const double* centre, const Mat3& m, double cutoff_sq, std::uint32_t* out_slot, double* out_d2) {
    return collect_images_generic(x, y, z, lo, hi, shift, centre, m, cutoff_sq, out_slot, out_d2);
}
#endif

using CollectFn = std::size_t (*)(const double*, const double*, const double*, std::uint32_t, std::uint32_t,
                                  const double*, const double*, const Mat3&, double, std::uint32_t*, double*);

static CollectFn collect_fn(Kernel k) {
#ifdef MOLVANE_X86_DISPATCH
    if (k == Kernel::avx512) return collect_images_avx512;
    if (k == Kernel::avx2) return collect_images_avx2;
#else
    (void)k;
#endif
    return collect_images_generic;
}

static constexpr const char* kernel_names[] = {"plain", "avx2", "avx512"};

std::optional<Kernel> kernel_named(std::string_view name) {
    for (int k = 0; k < 3; ++k)
        if (name == kernel_names[k]) return static_cast<Kernel>(k);
    return std::nullopt;
}

const char* kernel_name(Kernel k) { return kernel_names[static_cast<int>(k)]; }

bool kernel_supported(Kernel k) {
    if (k == Kernel::plain) return true;
#ifdef MOLVANE_X86_DISPATCH
    __builtin_cpu_init();
    if (k == Kernel::avx2) return __builtin_cpu_supports("avx2");
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
#else
    return false;
#endif
}

static Kernel best_kernel() {
    for (Kernel k : {Kernel::avx512, Kernel::avx2})
        if (kernel_supported(k)) return k;
    return Kernel::plain;
}

static std::atomic<Kernel> active_kernel{best_kernel()};

Kernel current_kernel() { return active_kernel.load(std::memory_order_relaxed); }

Kernel set_kernel(Kernel k) { return active_kernel.exchange(k, std::memory_order_relaxed); }

std::size_t collect_images(const double* x, const double* y, const double* z, std::uint32_t lo, std::uint32_t hi,
                           const double* shift, const double* centre, const Mat3& m, double cutoff_sq,
                           std::uint32_t* out_slot, double* out_d2) {
    return collect_fn(current_kernel())(x, y, z, lo, hi, shift, centre, m, cutoff_sq, out_slot, out_d2);
}

// Square roots cannot fail here (no negative input), so errno handling is
// dropped to let the loop vectorise; sqrt stays correctly rounded.
#if defined(__GNUC__) && !defined(__clang__)
__attribute__((optimize("no-math-errno")))
#endif
void square_roots(const double* in, double* out, std::size_t n) {
    for (std::size_t t = 0; t < n; ++t) out[t] = std::sqrt(in[t]);
}

}  // namespace molvane
