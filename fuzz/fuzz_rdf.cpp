// A structure from fuzzed numbers through compute_prdf with small cutoffs.
// Work is bounded up front (images per centre and histogram size) so that one
// run stays short; values the engine must refuse are passed through as they
// are. Integral weights must give bit-identical curves on 1 and 3 threads.
#include <cmath>
#include <cstring>

#include "fuzz_common.hpp"
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
        auto same = [](const std::vector<double>& a, const std::vector<double>& b) {
            if (a.size() != b.size()) return false;
            for (std::size_t i = 0; i < a.size(); ++i)
                if (std::memcmp(&a[i], &b[i], sizeof(double)) != 0) return false;
            return true;
        };
        if (!same(result->total, again->total)) fuzz::finding("total differs between pool sizes");
        for (std::size_t k = 0; k < nel * nel; ++k)
            if (!same(result->partials[k], again->partials[k])) fuzz::finding("partial differs between pool sizes");
    }
    return 0;
}
