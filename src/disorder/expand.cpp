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

// Fisher-Yates from the top.
void shuffle(std::vector<std::size_t>& items, Xorshift64Star& rng) {
    for (std::uint64_t len = items.size(); len >= 2; --len) {
        const std::uint64_t idx = rng.next() % len;
        std::swap(items[len - 1], items[idx]);
    }
}

// Slots naming choice j counts[j] times, then empty ones up to `size`,
// shuffled.
std::vector<std::size_t> shuffled_slots(const std::vector<std::uint64_t>& counts, std::size_t size,
                                        Xorshift64Star& rng) {
    std::vector<std::size_t> slots;
    for (std::size_t j = 0; j < counts.size(); ++j) slots.insert(slots.end(), counts[j], j);
    if (slots.size() < size) slots.resize(size, empty);
    shuffle(slots, rng);
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
// class (numbered by first appearance), the classes each class excludes (a
// bit per class), and the keys that its images (by translation or, usually,
// by symmetry) share: every member's pool key and class in member order, and
// the exclusions between the classes.
struct Cluster {
    std::vector<std::size_t> members;
    std::vector<std::size_t> class_of;
    std::vector<std::uint64_t> excludes;  // per class
    std::size_t n_classes = 0;
    std::string key, graph;
};

// The clusters of an n x n x n supercell of `sources` and the supercell
// sites they hold.
struct ClusterPlan {
    std::vector<Cluster> clusters;
    std::vector<bool> in_cluster;  // empty without clusters
    std::uint64_t folded_links = 0;  // both ends on one supercell site
    std::uint64_t split_groups = 0;  // clusters whose together links were not all kept
};

struct Edge {
    std::size_t u, v;
    bool together;
    double distance;
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
                    edges.push_back({u, v, link.together, link.distance});
                }
    }
    return edges;
}

constexpr std::uint64_t bit(std::size_t k) { return std::uint64_t{1} << k; }

// The together classes of one cluster's members (at most 64) and the classes
// each excludes. Together links join members shortest first, except where
// the two sets they would join hold positions that exclude one another: a
// group that meets its own symmetry image (a group next to a mirror that the
// file did not mark as a negative group) becomes one class per image instead
// of one class that could never be filled. Returns whether a link was left.
bool together_classes(const std::vector<Edge>& together, const std::vector<std::uint64_t>& excluded,
                      Cluster& cluster) {
    const std::size_t size = excluded.size();
    Components sets(size);
    std::vector<std::uint64_t> holds(size), excludes = excluded;
    for (std::size_t k = 0; k < size; ++k) holds[k] = bit(k);
    bool left = false;
    for (const Edge& e : together) {
        const std::size_t a = sets.find(e.u), b = sets.find(e.v);
        if (a == b) continue;
        if (holds[a] & excludes[b]) {
            left = true;
            continue;
        }
        sets.join(a, b);
        const std::size_t root = std::min(a, b);
        holds[root] = holds[a] | holds[b];
        excludes[root] = excludes[a] | excludes[b];
    }
    std::map<std::size_t, std::size_t> class_number;
    for (std::size_t k = 0; k < size; ++k) {
        auto [it, added] = class_number.try_emplace(sets.find(k), cluster.n_classes);
        if (added) ++cluster.n_classes;
        cluster.class_of.push_back(it->second);
    }
    cluster.excludes.assign(cluster.n_classes, 0);
    for (std::size_t k = 0; k < size; ++k)
        for (std::size_t j = 0; j < size; ++j)
            if (excluded[k] & bit(j)) cluster.excludes[cluster.class_of[k]] |= bit(cluster.class_of[j]);
    for (std::uint64_t mask : cluster.excludes) cluster.graph += dec(mask) + ";";
    return left;
}

// The links inside each cluster (clusters in root order, members numbered
// by their place in it): each member's exclusions, a bit per member, and the
// together links in edge order. `node_of` gives a supercell site's root and
// compact number.
struct ClusterLinks {
    std::vector<std::uint64_t> excluded;
    std::vector<Edge> together;
};

