// expand_occupancies on structures with fuzzed occupancies and arguments.
// max_sites is kept modest so one run stays short; seeds and denominators
// take any value.
#include <cmath>
#include <cstring>

#include "disorder/expand.hpp"
#include "fuzz_common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::uint64_t max_sites = in.ConsumeIntegralInRange<std::uint64_t>(0, 3000);
    const std::uint64_t seed = in.ConsumeIntegral<std::uint64_t>();
    std::uint64_t max_denominator;
    switch (in.ConsumeIntegral<std::uint8_t>() % 4) {
        case 0: max_denominator = in.ConsumeIntegralInRange<std::uint64_t>(0, 40); break;
        case 1: max_denominator = in.ConsumeIntegral<std::uint64_t>(); break;
        case 2: max_denominator = ~std::uint64_t{0}; break;
        default: max_denominator = in.ConsumeIntegralInRange<std::uint64_t>(0, 2000); break;
    }
    auto structure = fuzz::fuzzed_structure(in, 8, true);
    if (!structure) return 0;
    if (fuzz::dumping())
        std::printf("{%s, \"max_sites\": %llu, \"seed\": %llu, \"max_denominator\": %llu}\n",
                    fuzz::json_structure(*structure).c_str(), (unsigned long long)max_sites,
                    (unsigned long long)seed, (unsigned long long)max_denominator);
    if (fuzz::dumping()) std::fflush(stdout);

    auto expansion = molvane::expand_occupancies(*structure, max_sites, seed, max_denominator);
    if (!expansion) {
        if (expansion.error().message.empty()) fuzz::finding("expand_occupancies failed without a message");
        return 0;
    }
    const auto& out = expansion->structure;
    if (out.sites().empty()) fuzz::finding("expansion without sites");
    if (!out.is_ordered()) fuzz::finding("expansion left a disordered site");
    const std::uint64_t n = expansion->scale[0];
    if (expansion->scale[1] != n || expansion->scale[2] != n || n == 0) fuzz::finding("scale is not n x n x n");
    if (out.sites().size() > std::max<std::uint64_t>(max_sites, structure->sites().size()))
        fuzz::finding("more sites than max_sites allows");

    // The same seed gives the same structure.
    auto again = molvane::expand_occupancies(*structure, max_sites, seed, max_denominator);
    if (!again || !fuzz::same_sites(again->structure.sites(), out.sites()))
        fuzz::finding("expansion is not reproducible");
    return 0;
}
