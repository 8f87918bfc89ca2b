// The distance kernels: the squared distances of a run of packed sites from
// its centres, in plain C++ and with AVX2 and AVX-512 lanes, all giving the
// same bits; the choice among them; correctly rounded square roots.
#include "engine/kernels.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Vector types appear as template arguments and in helpers that are only
// ever inlined into functions built for their instruction set.
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"
#pragma GCC diagnostic ignored "-Wignored-attributes"
#endif

namespace molvane {

//
// Every operation is a plain IEEE one in the order of the formula, so each
// instruction set gives the same bits. Two shortcuts keep those bits: with
// no image shift x + 0.0 is x, and with a diagonal matrix the off-diagonal
// products are zeros whose addition leaves the diagonal product unchanged
// (up to the sign of a zero, which squaring removes).
template <ProbeForm Form, bool Diagonal, typename T, typename Ops>
__attribute__((always_inline)) inline T squared_distance(T x, T y, T z, const T (&s)[3], const T (&w)[3],
                                                         const T (&m)[3][3], Ops ops) {
    T fx, fy, fz;
    if constexpr (Form == ProbeForm::same_image) {
        fx = ops.sub(x, w[0]);
        fy = ops.sub(y, w[1]);
        fz = ops.sub(z, w[2]);
    } else if constexpr (Form == ProbeForm::forward) {
        fx = ops.sub(ops.add(x, s[0]), w[0]);
        fy = ops.sub(ops.add(y, s[1]), w[1]);
        fz = ops.sub(ops.add(z, s[2]), w[2]);
    } else {
        fx = ops.sub(w[0], x);
        fy = ops.sub(w[1], y);
        fz = ops.sub(w[2], z);
    }
    T cx, cy, cz;
    if constexpr (Diagonal) {
        cx = ops.mul(m[0][0], fx);
        cy = ops.mul(m[1][1], fy);
        cz = ops.mul(m[2][2], fz);
    } else {
        cx = ops.add(ops.add(ops.mul(m[0][0], fx), ops.mul(m[1][0], fy)), ops.mul(m[2][0], fz));
        cy = ops.add(ops.add(ops.mul(m[0][1], fx), ops.mul(m[1][1], fy)), ops.mul(m[2][1], fz));
        cz = ops.add(ops.add(ops.mul(m[0][2], fx), ops.mul(m[1][2], fy)), ops.mul(m[2][2], fz));
    }
    return ops.add(ops.add(ops.mul(cy, cy), ops.mul(cx, cx)), ops.mul(cz, cz));
}

struct ScalarOps {
    static double set1(double v) { return v; }
    static double add(double a, double b) { return a + b; }
    static double sub(double a, double b) { return a - b; }
    static double mul(double a, double b) { return a * b; }
};

// The numbers a kernel holds for a whole run or one centre, as scalars or
// broadcast vectors.
template <typename T, typename Ops>
struct RunConstants {
    T s[3], m[3][3];
    RunConstants(const RunProbe& run, const Mat3& matrix) {
        for (int a = 0; a < 3; ++a) {
            s[a] = Ops::set1(run.shift[a]);
            for (int b = 0; b < 3; ++b) m[a][b] = Ops::set1(matrix[a][b]);
        }
    }
    // Centre i as the formula subtracts it: its coordinates, or for the
    // reverse form its image at -shift, w + (-s).
    template <ProbeForm Form>
    static void centre(const PackedSites& p, const RunProbe& run, std::uint32_t i, T (&w)[3]) {
        const double at[3] = {p.x[i], p.y[i], p.z[i]};
        for (int a = 0; a < 3; ++a) w[a] = Ops::set1(Form == ProbeForm::reverse ? at[a] + -run.shift[a] : at[a]);
    }
};

// Squared distances of one centre's slots into a block (a loop the compiler
// vectorises), then the accepted ones packed.
// Walks the run's centres from out.next (and a centre's window from
// out.resume when a previous call stopped inside it), handing `step` the
// centre's point and index and pieces of at most `Block` slots that fit the
// output; returns the entries written. Steps write through local copies of
// the output pointers, which their stores cannot alias.
template <ProbeForm Form, std::size_t Block, typename T, typename Ops, typename Step>
__attribute__((always_inline)) inline std::size_t walk_centres(const PackedSites& p, const RunProbe& run,
                                                               RunOutput& out, Step step) {
    std::size_t count = 0;
    for (; out.next < run.c_hi; ++out.next, out.resume = 0) {
        const std::uint32_t i = out.next;
        std::uint32_t from = out.resume ? out.resume : run.after_centre ? std::max(run.lo, i + 1) : run.lo;
        T w[3];
        RunConstants<T, Ops>::template centre<Form>(p, run, i, w);
        while (from < run.hi) {
            const std::size_t room = out.room - count;
            if (room < 2 * max_lanes) {
                out.resume = from;
                return count;
            }
            const std::uint32_t end =
                static_cast<std::uint32_t>(std::min<std::size_t>({run.hi, from + room - max_lanes, from + Block}));
            count += step(w, i, from, end, count);
            from = end;
        }
    }
    return count;
}

// Squared distances of a piece into a block (a loop the compiler
// vectorises), then the accepted ones packed.
template <ProbeForm Form, bool Diagonal>
struct PlainKernel {
    static std::size_t run(const PackedSites& p, const RunProbe& run, const Mat3& m, double cutoff_sq,
                           RunOutput& out) {
        constexpr std::size_t block = 256;
        double d2[block];
        const RunConstants<double, ScalarOps> k(run, m);
        std::uint32_t* const out_centre = out.centre;
        std::uint32_t* const out_slot = out.slot;
        double* const out_d2 = out.d2;
        auto step = [&](const double (&w)[3], std::uint32_t i, std::uint32_t from, std::uint32_t end,
                        std::size_t at) {
            const std::size_t len = end - from;
            const double *xs = p.x.data() + from, *ys = p.y.data() + from, *zs = p.z.data() + from;
            for (std::size_t t = 0; t < len; ++t)
                d2[t] = squared_distance<Form, Diagonal>(xs[t], ys[t], zs[t], k.s, w, k.m, ScalarOps{});
            std::size_t count = at;
            for (std::size_t t = 0; t < len; ++t) {
                const double v = d2[t];
                out_centre[count] = i;
                out_slot[count] = from + static_cast<std::uint32_t>(t);
                out_d2[count] = v;
                count += static_cast<std::size_t>((v <= cutoff_sq) & (v > 1e-16));
            }
            return count - at;
        };
        return walk_centres<Form, block, double, ScalarOps>(p, run, out, step);
    }
};

// Calls Kernel<Form, Diagonal>::run for the run's form and matrix.
template <template <ProbeForm, bool> class Kernel>
__attribute__((always_inline)) inline std::size_t dispatch_form(const PackedSites& p, const RunProbe& run,
                                                                const Mat3& m, double cutoff_sq, RunOutput& out) {
#define MOLVANE_FORM(F)                                                        \
    return run.diagonal ? Kernel<F, true>::run(p, run, m, cutoff_sq, out) \
                        : Kernel<F, false>::run(p, run, m, cutoff_sq, out)
    switch (run.form) {
        case ProbeForm::same_image:
            MOLVANE_FORM(ProbeForm::same_image);
        case ProbeForm::forward:
            MOLVANE_FORM(ProbeForm::forward);
        default:
            MOLVANE_FORM(ProbeForm::reverse);
    }
#undef MOLVANE_FORM
}

static std::size_t collect_plain(const PackedSites& p, const RunProbe& run, const Mat3& m, double cutoff_sq,
                                 RunOutput& out) {
    return dispatch_form<PlainKernel>(p, run, m, cutoff_sq, out);
}

#if defined(__x86_64__) && defined(__GNUC__)
#define MOLVANE_X86_DISPATCH 1
#include <immintrin.h>

// The same computation with lanes of W doubles (AVX2: 4, AVX-512: 8). The
// last step of a piece masks the lanes past its end (the packed arrays are
// padded, so the loads stay inside them); accepted lanes are packed by
// `Lanes::compress`, which also writes lanes beyond the kept ones (the
// outputs have room).
template <typename Lanes>
struct LaneKernel {
    template <ProbeForm Form, bool Diagonal>
    struct With {
        __attribute__((always_inline)) static std::size_t run(const PackedSites& p, const RunProbe& run,
                                                              const Mat3& m, double cutoff_sq, RunOutput& out) {
            using V = typename Lanes::V;
            constexpr std::size_t W = Lanes::width;
            const RunConstants<V, Lanes> k(run, m);
            const V upper = Lanes::set1(cutoff_sq), lower = Lanes::set1(1e-16);
            constexpr std::size_t unbounded = std::size_t{1} << 31;
            std::uint32_t* const out_centre = out.centre;
            std::uint32_t* const out_slot = out.slot;
            double* const out_d2 = out.d2;
            auto step = [&](const V (&w)[3], std::uint32_t i, std::uint32_t from, std::uint32_t end,
                            std::size_t at) __attribute__((always_inline)) {
                const std::size_t len = end - from;
                const double *xs = p.x.data() + from, *ys = p.y.data() + from, *zs = p.z.data() + from;
                std::size_t count = at;
                for (std::size_t t = 0; t < len; t += W) {
                    V d2 = squared_distance<Form, Diagonal>(Lanes::load(xs + t), Lanes::load(ys + t),
                                                            Lanes::load(zs + t), k.s, w, k.m, Lanes{});
                    unsigned keep = Lanes::accept(d2, upper, lower);
                    if (len - t < W) keep &= (1u << (len - t)) - 1u;
                    Lanes::compress(keep, d2, from + static_cast<std::uint32_t>(t), out_d2 + count,
                                    out_slot + count);
                    Lanes::fill(out_centre + count, i);
                    count += static_cast<std::size_t>(__builtin_popcount(keep));
                }
                return count - at;
            };
            return walk_centres<Form, unbounded, V, Lanes>(p, run, out, step);
        }
    };
};

// For each 4-bit mask of kept lanes: those lanes first, as 32-bit halves of
// doubles (for the permute of the squared distances) and as lane numbers (for
// the slots).
struct CompressTables {
    std::int32_t halves[16][8];
    std::uint32_t lanes[16][4];
};

constexpr CompressTables make_compress_tables() {
    CompressTables t{};
    for (int mask = 0; mask < 16; ++mask) {
        int k = 0;
        for (int lane = 0; lane < 4; ++lane) {
            if (!(mask >> lane & 1)) continue;
            t.halves[mask][2 * k] = 2 * lane;
            t.halves[mask][2 * k + 1] = 2 * lane + 1;
            t.lanes[mask][k++] = static_cast<std::uint32_t>(lane);
        }
    }
    return t;
}

constexpr CompressTables compress_tables = make_compress_tables();

// Arithmetic on the vector types through the compiler's vector operators,
// which need no instruction-set attribute and so inline anywhere; only the
// comparisons and packing use the intrinsics of their instruction set.
#define MOLVANE_ARITH __attribute__((always_inline))
template <typename V>
struct Arith {
    MOLVANE_ARITH static V load(const double* p) {
        V v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
};

#define MOLVANE_AVX2 __attribute__((target("avx2")))
struct Avx2Lanes {
    using V = __m256d;
    static constexpr std::size_t width = 4;
    MOLVANE_ARITH static V set1(double v) { return V{v, v, v, v}; }
    MOLVANE_ARITH static V load(const double* p) { return Arith<V>::load(p); }
    MOLVANE_ARITH static V add(V a, V b) { return a + b; }
    MOLVANE_ARITH static V sub(V a, V b) { return a - b; }
    MOLVANE_ARITH static V mul(V a, V b) { return a * b; }
    MOLVANE_AVX2 static unsigned accept(const V& d2, const V& upper, const V& lower) {
        V ok = _mm256_and_pd(_mm256_cmp_pd(d2, upper, _CMP_LE_OQ), _mm256_cmp_pd(d2, lower, _CMP_GT_OQ));
        return static_cast<unsigned>(_mm256_movemask_pd(ok));
    }
    MOLVANE_AVX2 static void compress(unsigned keep, const V& d2, std::uint32_t first, double* out_d2,
                                      std::uint32_t* out_slot) {
        const __m256i order = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(compress_tables.halves[keep]));
        _mm256_storeu_pd(out_d2, _mm256_castps_pd(_mm256_permutevar8x32_ps(_mm256_castpd_ps(d2), order)));
        const __m128i lanes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(compress_tables.lanes[keep]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out_slot),
                         _mm_add_epi32(lanes, _mm_set1_epi32(static_cast<int>(first))));
    }
    MOLVANE_AVX2 static void fill(std::uint32_t* out, std::uint32_t value) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_set1_epi32(static_cast<int>(value)));
    }
};
#undef MOLVANE_AVX2

