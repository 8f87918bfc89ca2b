// Occupancy expansion into an ordered supercell.
#include "disorder/expand.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <numeric>

#include "core/number.hpp"  // for format_fixed4
#include "core/numeric.hpp"  // for saturating_add, saturating_u64, u64_max

namespace molvane {

namespace {

using u128 = unsigned __int128;

constexpr std::uint64_t xorshift_multiplier = 0x2545f4914f6cdd1dULL;
// Bounds up to this size are searched by trying every denominator.
constexpr std::uint64_t scan_limit = 4096;

std::string dec(std::uint64_t v) { return std::to_string(v); }

// |x q - round(x q)| / q, the error of the best fraction with denominator q.
double fraction_error(double x, double q) {
    double xq = x * q;
    return std::fabs(xq - std::round(xq)) / q;
}

// The running state of the denominator search: denominators are offered in
// increasing order and the record rule decides which one is kept.
struct DenominatorSearch {
    double x;
    std::uint64_t best_q = 1;
    double best_err = std::numeric_limits<double>::infinity();
    bool done = false;

    // Offers q; true when q became the new best.
    bool offer(std::uint64_t q) {
        double err = fraction_error(x, static_cast<double>(q));
        if (err < best_err - 1e-12) {
            best_err = err;
            best_q = q;
            if (err < 1e-9) done = true;
            return true;
        }
        return false;
    }
};

// Least common multiple of denominators; remembers when it no longer fits.
struct CommonDenominator {
    std::uint64_t value = 1;
    bool overflow = false;

    void combine(std::uint64_t q) {
        if (overflow) return;
        std::uint64_t g = std::gcd(value, q);
        if (__builtin_mul_overflow(value / g, q, &value)) overflow = true;
    }
};

// The species of site i written as "El:0.5000", sorted by bytes, joined with "|".
std::string pool_key(const Sites& sites, std::size_t i) {
    std::vector<std::string> parts;
    parts.reserve(sites.entries_end(i) - sites.entries_begin(i));
    for (std::size_t e = sites.entries_begin(i); e < sites.entries_end(i); ++e)
        parts.push_back(sites.symbol(sites.entry(e).symbol) + ":" + format_fixed4(sites.entry(e).occupancy));
    std::sort(parts.begin(), parts.end());
    std::string key;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i != 0) key += '|';
        key += parts[i];
    }
    return key;
}

std::string cube_text(std::uint64_t n) { return dec(n) + "x" + dec(n) + "x" + dec(n); }

}  // namespace

// --- denominators ---

std::uint64_t best_denominator_scan(double x, std::uint64_t max_denominator) {
    if (max_denominator == 0) return 1;
    DenominatorSearch search{x};
    for (std::uint64_t q = 1;; ++q) {
        search.offer(q);
        if (search.done || q == max_denominator) break;
    }
    return search.best_q;
}