template <class NodeOf>
std::vector<ClusterLinks> cluster_links(const std::vector<Edge>& edges,
                                        const std::map<std::size_t, std::vector<std::size_t>>& by_root,
                                        const std::vector<std::size_t>& place, NodeOf node_of) {
    std::vector<std::size_t> cluster_of_root(place.size());
    std::vector<ClusterLinks> links;
    for (const auto& [root, members] : by_root) {
        cluster_of_root[root] = links.size();
        links.push_back({std::vector<std::uint64_t>(members.size(), 0), {}});
    }
    for (const Edge& e : edges) {
        const auto [root, u] = node_of(e.u);
        const std::size_t v = node_of(e.v).second;
        ClusterLinks& here = links[cluster_of_root[root]];
        if (e.together) {
            here.together.push_back({place[u], place[v], true, e.distance});
        } else {
            here.excluded[place[u]] |= bit(place[v]);
            here.excluded[place[v]] |= bit(place[u]);
        }
    }
    return links;
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
    Components all(nodes.size());
    for (const Edge& e : edges) all.join(number(e.u), number(e.v));
    // Members by root, in increasing order; each node's place among them.
    std::map<std::size_t, std::vector<std::size_t>> by_root;
    std::vector<std::size_t> place(nodes.size());
    for (std::size_t k = 0; k < nodes.size(); ++k) {
        auto& members = by_root[all.find(k)];
        place[k] = members.size();
        members.push_back(k);
        if (members.size() > max_cluster_sites)
            return fail("positions linked by disorder groups or closeness form a cluster of more than ",
                        dec(max_cluster_sites), " sites in the ", cube_text(n),
                        " supercell; a cluster that large is not placed as one choice");
    }
    std::vector<ClusterLinks> links_of = cluster_links(edges, by_root, place, [&](std::size_t site) {
        const std::size_t k = number(site);
        return std::pair{all.find(k), k};
    });
    plan.in_cluster.assign(n * n * n * sources.size(), false);
    std::size_t c = 0;
    for (const auto& [root, members] : by_root) {
        ClusterLinks& links_here = links_of[c++];
        std::stable_sort(links_here.together.begin(), links_here.together.end(),
                         [](const Edge& a, const Edge& b) { return a.distance < b.distance; });
        Cluster cluster;
        if (together_classes(links_here.together, links_here.excluded, cluster)) ++plan.split_groups;
        for (std::size_t p = 0; p < members.size(); ++p) {
            const std::size_t site = nodes[members[p]];
            cluster.members.push_back(site);
            plan.in_cluster[site] = true;
            cluster.key += pool_key(sources, site % sources.size()) + "#" + dec(cluster.class_of[p]) + ";";
        }
        plan.clusters.push_back(std::move(cluster));
    }
    return plan;
}

// One configuration of a cluster: the classes it fills (a bit per class)
// and the share of the cluster's images that take it.
struct Choice {
    std::uint64_t classes;
    double weight;
};

// Sorts configurations so that the lowest class in which two differ comes
// first in the one that holds it.
void sort_choices(std::vector<Choice>& choices) {
    std::sort(choices.begin(), choices.end(), [](const Choice& a, const Choice& b) {
        const std::uint64_t differ = a.classes ^ b.classes;
        return (a.classes & differ & (~differ + 1)) != 0;
    });
}

double total_weight(const std::vector<Choice>& choices) {
    double sum = 0.0;
    for (const Choice& choice : choices) sum += choice.weight;
    return sum;
}

// Splits the class occupancies into configurations of classes that exclude
// none of one another. Each step fills, among the classes with occupancy
// left, those that fit together in the order of the most occupancy left in
// their neighbourhood (the class and the classes it excludes), then the most
// left in the class, then the lowest class; it takes the smallest occupancy
// left among them, which empties at least one class, so at most one step per
// class. When every two classes exclude one another this gives each class
// alone with its own occupancy.
std::vector<Choice> greedy_split(const std::vector<double>& occupancy, const std::vector<std::uint64_t>& excludes) {
    const std::size_t k = occupancy.size();
    std::vector<double> left = occupancy, load(k);
    std::vector<Choice> choices;
    std::vector<std::size_t> order;
    for (std::size_t step = 0; step < k; ++step) {
        order.clear();
        for (std::size_t c = 0; c < k; ++c)
            if (left[c] > 0.0) order.push_back(c);
        if (order.empty()) break;
        for (std::size_t c : order) {
            load[c] = left[c];
            for (std::size_t j : order)
                if (excludes[c] & bit(j)) load[c] += left[j];
        }
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            if (load[a] != load[b]) return load[a] > load[b];
            if (left[a] != left[b]) return left[a] > left[b];
            return a < b;
        });
        Choice choice{0, std::numeric_limits<double>::infinity()};
        for (std::size_t c : order)
            if (!(excludes[c] & choice.classes)) {
                choice.classes |= bit(c);
                choice.weight = std::min(choice.weight, left[c]);
            }
        for (std::size_t c = 0; c < k; ++c)
            if (choice.classes & bit(c)) left[c] -= choice.weight;
        choices.push_back(choice);
    }
    return choices;
}