#define MOLVANE_AVX512 __attribute__((target("avx512f,avx512vl")))
struct Avx512Lanes {
    using V = __m512d;
    static constexpr std::size_t width = 8;
    MOLVANE_ARITH static V set1(double v) { return V{v, v, v, v, v, v, v, v}; }
    MOLVANE_ARITH static V load(const double* p) { return Arith<V>::load(p); }
    MOLVANE_ARITH static V add(V a, V b) { return a + b; }
    MOLVANE_ARITH static V sub(V a, V b) { return a - b; }
    MOLVANE_ARITH static V mul(V a, V b) { return a * b; }
    MOLVANE_AVX512 static unsigned accept(const V& d2, const V& upper, const V& lower) {
        return _mm512_cmp_pd_mask(d2, upper, _CMP_LE_OQ) & _mm512_cmp_pd_mask(d2, lower, _CMP_GT_OQ);
    }
    MOLVANE_AVX512 static void compress(unsigned keep, const V& d2, std::uint32_t first, double* out_d2,
                                        std::uint32_t* out_slot) {
        const __mmask8 k = static_cast<__mmask8>(keep);
        _mm512_storeu_pd(out_d2, _mm512_maskz_compress_pd(k, d2));
        const __m256i slots =
            _mm256_add_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), _mm256_set1_epi32(static_cast<int>(first)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out_slot), _mm256_maskz_compress_epi32(k, slots));
    }
    MOLVANE_AVX512 static void fill(std::uint32_t* out, std::uint32_t value) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_set1_epi32(static_cast<int>(value)));
    }
};
#undef MOLVANE_AVX512
#undef MOLVANE_ARITH