// Only a denominator whose fraction is closer to x than every fraction with a
// smaller denominator can become the best, and such denominators all lie on
// the continued-fraction runs q = k2 + j k1 (j = 1 .. a) of x. Along a run the
// errors fall as j grows, so a bisection finds where a run can first beat the
// current best; the denominators just from there on are then offered one by
// one, exactly as a full scan would offer them.
std::uint64_t best_denominator_cf(double x, std::uint64_t max_denominator) {
    const std::uint64_t m = max_denominator;
    if (m == 0) return 1;
    DenominatorSearch search{x};
    search.offer(1);
    // Non-finite x gives a NaN error for every q, so q = 1 stays; an x of
    // magnitude 2^52 or more is an integer and stops at q = 1.
    if (search.done || m == 1 || !std::isfinite(x)) return search.best_q;

    // x is at least 1e-9 from an integer here, so its fractional part is
    // num / 2^shift with shift <= 53 + 30: exact in 128 bits.
    const double frac = x - std::floor(x);
    int exponent = 0;
    const double mantissa = std::frexp(frac, &exponent);
    u128 num = static_cast<u128>(std::ldexp(mantissa, 53));
    u128 den = static_cast<u128>(1) << (53 - exponent);

    // Bound on how far a computed error can sit from the exact one.
    const double margin = (std::fabs(x) + 1.0) * 1e-15;
    auto looser = [&](u128 q) {
        return fraction_error(x, static_cast<double>(q)) < search.best_err - 1e-12 + margin;
    };

    u128 k2 = 1, k1 = 0;  // the two previous convergent denominators
    while (den != 0) {
        const u128 a = num / den;
        const u128 r = num % den;
        if (k1 != 0) {
            if (k2 + k1 > m) break;
            const u128 j_max = std::min<u128>(a, (m - k2) / k1);
            u128 j_lo = 1;
            while (j_lo <= j_max) {
                if (!looser(k2 + j_max * k1)) break;
                // Invariant: lo fails the looser test (or is below j_lo), hi
                // passes. Galloping first keeps short gaps cheap.
                u128 lo = j_lo - 1, hi = j_max;
                for (u128 step = 1; lo + step < j_max; step *= 2) {
                    if (looser(k2 + (lo + step) * k1)) {
                        hi = lo + step;
                        break;
                    }
                    lo += step;
                }
                while (hi - lo > 1) {
                    u128 mid = lo + (hi - lo) / 2;
                    if (looser(k2 + mid * k1)) hi = mid;
                    else lo = mid;
                }
                // Offer one by one while improvements keep coming; the first
                // miss after an improvement sends the search back to bisection.
                u128 j = hi;
                bool improved = false;
                for (; j <= j_max; ++j) {
                    if (search.offer(static_cast<std::uint64_t>(k2 + j * k1))) {
                        if (search.done) return search.best_q;
                        improved = true;
                    } else if (improved) {
                        break;
                    }
                }
                if (!improved) break;
                j_lo = j;  // offering j again later changes nothing
            }
            if (a > j_max) break;  // the rest of this run and all later runs exceed m
        }
        const u128 k = a * k1 + k2;
        k2 = k1;
        k1 = k;
        num = den;
        den = r;
    }
    return search.best_q;
}

std::uint64_t best_denominator(double x, std::uint64_t max_denominator) {
    if (max_denominator <= scan_limit) return best_denominator_scan(x, max_denominator);
    return best_denominator_cf(x, max_denominator);
}

std::uint64_t integer_cbrt(std::uint64_t v) {
    auto cube_fits = [v](std::uint64_t n) {
        std::uint64_t sq, cube;
        if (__builtin_mul_overflow(n, n, &sq)) return false;
        if (__builtin_mul_overflow(sq, n, &cube)) return false;
        return cube <= v;
    };
    std::uint64_t n = static_cast<std::uint64_t>(std::cbrt(static_cast<double>(v)));
    while (n > 0 && !cube_fits(n)) --n;
    while (cube_fits(n + 1)) ++n;
    return n;
}

// --- generator ---

Xorshift64Star::Xorshift64Star(std::uint64_t seed) : state_(seed * xorshift_multiplier) {
    if (state_ == 0) state_ = 1;
}

std::uint64_t Xorshift64Star::next() {
    std::uint64_t x = state_;
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    state_ = x;
    return x * xorshift_multiplier;
}

// --- expansion ---

namespace {

// The common denominator of every partial occupancy and every vacancy.
CommonDenominator common_denominator(const Sites& sources, std::uint64_t max_denominator) {
    CommonDenominator denominator;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        if (sources.is_ordered(i)) continue;
        for (std::size_t e = sources.entries_begin(i); e < sources.entries_end(i); ++e) {
            const double occupancy = sources.entry(e).occupancy;
            if (occupancy > 0.0 && occupancy < 1.0)
                denominator.combine(best_denominator(occupancy, max_denominator));
        }
        const double total = sources.occupancy_sum(i);
        if (total < 0.999999) denominator.combine(best_denominator(total, max_denominator));
    }
    return denominator;
}

// The largest cubic multiplier within the site budget, never above the
// denominator, and at least 1.
std::uint64_t choose_scale(std::uint64_t n_source, std::uint64_t max_sites,
                           const CommonDenominator& denominator) {
    std::uint64_t n = integer_cbrt(max_sites / n_source);
    if (!denominator.overflow) n = std::min(n, denominator.value);
    return n == 0 ? 1 : n;
}