// Bounds of the search for a least split; the tableau entries its pivots
// may update over a whole expansion (about a second's work).
constexpr std::size_t max_compatible_sets = 256, max_search_calls = 100000, max_split_choices = 4096;
constexpr std::uint64_t least_split_budget = 400'000'000;

// The sets of classes that exclude none of one another and to which no
// class can be added (Bron-Kerbosch with a pivot, lowest classes first);
// empty when there are more than max_compatible_sets or the search needs
// more than max_search_calls steps.
std::vector<std::uint64_t> maximal_compatible_sets(const std::vector<std::uint64_t>& excludes) {
    const std::size_t k = excludes.size();
    const std::uint64_t all = k == 64 ? ~std::uint64_t{0} : bit(k) - 1;
    std::vector<std::uint64_t> fits(k);
    for (std::size_t c = 0; c < k; ++c) fits[c] = all & ~excludes[c] & ~bit(c);
    std::vector<std::uint64_t> sets;
    std::size_t calls = 0;
    bool over = false;
    auto search = [&](auto& self, std::uint64_t held, std::uint64_t open, std::uint64_t done) -> void {
        if (over || ++calls > max_search_calls) {
            over = true;
            return;
        }
        if (open == 0) {
            if (done != 0) return;
            if (sets.size() == max_compatible_sets) over = true;
            else sets.push_back(held);
            return;
        }
        std::size_t pivot = 0;
        int most = -1;
        for (std::uint64_t rest = open | done; rest != 0; rest &= rest - 1) {
            const std::size_t u = static_cast<std::size_t>(__builtin_ctzll(rest));
            const int n = __builtin_popcountll(open & fits[u]);
            if (n > most) {
                most = n;
                pivot = u;
            }
        }
        for (std::uint64_t todo = open & ~fits[pivot]; todo != 0; todo &= todo - 1) {
            const std::size_t v = static_cast<std::size_t>(__builtin_ctzll(todo));
            self(self, held | bit(v), open & fits[v], done & fits[v]);
            open &= ~bit(v);
            done |= bit(v);
        }
    };
    search(search, 0, all, 0);
    if (over) sets.clear();
    return sets;
}