// Everything above is inlined (flatten; the kernel body and its step are
// always_inline for compilers whose flatten does not reach them) into these,
// built for their instruction set, so no vector crosses a call. The helpers
// with their own target take vectors by reference: a vector passed by value
// between functions built for different sets would change the calling
// convention, which some compilers refuse.
__attribute__((target("avx2"), flatten)) static std::size_t collect_avx2(const PackedSites& p, const RunProbe& run,
                                                                         const Mat3& m, double cutoff_sq,
                                                                         RunOutput& out) {
    return dispatch_form<LaneKernel<Avx2Lanes>::With>(p, run, m, cutoff_sq, out);
}

__attribute__((target("avx512f,avx512vl"), flatten)) static std::size_t collect_avx512(
    const PackedSites& p, const RunProbe& run, const Mat3& m, double cutoff_sq, RunOutput& out) {
    return dispatch_form<LaneKernel<Avx512Lanes>::With>(p, run, m, cutoff_sq, out);
}
#endif

CollectFn collect_fn(Kernel k) {
#ifdef MOLVANE_X86_DISPATCH
    if (k == Kernel::avx512) return collect_avx512;
    if (k == Kernel::avx2) return collect_avx2;
#else
    (void)k;
#endif
    return collect_plain;
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

// Correctly rounded square roots, four at a time with AVX2 where the distance
// kernels may use it, else two at a time where SSE2 has them (the library
// sqrt would check every value for errno).
namespace {

// The listing of square_roots_listing from index `from` on, one value at a
// time, without a branch on how many lie below.
std::size_t roots_listing_rest(const double* in, double* out, std::size_t from, std::size_t n, double near_sq,
                               std::uint32_t* near, std::size_t count) {
    for (std::size_t t = from; t < n; ++t) {
        out[t] = std::sqrt(in[t]);
        near[count] = static_cast<std::uint32_t>(t);
        count += static_cast<std::size_t>(in[t] < near_sq);
    }
    return count;
}

#ifdef MOLVANE_X86_DISPATCH
// Four values at a time: their roots, and the indices below near_sq stored
// as four lanes at once (the lanes past the count are overwritten later or
// lie within room).
__attribute__((target("avx2"))) std::size_t roots_listing_avx2(const double* in, double* out, std::size_t n, double near_sq,
                                            std::uint32_t* near) {
    std::size_t t = 0, count = 0;
    const __m256d bound = _mm256_set1_pd(near_sq);
    for (; t + 4 <= n; t += 4) {
        const __m256d v = _mm256_loadu_pd(in + t);
        _mm256_storeu_pd(out + t, _mm256_sqrt_pd(v));
        const auto mask = static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(v, bound, _CMP_LT_OQ)));
        const __m128i lanes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(compress_tables.lanes[mask]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(near + count),
                         _mm_add_epi32(_mm_set1_epi32(static_cast<int>(t)), lanes));
        count += static_cast<std::size_t>(std::popcount(mask));
    }
    return roots_listing_rest(in, out, t, n, near_sq, near, count);
}