// Supercell sites split into ordered ones and pools of disordered sites
// that share a pool key (keys in byte order, members in site order).
struct Split {
    std::vector<std::size_t> ordered;
    std::map<std::string, std::vector<std::size_t>> pools;
};

Split split_into_pools(const Sites& sources, const Sites& cells, const std::vector<bool>& in_cluster) {
    // Copies of one source site share its species, so keys are made once.
    std::vector<std::string> keys(sources.size());
    for (std::size_t s = 0; s < sources.size(); ++s)
        if (!sources.is_ordered(s)) keys[s] = pool_key(sources, s);
    Split split;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (cells.is_ordered(i)) split.ordered.push_back(i);
        else if (in_cluster.empty() || !in_cluster[i]) split.pools[keys[i % sources.size()]].push_back(i);
    }
    return split;
}

// Atoms of each species to place in a pool of `pool_size` sites: the floors
// of the targets, then one more for the largest remainders until the rounded
// total is reached.
std::vector<std::uint64_t> allocate(const std::vector<SpeciesEntry>& species, std::uint64_t pool_size) {
    const std::size_t k = species.size();
    const double pool_size_f = static_cast<double>(pool_size);
    std::vector<double> targets(k);
    std::vector<std::uint64_t> counts(k);
    double target_sum = 0.0;
    std::uint64_t floors_sum = 0;
    for (std::size_t j = 0; j < k; ++j) {
        targets[j] = species[j].occupancy * pool_size_f;
        counts[j] = saturating_u64(std::floor(targets[j]));
        target_sum += targets[j];
        floors_sum = saturating_add(floors_sum, counts[j]);
    }
    const std::uint64_t to_place = std::min(pool_size, saturating_u64(std::floor(target_sum + 0.5)));

    std::vector<std::size_t> by_remainder(k);
    std::iota(by_remainder.begin(), by_remainder.end(), std::size_t{0});
    std::stable_sort(by_remainder.begin(), by_remainder.end(), [&](std::size_t a, std::size_t b) {
        return targets[a] - static_cast<double>(counts[a]) > targets[b] - static_cast<double>(counts[b]);
    });
    if (floors_sum < to_place) {
        const std::uint64_t extra = std::min<std::uint64_t>(to_place - floors_sum, k);
        for (std::uint64_t e = 0; e < extra; ++e) ++counts[by_remainder[e]];
    }
    return counts;
}

constexpr std::size_t empty = std::numeric_limits<std::size_t>::max();

// Slots naming choice j counts[j] times, then empty ones up to `size`,
// shuffled by Fisher-Yates from the top.
std::vector<std::size_t> shuffled_slots(const std::vector<std::uint64_t>& counts, std::size_t size,
                                        Xorshift64Star& rng) {
    std::vector<std::size_t> slots;
    for (std::size_t j = 0; j < counts.size(); ++j) slots.insert(slots.end(), counts[j], j);
    if (slots.size() < size) slots.resize(size, empty);
    for (std::uint64_t len = slots.size(); len >= 2; --len) {
        const std::uint64_t idx = rng.next() % len;
        std::swap(slots[len - 1], slots[idx]);
    }
    return slots;
}

// Places a pool's atoms: shuffled slots matched with the members in order
// (as pairs of a member and the symbol placed there). Returns the number of
// members left empty.
std::uint64_t place_pool(const std::vector<std::size_t>& members, const std::vector<SpeciesEntry>& species,
                         const std::vector<std::uint64_t>& counts, Xorshift64Star& rng,
                         std::vector<std::pair<std::size_t, std::uint32_t>>& placed) {
    const std::vector<std::size_t> slots = shuffled_slots(counts, members.size(), rng);
    std::uint64_t vacancies = 0;
    for (std::size_t p = 0; p < members.size(); ++p) {
        if (slots[p] == empty) {
            ++vacancies;
            continue;
        }
        placed.emplace_back(members[p], species[slots[p]].symbol);
    }
    return vacancies;
}

// --- clusters of linked positions ---