// The split with the least total over the given maximal sets: the linear
// programme "minimise the sum of the set weights while the sets holding each
// class weigh at least its occupancy", solved through its dual (maximise the
// occupancies times class prices while no set's prices sum above 1) by the
// simplex method with Bland's rule, whose final slack prices are the set
// weights. A class covered beyond its occupancy then hands the excess from
// its sets to the same sets without it. Empty when the bounds are reached
// or the pivots would exceed what is left of `budget`.
std::vector<Choice> least_split(const std::vector<double>& occupancy, const std::vector<std::uint64_t>& sets,
                                std::uint64_t& budget) {
    const std::size_t k = occupancy.size(), m = sets.size(), width = k + m + 1, rhs = k + m;
    std::vector<double> t((m + 1) * width, 0.0);  // m set rows, then the objective row
    auto at = [&](std::size_t r, std::size_t c) -> double& { return t[r * width + c]; };
    std::vector<std::size_t> basis(m);
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t c = 0; c < k; ++c)
            if (sets[i] & bit(c)) at(i, c) = 1.0;
        at(i, k + i) = 1.0;
        at(i, rhs) = 1.0;
        basis[i] = k + i;
    }
    for (std::size_t c = 0; c < k; ++c) at(m, c) = -occupancy[c];
    constexpr double eps = 1e-12;
    for (;;) {
        std::size_t enter = rhs;
        for (std::size_t c = 0; c < rhs && enter == rhs; ++c)
            if (at(m, c) < -eps) enter = c;
        if (enter == rhs) break;
        const std::uint64_t cost = (m + 1) * width;
        if (cost > budget) return {};
        budget -= cost;
        std::size_t leave = m;
        double least = std::numeric_limits<double>::infinity();
        for (std::size_t i = 0; i < m; ++i) {
            if (!(at(i, enter) > eps)) continue;
            const double ratio = at(i, rhs) / at(i, enter);
            if (ratio < least || (ratio == least && basis[i] < basis[leave])) {
                least = ratio;
                leave = i;
            }
        }
        if (leave == m) return {};  // every class lies in a set, so prices stay bounded
        const double p = at(leave, enter);
        for (std::size_t c = 0; c < width; ++c) at(leave, c) /= p;
        for (std::size_t r = 0; r <= m; ++r) {
            const double f = at(r, enter);
            if (r == leave || f == 0.0) continue;
            for (std::size_t c = 0; c < width; ++c) at(r, c) -= f * at(leave, c);
        }
        basis[leave] = enter;
    }
    std::vector<Choice> choices;
    for (std::size_t i = 0; i < m; ++i)
        if (at(m, k + i) > eps) choices.push_back({sets[i], at(m, k + i)});
    for (std::size_t c = 0; c < k; ++c) {
        double excess = -occupancy[c];
        for (const Choice& choice : choices)
            if (choice.classes & bit(c)) excess += choice.weight;
        for (std::size_t j = 0, n = choices.size(); j < n && excess > 0.0; ++j) {
            if (!(choices[j].classes & bit(c))) continue;
            const double move = std::min(choices[j].weight, excess);
            choices[j].weight -= move;
            excess -= move;
            choices.push_back({choices[j].classes & ~bit(c), move});
        }
        // Equal sets merge; empty or weightless ones go.
        sort_choices(choices);
        std::vector<Choice> merged;
        for (const Choice& choice : choices) {
            if (choice.classes == 0 || !(choice.weight > eps)) continue;
            if (!merged.empty() && merged.back().classes == choice.classes) merged.back().weight += choice.weight;
            else merged.push_back(choice);
        }
        if (merged.size() > max_split_choices) return {};
        choices = std::move(merged);
    }
    return choices;
}

// The configurations of a cluster, in the order of sort_choices: the greedy
// split, or, when that needs more than the whole cluster, the least split
// over the maximal compatible sets if it needs less (a ring of five
// positions of 0.4 where only neighbours exclude: the greedy split needs 1.2,
// five pairs of 0.2 need 1.0). `budget` bounds the least splits of a whole
// expansion; past it, or past the bounds of one, the greedy split stands
// and `unproven` is set when it needs more than the whole cluster.
std::vector<Choice> decompose(const std::vector<double>& occupancy, const std::vector<std::uint64_t>& excludes,
                              std::uint64_t& budget, bool& unproven) {
    std::vector<Choice> choices = greedy_split(occupancy, excludes);
    sort_choices(choices);
    unproven = false;
    if (total_weight(choices) > max_occupancy_sum) {
        const std::vector<std::uint64_t> sets = maximal_compatible_sets(excludes);
        std::vector<Choice> least = sets.empty() ? std::vector<Choice>{} : least_split(occupancy, sets, budget);
        unproven = least.empty();
        if (!least.empty() && total_weight(least) < total_weight(choices) - 1e-9) choices = std::move(least);
    }
    return choices;
}

// What the clusters' placement did beyond the plan: clusters whose
// configurations were scaled down (of them, those whose least split was not
// found within its bounds), and the atoms per element they hold fewer than
// their occupancies ask for.
struct ClusterShortfall {
    std::uint64_t overfull = 0, unproven = 0;
    std::map<std::string, double> atoms;
};