__attribute__((target("avx2"))) void roots_avx2(const double* in, double* out, std::size_t n) {
    std::size_t t = 0;
    for (; t + 4 <= n; t += 4) _mm256_storeu_pd(out + t, _mm256_sqrt_pd(_mm256_loadu_pd(in + t)));
    for (; t < n; ++t) out[t] = std::sqrt(in[t]);
}
#endif

}  // namespace

std::size_t square_roots_listing(const double* in, double* out, std::size_t n, double near_sq, std::uint32_t* near) {
#ifdef MOLVANE_X86_DISPATCH
    if (current_kernel() != Kernel::plain) return roots_listing_avx2(in, out, n, near_sq, near);
#endif
    return roots_listing_rest(in, out, 0, n, near_sq, near, 0);
}

void square_roots(const double* in, double* out, std::size_t n) {
#ifdef MOLVANE_X86_DISPATCH
    if (current_kernel() != Kernel::plain) return roots_avx2(in, out, n);
#endif
    std::size_t t = 0;
#if defined(__SSE2__)
    for (; t + 2 <= n; t += 2) _mm_storeu_pd(out + t, _mm_sqrt_pd(_mm_loadu_pd(in + t)));
#endif
    for (; t < n; ++t) out[t] = std::sqrt(in[t]);
}

}  // namespace molvane