// Union-find over 0 .. n-1 with path halving; roots are the smallest index.
struct Components {
    std::vector<std::size_t> parent;
    explicit Components(std::size_t n) : parent(n) { std::iota(parent.begin(), parent.end(), std::size_t{0}); }
    std::size_t find(std::size_t x) {
        while (parent[x] != x) x = parent[x] = parent[parent[x]];
        return x;
    }
    void join(std::size_t a, std::size_t b) {
        a = find(a);
        b = find(b);
        if (a != b) parent[std::max(a, b)] = std::min(a, b);
    }
};

// Whether linked positions reach their own image in another cell: a cycle of
// links whose cell offsets do not add up to zero. Such a chain is endless in
// the crystal however few of its sites one supercell holds, so no choice per
// cluster can place it. Union-find over the sources, each site keeping its
// cell relative to its root (offsets below 2^53, so 128-bit sums cannot
// overflow).
bool links_wrap(std::size_t count, const std::vector<LinkedPair>& links) {
    using Cell = std::array<__int128, 3>;
    std::vector<std::size_t> parent(count);
    std::iota(parent.begin(), parent.end(), std::size_t{0});
    std::vector<Cell> cell(count, Cell{0, 0, 0});  // relative to the parent's cell
    std::vector<std::size_t> path;
    auto root = [&](std::size_t x) {  // compresses x's path; cell[x] is then relative to the root
        path.clear();
        while (parent[x] != x) {
            path.push_back(x);
            x = parent[x];
        }
        for (std::size_t k = path.size(); k-- > 1;) {
            const std::size_t v = path[k - 1], above = path[k];
            for (int a = 0; a < 3; ++a) cell[v][a] += cell[above][a];
            parent[v] = x;
        }
        if (!path.empty()) parent[path.back()] = x;
        return x;
    };
    for (const LinkedPair& link : links) {
        const std::size_t ri = root(link.i), rj = root(link.j);
        Cell step{};  // cell of j's root when site j sits in cell(i) + offset
        for (int a = 0; a < 3; ++a)
            step[a] = (link.i == ri ? 0 : cell[link.i][a]) + link.offset[a] - (link.j == rj ? 0 : cell[link.j][a]);
        if (ri == rj) {
            if (step != Cell{0, 0, 0}) return true;
            continue;
        }
        parent[rj] = ri;
        cell[rj] = step;
    }
    return false;
}

// One cluster: supercell sites in increasing order, each one's together
// class (numbered by first appearance), and the key that its images (by
// translation or, usually, by symmetry) share: every member's pool key and
// class in member order.
struct Cluster {
    std::vector<std::size_t> members;
    std::vector<std::size_t> class_of;
    std::size_t n_classes = 0;
    std::string key;
};

// The clusters of an n x n x n supercell of `sources` and the supercell
// sites they hold.
struct ClusterPlan {
    std::vector<Cluster> clusters;
    std::vector<bool> in_cluster;  // empty without clusters
    std::uint64_t folded_links = 0;  // both ends on one supercell site
};

struct Edge {
    std::size_t u, v;
    bool together;
};

// The supercell edges of every link, in link then cell order.
std::vector<Edge> supercell_edges(const Sites& sources, std::uint64_t n,
                                  const std::vector<LinkedPair>& links, ClusterPlan& plan) {
    const std::size_t count = sources.size();
    const std::int64_t m = static_cast<std::int64_t>(n);
    auto wrap = [m](std::int64_t v) { return ((v % m) + m) % m; };
    std::vector<Edge> edges;
    for (const LinkedPair& link : links) {
        for (std::int64_t a = 0; a < m; ++a)
            for (std::int64_t b = 0; b < m; ++b)
                for (std::int64_t c = 0; c < m; ++c) {
                    const std::int64_t a2 = wrap(a + link.offset[0] % m), b2 = wrap(b + link.offset[1] % m),
                                       c2 = wrap(c + link.offset[2] % m);
                    const std::size_t u = static_cast<std::size_t>((a * m + b) * m + c) * count + link.i;
                    const std::size_t v = static_cast<std::size_t>((a2 * m + b2) * m + c2) * count + link.j;
                    if (u == v) {
                        ++plan.folded_links;
                        continue;
                    }
                    edges.push_back({u, v, link.together});
                }
    }
    return edges;
}

