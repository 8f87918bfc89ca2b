// Structure.expand_occupancies and Structure.disorder_summary: the Python
// face of the occupancy expansion and the list of partially occupied sites.
#include <string>

#include "disorder/expand.hpp"
#include "core/defaults.hpp"
#include "engine/exclusions.hpp"
#include "binding/binding.hpp"
#include "binding/pyargs.hpp"
#include "binding/pyobj.hpp"

namespace molvane {

namespace {

// dict[key] = value, taking ownership of value; false with an exception set.
bool set_item(PyObject* dict, const char* key, PyObject* value) {
    PyRef owned{value};
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* new_u64(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

PyObject* report_row(const ReportRow& row) {
    PyRef dict{PyDict_New()};
    if (!dict) return nullptr;
    const double actual =
        static_cast<double>(row.atoms_placed) / static_cast<double>(row.sites_in_pool);
    if (!set_item(dict.get(), "element", new_str(row.element)) ||
        !set_item(dict.get(), "target_occupancy", PyFloat_FromDouble(row.target_occupancy)) ||
        !set_item(dict.get(), "sites_in_pool", new_u64(row.sites_in_pool)) ||
        !set_item(dict.get(), "atoms_placed", new_u64(row.atoms_placed)) ||
        !set_item(dict.get(), "actual_occupancy", PyFloat_FromDouble(actual)))
        return nullptr;
    return dict.release();
}

// {scale, n_vacancies, warnings, occupancy_report}, keys in that order.
PyObject* report_dict(const Expansion& expansion) {
    PyRef dict{PyDict_New()};
    if (!dict) return nullptr;

    if (!set_item(dict.get(), "scale", new_list(expansion.scale, new_u64))) return nullptr;
    if (!set_item(dict.get(), "n_vacancies", new_u64(expansion.n_vacancies))) return nullptr;
    if (!set_item(dict.get(), "warnings", new_list(expansion.warnings, [](const std::string& w) { return new_str(w); })))
        return nullptr;
    if (!set_item(dict.get(), "occupancy_report", new_list(expansion.occupancy_report, report_row))) return nullptr;
    return dict.release();
}

// The positions the expansion must keep linked: every exclusive or together
// pair within the default reach.
Result<std::vector<LinkedPair>> linked_pairs(const Structure& structure) {
    auto decisions = decide_pairs(structure, defaults::reach);
    if (!decisions) return decisions.error();
    std::vector<LinkedPair> links;
    links.reserve(decisions->pairs.size());
    for (const PairDecision& d : decisions->pairs)
        links.push_back({d.i, d.j, d.offset, d.kind == PairKind::together, d.distance});
    return links;
}

PyObject* structure_expand_occupancies(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"Structure.expand_occupancies()",
                                   {{"max_sites", false}, {"seed", false}, {"max_denominator", false}}};
        PyObject* slots[3];
        if (!bind_args(sig, args, kwargs, slots)) return nullptr;
        std::uint64_t max_sites = defaults::max_sites, seed = defaults::seed,
                      max_denominator = defaults::max_denominator;
        if (slots[0] && !arg_u64(slots[0], "max_sites", max_sites)) return nullptr;
        if (slots[1] && !arg_u64(slots[1], "seed", seed)) return nullptr;
        if (slots[2] && !arg_u64(slots[2], "max_denominator", max_denominator)) return nullptr;

        auto links = linked_pairs(structure_of(self));
        if (!links) return err(links.error().message);
        auto expansion = expand_occupancies(structure_of(self), max_sites, seed, max_denominator, *links);
        if (!expansion) return err(expansion.error().message);

        PyRef report{report_dict(*expansion)};
        if (!report) return nullptr;
        PyRef structure{wrap_structure(std::move(expansion->structure))};
        if (!structure) return nullptr;
        PyRef pair{PyTuple_New(2)};
        if (!pair) return nullptr;
        PyTuple_SetItem(pair.get(), 0, structure.release());  // steals
        PyTuple_SetItem(pair.get(), 1, report.release());
        return pair.release();
    });
}

PyObject* site_entry(const Sites& sites, std::size_t index) {
    PyRef dict{PyDict_New()};
    if (!dict) return nullptr;
    if (!set_item(dict.get(), "site_index", PyLong_FromSize_t(index))) return nullptr;

    if (!set_item(dict.get(), "frac_coords", new_float_list(sites.frac(index)))) return nullptr;

    // A repeated element keeps its first position and its last value.
    PyRef occupancies{PyDict_New()};
    if (!occupancies) return nullptr;
    double total = -0.0;
    for (std::size_t e = sites.entries_begin(index); e < sites.entries_end(index); ++e) {
        const auto [symbol, occupancy] = sites.entry(e);
        PyRef key{new_str(sites.symbol(symbol))};
        PyRef value{PyFloat_FromDouble(occupancy)};
        if (!key || !value || PyDict_SetItem(occupancies.get(), key.get(), value.get()) < 0)
            return nullptr;
        total += occupancy;
    }
    if (!set_item(dict.get(), "occupancies", occupancies.release())) return nullptr;

    const double missing = 1.0 - total;
    const double vacancy = missing > 0.0 ? missing : 0.0;  // NaN gives 0.0 as well
    if (!set_item(dict.get(), "total_occupancy", PyFloat_FromDouble(total)) ||
        !set_item(dict.get(), "vacancy", PyFloat_FromDouble(vacancy)))
        return nullptr;
    return dict.release();
}

PyObject* structure_disorder_summary(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"Structure.disorder_summary()", {}};
        if (!bind_args(sig, args, kwargs, nullptr)) return nullptr;
        const Sites& sites = structure_of(self).sites();
        PyRef list{PyList_New(0)};
        if (!list) return nullptr;
        for (std::size_t i = 0; i < sites.size(); ++i) {
            if (sites.is_ordered(i)) continue;
            PyRef entry{site_entry(sites, i)};
            if (!entry || PyList_Append(list.get(), entry.get()) < 0) return nullptr;
        }
        return list.release();
    });
}

}  // namespace

std::vector<PyMethodDef> disorder_methods() {
    return {
        {"expand_occupancies",
         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(structure_expand_occupancies)),
         METH_VARARGS | METH_KEYWORDS,
         "expand_occupancies($self, max_sites=" MOLVANE_STR(MOLVANE_DEFAULT_MAX_SITES)
         ", seed=" MOLVANE_STR(MOLVANE_DEFAULT_SEED)
         ", max_denominator=" MOLVANE_STR(MOLVANE_DEFAULT_MAX_DENOMINATOR) ")\n--\n\n"
         "Expand partial occupancies into an explicit ordered supercell."},
        {"disorder_summary",
         reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(structure_disorder_summary)),
         METH_VARARGS | METH_KEYWORDS,
         "disorder_summary($self)\n--\n\n"
         "One entry per partially occupied site: index, coordinates, occupancies.\n\n"
         "Empty for a fully ordered structure, so it doubles as the check a\n"
         "caller needs before reporting anything to the user."},
    };
}

}  // namespace molvane