// How often each configuration of a pool of `size` clusters is taken:
// largest-remainder counts of the weights, scaled down (and counted in
// `shortfall`) when they sum above 1.
std::vector<std::uint64_t> configuration_counts(const std::vector<Choice>& choices, std::size_t size,
                                                ClusterShortfall& shortfall, bool& overfull) {
    std::vector<SpeciesEntry> weights;
    for (const Choice& choice : choices) weights.push_back({0, choice.weight});
    const double sum = total_weight(choices);
    overfull = sum > max_occupancy_sum;
    if (overfull) {
        shortfall.overfull += size;
        for (SpeciesEntry& w : weights) w.occupancy /= sum;
    }
    return allocate(weights, size);
}

// Below this share of its class a position is filled in fewer copies than
// the class.
constexpr double full_share = 1.0 - 1e-6;

// Fills the clusters: those with one key form a pool whose configurations
// (from decompose, over the classes' occupancies: the largest of their
// members') get counts from configuration_counts and are shuffled over the
// pool's clusters. A position emptier than its class is filled in the share
// of the class's copies its occupancy asks for, the emptier positions of a
// class always within the copies of the fuller ones (one shuffled order of
// the copies per class), so that a pair of them is filled as often as the
// emptier one. A position of several species takes them in proportion to
// their occupancies over its filled copies: largest-remainder counts,
// shuffled. Adds report rows per member kind; returns the empty members.
std::uint64_t place_clusters(const ClusterPlan& plan, const Sites& cells, Xorshift64Star& rng,
                             std::vector<std::pair<std::size_t, std::uint32_t>>& placed, std::vector<ReportRow>& rows,
                             ClusterShortfall& shortfall) {
    std::map<std::pair<std::string, std::string>, std::vector<const Cluster*>> pools;
    for (const Cluster& cluster : plan.clusters) pools[{cluster.key, cluster.graph}].push_back(&cluster);
    std::uint64_t vacancies = 0, budget = least_split_budget;
    for (const auto& [key, members] : pools) {
        const Cluster& first = *members.front();
        const std::size_t n_positions = first.members.size(), n_classes = first.n_classes;
        std::vector<double> occupancy(n_classes, 0.0);
        for (std::size_t p = 0; p < n_positions; ++p) {
            double& o = occupancy[first.class_of[p]];
            o = std::max(o, cells.occupancy_sum(first.members[p]));
        }
        bool unproven = false, overfull = false;
        const std::vector<Choice> choices = decompose(occupancy, first.excludes, budget, unproven);
        const std::vector<std::uint64_t> counts = configuration_counts(choices, members.size(), shortfall, overfull);
        if (overfull && unproven) shortfall.unproven += members.size();
        const std::vector<std::size_t> slots = shuffled_slots(counts, members.size(), rng);
        std::vector<std::uint64_t> chosen(n_classes, 0);
        for (std::size_t c = 0; c < n_classes; ++c)
            for (std::size_t k = 0; k < choices.size(); ++k)
                if (choices[k].classes & bit(c)) chosen[c] += counts[k];
        // Copies of each class with an emptier position, in a shuffled order.
        std::vector<std::vector<std::size_t>> copy_order(n_classes);
        for (std::size_t p = 0; p < n_positions; ++p) {
            const std::size_t c = first.class_of[p];
            if (cells.occupancy_sum(first.members[p]) / occupancy[c] < full_share && copy_order[c].empty()) {
                copy_order[c].resize(chosen[c]);
                std::iota(copy_order[c].begin(), copy_order[c].end(), std::size_t{0});
                shuffle(copy_order[c], rng);
            }
        }
        std::vector<std::uint64_t> filled;
        std::vector<std::vector<SpeciesEntry>> shares(n_positions);
        std::vector<std::vector<std::uint64_t>> species_counts(n_positions);
        std::vector<std::vector<std::size_t>> species_slots(n_positions);
        for (std::size_t p = 0; p < n_positions; ++p) {
            const std::size_t m = first.members[p], c = first.class_of[p];
            const double total = cells.occupancy_sum(m), share = total / occupancy[c];
            filled.push_back(share < full_share ? allocate({{0, share}}, chosen[c])[0] : chosen[c]);
            for (std::size_t e = cells.entries_begin(m); e < cells.entries_end(m); ++e)
                shares[p].push_back({cells.entry(e).symbol, cells.entry(e).occupancy / total});
            species_counts[p] =
                shares[p].size() == 1 ? std::vector<std::uint64_t>{filled[p]} : allocate(shares[p], filled[p]);
            species_slots[p] = shares[p].size() == 1 ? std::vector<std::size_t>(filled[p], 0)
                                                     : shuffled_slots(species_counts[p], filled[p], rng);
        }
        std::vector<std::size_t> used(n_positions, 0), copies(n_classes, 0);
        for (std::size_t k = 0; k < members.size(); ++k) {
            const Cluster& cluster = *members[k];
            const std::uint64_t taken = slots[k] == empty ? 0 : choices[slots[k]].classes;
            for (std::size_t p = 0; p < n_positions; ++p) {
                const std::size_t c = cluster.class_of[p];
                const bool here = (taken & bit(c)) &&
                                  (copy_order[c].empty() || copy_order[c][copies[c]] < filled[p]);
                if (!here) {
                    ++vacancies;
                    continue;
                }
                placed.emplace_back(cluster.members[p], shares[p][species_slots[p][used[p]++]].symbol);
            }
            for (std::size_t c = 0; c < n_classes; ++c)
                if (taken & bit(c)) ++copies[c];
        }
        for (std::size_t p = 0; p < n_positions; ++p) {
            const std::size_t m = first.members[p];
            for (std::size_t e = cells.entries_begin(m), j = 0; e < cells.entries_end(m); ++e, ++j) {
                const SpeciesEntry sp = cells.entry(e);
                rows.push_back({cells.symbol(sp.symbol), sp.occupancy, members.size(), species_counts[p][j]});
                if (overfull)
                    shortfall.atoms[cells.symbol(sp.symbol)] +=
                        sp.occupancy * static_cast<double>(members.size()) - static_cast<double>(species_counts[p][j]);
            }
        }
    }
    return vacancies;
}