Result<ClusterPlan> plan_clusters(const Sites& sources, std::uint64_t n,
                                  const std::vector<LinkedPair>& links) {
    ClusterPlan plan;
    if (links.empty()) return plan;
    const std::vector<Edge> edges = supercell_edges(sources, n, links, plan);
    if (edges.empty()) return plan;
    // Compact numbering of the linked supercell sites, in increasing order.
    std::vector<std::size_t> nodes;
    nodes.reserve(2 * edges.size());
    for (const Edge& e : edges) {
        nodes.push_back(e.u);
        nodes.push_back(e.v);
    }
    std::sort(nodes.begin(), nodes.end());
    nodes.erase(std::unique(nodes.begin(), nodes.end()), nodes.end());
    auto number = [&](std::size_t site) {
        return static_cast<std::size_t>(std::lower_bound(nodes.begin(), nodes.end(), site) - nodes.begin());
    };
    Components all(nodes.size()), together(nodes.size());
    for (const Edge& e : edges) {
        all.join(number(e.u), number(e.v));
        if (e.together) together.join(number(e.u), number(e.v));
    }
    // Members by root, in increasing order.
    std::map<std::size_t, std::vector<std::size_t>> by_root;
    for (std::size_t k = 0; k < nodes.size(); ++k) {
        auto& members = by_root[all.find(k)];
        members.push_back(k);
        if (members.size() > max_cluster_sites)
            return fail("positions linked by disorder groups or closeness form a cluster of more than ",
                        dec(max_cluster_sites), " sites in the ", cube_text(n),
                        " supercell (they chain through the crystal); such a cluster cannot be placed as one choice");
    }
    // An exclusive link inside a together class makes the classes unusable:
    // each member of that cluster is then a class of its own.
    std::vector<bool> broken(nodes.size(), false);
    for (const Edge& e : edges)
        if (!e.together && together.find(number(e.u)) == together.find(number(e.v)))
            broken[all.find(number(e.u))] = true;
    plan.in_cluster.assign(n * n * n * sources.size(), false);
    for (const auto& [root, members] : by_root) {
        Cluster cluster;
        std::map<std::size_t, std::size_t> class_number;
        for (std::size_t k : members) {
            cluster.members.push_back(nodes[k]);
            plan.in_cluster[nodes[k]] = true;
            const std::size_t label = broken[root] ? k : together.find(k);
            auto [it, added] = class_number.try_emplace(label, cluster.n_classes);
            if (added) ++cluster.n_classes;
            cluster.class_of.push_back(it->second);
            cluster.key += pool_key(sources, nodes[k] % sources.size()) + "#" + dec(it->second) + ";";
        }
        plan.clusters.push_back(std::move(cluster));
    }
    return plan;
}

