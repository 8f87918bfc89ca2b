// A structure from fuzzed numbers through compute_prdf with small cutoffs.
// Work is bounded up front (images per centre and histogram size) so that one
// run stays short; values the engine must refuse are passed through as they
// are. Integral weights must give bit-identical curves on 1 and 3 threads;
// with pair rules from fuzzed disorder labels, every weighting must.
#include <cmath>
#include <cstring>

#include "fuzz_common.hpp"
#include "engine/exclusions.hpp"
#include "engine/neighbor.hpp"
#include "engine/rdf.hpp"

namespace {

// Rough count of pair images the search would visit; infinite for values
// the engine rejects before searching.
double estimated_work(const molvane::Structure& s, double cutoff, double bin_size) {
    if (!(cutoff > 0.0) || !std::isfinite(cutoff) || !(bin_size > 0.0) || !(bin_size <= cutoff)) return 0.0;
    molvane::Vec3 widths = molvane::perpendicular_widths(s.lattice().matrix());
    double images = 1.0;
    for (double w : widths) images *= 2.0 * cutoff / w + 3.0;
    const double n = static_cast<double>(s.sites().size());
    const double bins = cutoff / bin_size;
    const double nel = static_cast<double>(s.elements().size());
    return images * n * n + bins * nel * nel;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::memcmp(&a[i], &b[i], sizeof(double)) != 0) return false;
    return true;
}

bool same_curves(const molvane::PrdfResult& a, const molvane::PrdfResult& b) {
    if (!same_bits(a.total, b.total) || a.partials.size() != b.partials.size()) return false;
    for (std::size_t k = 0; k < a.partials.size(); ++k)
        if (!same_bits(a.partials[k], b.partials[k])) return false;
    return true;
}

// The structure with fuzzed disorder labels on its sites.
std::optional<molvane::Structure> with_labels(FuzzedDataProvider& in, const molvane::Structure& s) {
    static const char* const texts[] = {"A", "B", "1", "2", "-1", "-2", "0"};
    molvane::Sites sites = s.sites();
    molvane::DisorderLabelTable labels;
    for (std::size_t i = 0; i < sites.size(); ++i) {
        auto label = [&] { return in.ConsumeBool() ? labels.add(texts[in.ConsumeIntegralInRange<int>(0, 6)]) : 0u; };
        const std::uint32_t assembly = label(), group = label();
        sites.columns().disorder.push_back({assembly, group, in.ConsumeIntegralInRange<std::uint64_t>(0, 3)});
    }
    sites.columns().disorder_labels = labels.take();
    auto labelled = molvane::Structure::create(s.lattice(), std::move(sites), s.pbc());
    if (!labelled) return std::nullopt;
    return std::move(*labelled);
}

bool integral_weights(const molvane::Structure& s) {
    for (double occupancy : s.sites().entry_occupancies())
        if (!(occupancy == std::floor(occupancy))) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    double cutoff = in.ConsumeBool() ? in.ConsumeFloatingPointInRange<double>(0.0, 8.0) : fuzz::awkward_double(in);
    double bin_size = in.ConsumeBool() ? in.ConsumeFloatingPointInRange<double>(0.0, 1.0) : fuzz::awkward_double(in);
    const std::uint64_t n_threads = in.ConsumeIntegralInRange<std::uint64_t>(0, 3);
    auto structure = fuzz::fuzzed_structure(in, 24, true);
    if (!structure) return 0;
    const double work = estimated_work(*structure, cutoff, bin_size);
    if (!(work < 3e6)) return 0;  // valid but too slow for a fuzzing run (NaN widths too)

    if (fuzz::dumping())
        std::printf("{%s, \"cutoff\": %s, \"bin_size\": %s, \"n_threads\": %llu}\n",
                    fuzz::json_structure(*structure).c_str(), fuzz::json_number(cutoff).c_str(),
                    fuzz::json_number(bin_size).c_str(), (unsigned long long)n_threads);
    if (fuzz::dumping()) std::fflush(stdout);
    auto result = molvane::compute_prdf(*structure, n_threads, cutoff, bin_size);
    if (!result) {
        if (result.error().message.empty()) fuzz::finding("compute_prdf failed without a message");
        return 0;
    }
    const std::size_t nel = result->elements.size();
    const std::size_t nbins = result->r.size();
    if (result->edges.size() != nbins + 1 || result->total.size() != nbins ||
        result->partials.size() != nel * nel)
        fuzz::finding("result arrays of inconsistent sizes");
    for (const auto& curve : result->partials)
        if (curve.size() != nbins) fuzz::finding("partial curve of the wrong length");

    if (integral_weights(*structure)) {
        auto again = molvane::compute_prdf(*structure, n_threads == 3 ? 1 : 3, cutoff, bin_size);
        if (!again) fuzz::finding("second computation failed");
        if (!same_curves(*result, *again)) fuzz::finding("curves differ between pool sizes");
    }

    // With pair rules from fuzzed labels: non-negative finite values where
    // the independent curves have finite ones, the same bits on any pool,
    // and without partial sites exactly the independent curves.
    auto labelled = with_labels(in, *structure);
    if (!labelled) fuzz::finding("labels refused");
    const double reach = in.ConsumeFloatingPointInRange<double>(0.5, 4.0);
    auto rules = molvane::PairRules::create(*labelled, reach);
    if (!rules) fuzz::finding("rules refused a finite reach");
    auto physical = molvane::compute_prdf(*labelled, n_threads, cutoff, bin_size, &*rules);
    if (!physical) fuzz::finding("physical weighting failed where the independent one did not");
    for (std::size_t k = 0; k < physical->partials.size(); ++k)
        for (std::size_t b = 0; b < nbins; ++b) {
            const double v = physical->partials[k][b];
            if (std::isfinite(result->partials[k][b]) && !(v >= 0.0 && std::isfinite(v)))
                fuzz::finding("physical curve value negative or not finite");
        }
    auto physical_again = molvane::compute_prdf(*labelled, n_threads == 3 ? 1 : 3, cutoff, bin_size, &*rules);
    if (!physical_again || !same_curves(*physical, *physical_again))
        fuzz::finding("physical curves differ between pool sizes");
    if (!rules->any() && !same_curves(*result, *physical))
        fuzz::finding("physical curves differ without partial sites");
    return 0;
}