// What the report says about the clusters.
void cluster_warnings(const ClusterPlan& plan, const ClusterShortfall& shortfall,
                      std::vector<std::string>& warnings) {
    if (!plan.clusters.empty())
        warnings.push_back("placed " + dec(plan.clusters.size()) +
                           " clusters of linked positions as one choice each (disorder groups and positions that "
                           "exclude none of one another, or nothing), so no two positions that exclude one another "
                           "are both filled and the atoms of one group come together");
    if (plan.split_groups)
        warnings.push_back(dec(plan.split_groups) +
                           " clusters hold a disorder group whose positions exclude one another (a group next to "
                           "its own symmetry image); each such group was placed as one choice per image");
    std::string atoms;
    for (const auto& [element, missing] : shortfall.atoms) {
        const double whole = std::round(missing);
        if (whole >= 1.0) atoms += (atoms.empty() ? "" : ", ") + dec(saturating_u64(whole)) + " " + element;
    }
    if (shortfall.overfull) {
        const std::uint64_t proven = shortfall.overfull - shortfall.unproven;
        std::string why;
        if (proven)
            why = dec(proven) + " clusters hold positions whose occupancies ask for more than choices of compatible "
                                "positions can fill";
        if (shortfall.unproven)
            why += (why.empty() ? "for " : "; for ") + dec(shortfall.unproven) +
                   " clusters no split of the occupancies into choices of compatible positions that fits one "
                   "cluster was found within the search's bounds";
        warnings.push_back(why + ": their choices were scaled down, and fewer atoms than the occupancies ask "
                                 "for were placed there (" +
                           (atoms.empty() ? std::string("less than one atom") : atoms) + " short)");
    }
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
    if (links_wrap(sources.size(), links))
        return fail("positions linked by disorder groups or closeness chain through the crystal (a chain of them "
                    "reaches its own image in another cell); such a cluster cannot be placed as one choice");
    auto clusters = plan_clusters(sources, n, links);
    if (!clusters) return clusters.error();
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
    ClusterShortfall shortfall;
    n_vacancies += place_clusters(*clusters, cells, rng, placed, rows, shortfall);
    std::vector<std::string> warnings = expansion_warnings(missing, rows, n, denominator, max_sites);
    cluster_warnings(*clusters, shortfall, warnings);

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