// Fills the clusters: those with one key form a pool whose configurations
// (each class filled alone, or nothing) get largest-remainder counts from the
// classes' occupancies (the smallest of their members'), scaled down when
// they sum above 1; the configurations are shuffled over the pool's
// clusters. Adds report rows per member kind; returns the empty members.
std::uint64_t place_clusters(const ClusterPlan& plan, const Sites& cells, Xorshift64Star& rng,
                             std::vector<std::pair<std::size_t, std::uint32_t>>& placed, std::vector<ReportRow>& rows,
                             std::uint64_t& overfull) {
    std::map<std::string, std::vector<const Cluster*>> pools;
    for (const Cluster& cluster : plan.clusters) pools[cluster.key].push_back(&cluster);
    std::uint64_t vacancies = 0;
    for (const auto& [key, members] : pools) {
        const Cluster& first = *members.front();
        const std::size_t n_positions = first.members.size();
        std::vector<SpeciesEntry> classes(first.n_classes, SpeciesEntry{0, 2.0});
        for (std::size_t p = 0; p < n_positions; ++p) {
            double& occupancy = classes[first.class_of[p]].occupancy;
            occupancy = std::min(occupancy, cells.occupancy_sum(first.members[p]));
        }
        double sum = 0.0;
        for (const SpeciesEntry& c : classes) sum += c.occupancy;
        if (sum > max_occupancy_sum) {
            overfull += members.size();
            for (SpeciesEntry& c : classes) c.occupancy /= sum;
        }
        const std::vector<std::uint64_t> counts = allocate(classes, members.size());
        const std::vector<std::size_t> slots = shuffled_slots(counts, members.size(), rng);
        // Where its class is chosen, a position of several species takes
        // them in proportion to their occupancies: largest-remainder counts
        // over those copies, shuffled.
        std::vector<std::vector<SpeciesEntry>> shares(n_positions);
        std::vector<std::vector<std::uint64_t>> species_counts(n_positions);
        std::vector<std::vector<std::size_t>> species_slots(n_positions);
        for (std::size_t p = 0; p < n_positions; ++p) {
            const std::size_t m = first.members[p];
            const double total = cells.occupancy_sum(m);
            for (std::size_t e = cells.entries_begin(m); e < cells.entries_end(m); ++e)
                shares[p].push_back({cells.entry(e).symbol, cells.entry(e).occupancy / total});
            const std::uint64_t chosen = counts[first.class_of[p]];
            species_counts[p] = shares[p].size() == 1 ? std::vector<std::uint64_t>{chosen} : allocate(shares[p], chosen);
            species_slots[p] = shares[p].size() == 1 ? std::vector<std::size_t>(chosen, 0)
                                                     : shuffled_slots(species_counts[p], chosen, rng);
        }
        std::vector<std::size_t> used(n_positions, 0);
        for (std::size_t c = 0; c < members.size(); ++c) {
            const Cluster& cluster = *members[c];
            for (std::size_t p = 0; p < n_positions; ++p) {
                const std::size_t which =
                    cluster.class_of[p] == slots[c] ? species_slots[p][used[p]++] : empty;
                if (which == empty) {
                    ++vacancies;
                    continue;
                }
                placed.emplace_back(cluster.members[p], shares[p][which].symbol);
            }
        }
        for (std::size_t p = 0; p < n_positions; ++p)
            for (std::size_t e = cells.entries_begin(first.members[p]), j = 0; e < cells.entries_end(first.members[p]);
                 ++e, ++j) {
                const SpeciesEntry sp = cells.entry(e);
                rows.push_back({cells.symbol(sp.symbol), sp.occupancy, members.size(), species_counts[p][j]});
            }
    }
    return vacancies;
}

// What the report says about the clusters.
void cluster_warnings(const ClusterPlan& plan, std::uint64_t overfull, std::vector<std::string>& warnings) {
    if (!plan.clusters.empty())
        warnings.push_back("placed " + dec(plan.clusters.size()) +
                           " clusters of linked positions as one choice each (one disorder group or one of "
                           "positions that exclude one another), so no two such positions are both filled");
    if (overfull)
        warnings.push_back(dec(overfull) +
                           " clusters hold positions whose occupancies sum above 1, more than one choice can "
                           "fill: fewer atoms than the occupancies ask for were placed there");
    if (plan.folded_links)
        warnings.push_back(dec(plan.folded_links) +
                           " links join a position to its own image in the supercell, which is too small to "
                           "keep them apart");
}

// The warnings about elements that got no atoms and about occupancies that
// could only be approximated within the budget.
std::vector<std::string> expansion_warnings(const std::vector<std::string>& missing,
                                            const std::vector<ReportRow>& rows, std::uint64_t n,
                                            const CommonDenominator& denominator,
                                            std::uint64_t max_sites) {
    std::vector<std::string> warnings;
    if (!missing.empty()) {
        std::string names;
        for (std::size_t i = 0; i < missing.size(); ++i) {
            if (i != 0) names += ", ";
            names += missing[i];
        }
        warnings.push_back("no atoms could be placed for " + names +
                           ": the occupancy is too small for a " + cube_text(n) +
                           " supercell, so these elements are absent from the expanded structure");
    }
    double worst = 0.0;
    for (const ReportRow& row : rows) {
        const double dev = std::fabs(static_cast<double>(row.atoms_placed) /
                                         static_cast<double>(row.sites_in_pool) -
                                     row.target_occupancy);
        if (dev > worst) worst = dev;  // NaN never compares greater
    }
    const bool approximated = denominator.overflow || n < denominator.value;
    if (worst >= 0.02 && approximated) {
        const std::string need = denominator.overflow
                                     ? "supercell of more than " + dec(u64_max) + " cells along each axis"
                                     : cube_text(denominator.value) + " supercell";
        warnings.push_back("the occupancies would need a " + need +
                           " to come out exactly, but that exceeds the " + dec(max_sites) +
                           "-site limit; " + cube_text(n) +
                           " was used and the occupancies are approximated (worst deviation " +
                           format_fixed4(worst) + ")");
    }
    return warnings;
}

}  // namespace

