// Driver over the expansion's number helpers for the Python tests.
//   expand_native denominators : stdin lines "x m", prints "scan cf" per line
//   expand_native compare SEED : compares the continued-fraction search with
//                                the full scan on many generated values and
//                                prints "checked N mismatches M", then each
//                                mismatch as "x m scan cf"
//   expand_native cbrt         : stdin lines "v", prints integer_cbrt(v)
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "disorder/expand.hpp"

using namespace molvane;

// Values that stress the search: near-ties, near-rationals at every scale of
// closeness, decimals as files write them, and plain random doubles.
static std::vector<double> generated_values(std::uint64_t seed) {
    Xorshift64Star rng(seed);
    auto unit = [&] { return static_cast<double>(rng.next() >> 11) * 0x1.0p-53; };
    std::vector<double> xs;
    for (int i = 0; i < 3000; ++i) xs.push_back(unit());
    for (int i = 0; i < 3000; ++i) {
        double b = 1.0 + std::floor(unit() * 2000.0);
        double a = std::floor(unit() * b);
        double noise = std::ldexp(unit() - 0.5, -static_cast<int>(8 + rng.next() % 36));
        xs.push_back(a / b + noise);
    }
    for (int i = 0; i < 1000; ++i) {
        int digits = 1 + static_cast<int>(rng.next() % 5);
        double scale = std::pow(10.0, digits);
        xs.push_back(std::floor(unit() * scale) / scale);
    }
    for (int i = 0; i < 500; ++i) xs.push_back(unit() * 8.0 - 4.0);
    for (int i = 0; i < 500; ++i) xs.push_back(0.5 + std::ldexp(unit(), -static_cast<int>(20 + rng.next() % 12)));
    return xs;
}

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "denominators") {
        double x;
        std::uint64_t m;
        while (std::cin >> x >> m)
            std::printf("%" PRIu64 " %" PRIu64 "\n", best_denominator_scan(x, m), best_denominator_cf(x, m));
        return 0;
    }
    if (mode == "cbrt") {
        std::uint64_t v;
        while (std::cin >> v) std::printf("%" PRIu64 "\n", integer_cbrt(v));
        return 0;
    }
    if (mode == "compare" && argc > 2) {
        std::uint64_t seed = std::strtoull(argv[2], nullptr, 10);
        const std::uint64_t bounds[] = {2, 3, 7, 16, 100, 1000, 65536, 1000000};
        std::vector<std::string> bad;
        std::uint64_t checked = 0;
        for (double x : generated_values(seed)) {
            for (std::uint64_t m : bounds) {
                std::uint64_t a = best_denominator_scan(x, m), b = best_denominator_cf(x, m);
                ++checked;
                if (a != b) {
                    char line[128];
                    std::snprintf(line, sizeof line, "%.17g %" PRIu64 " %" PRIu64 " %" PRIu64, x, m, a, b);
                    bad.push_back(line);
                }
            }
        }
        std::printf("checked %" PRIu64 " mismatches %zu\n", checked, bad.size());
        for (const auto& line : bad) std::printf("%s\n", line.c_str());
        return 0;
    }
    std::fprintf(stderr, "usage: expand_native denominators|cbrt|compare SEED\n");
    return 2;
}