Result<Expansion> expand_occupancies(const Structure& source, std::uint64_t max_sites,
                                     std::uint64_t seed, std::uint64_t max_denominator,
                                     const std::vector<LinkedPair>& links) {
    // A structure holds finite, non-negative occupancies with site sums of at
    // most 1.001, so no pool asks for more than about its own size in atoms.
    const Sites& sources = source.sites();
    const CommonDenominator denominator = common_denominator(sources, max_denominator);
    const std::uint64_t n = choose_scale(sources.size(), max_sites, denominator);

    // n = 1 whenever the budget is exceeded, so n^3 N cannot overflow here.
    const std::uint64_t cell_sites = sources.size() * n * n * n;
    if (cell_sites > max_sites)
        return fail("even a ", cube_text(n), " cell holds ", dec(cell_sites),
                    " sites, above the limit of ", dec(max_sites));
    auto supercell = source.make_supercell(n, n, n);
    if (!supercell) return supercell.error();
    const Sites& cells = supercell->sites();
    auto clusters = plan_clusters(sources, n, links);
    if (!clusters) return clusters.error();
    if (links_wrap(sources.size(), links))
        return fail("positions linked by disorder groups or closeness chain through the crystal (a chain of them "
                    "reaches its own image in another cell); such a cluster cannot be placed as one choice");
    Split split = split_into_pools(sources, cells, clusters->in_cluster);

    Xorshift64Star rng(seed);
    std::vector<std::pair<std::size_t, std::uint32_t>> placed;  // (cell site, symbol)
    std::vector<ReportRow> rows;
    std::vector<std::string> missing;
    std::uint64_t n_vacancies = 0;
    for (const auto& [key, members] : split.pools) {
        std::vector<SpeciesEntry> species;
        for (std::size_t e = cells.entries_begin(members.front()); e < cells.entries_end(members.front()); ++e)
            species.push_back(cells.entry(e));
        const std::uint64_t pool_size = members.size();
        const std::vector<std::uint64_t> counts = allocate(species, pool_size);
        n_vacancies += place_pool(members, species, counts, rng, placed);
        for (std::size_t j = 0; j < species.size(); ++j) {
            const std::string& element = cells.symbol(species[j].symbol);
            rows.push_back({element, species[j].occupancy, pool_size, counts[j]});
            if (counts[j] == 0 && species[j].occupancy > 0.0 &&
                std::find(missing.begin(), missing.end(), element) == missing.end())
                missing.push_back(element);
        }
    }
    std::uint64_t overfull = 0;
    n_vacancies += place_clusters(*clusters, cells, rng, placed, rows, overfull);
    std::vector<std::string> warnings = expansion_warnings(missing, rows, n, denominator, max_sites);
    cluster_warnings(*clusters, overfull, warnings);

    // The ordered sites as they are, then the placed atoms.
    const std::size_t n_ordered = split.ordered.size(), n_result = n_ordered + placed.size();
    if (n_result == 0) return fail("no sites remain after expansion; check the occupancies");
    Sites result_sites(cells.shared_symbols());
    result_sites.reserve(n_result, n_result);
    for (std::size_t c : split.ordered) {
        const SpeciesEntry only = cells.entry(cells.entries_begin(c));
        result_sites.add_atom(cells.frac(c), only.symbol, only.occupancy);
    }
    for (const auto& [c, symbol] : placed) result_sites.add_atom(cells.frac(c), symbol);
    result_sites.columns() = cells.columns().copied(n_result, [&](std::size_t i) {
        return i < n_ordered ? split.ordered[i] : placed[i - n_ordered].first;
    });
    auto result = Structure::create(supercell->lattice(), std::move(result_sites), source.pbc());
    if (!result) return result.error();
    return Expansion{std::move(*result), std::move(rows), std::move(warnings), {n, n, n},
                     n_vacancies};
}

}  // namespace molvane
