// Structure.prdf, total_rdf and available_threads: argument conversion, the
// native computation without the interpreter lock, and NumPy results that
// take over the computed buffers.
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/defaults.hpp"
#include "core/number.hpp"  // for format_fixed4
#include "engine/exclusions.hpp"
#include "binding/binding.hpp"
#include "engine/neighbor.hpp"
#include "engine/pool.hpp"
#include "engine/rdf.hpp"
#include "binding/pyargs.hpp"
#include "binding/pyobj.hpp"

// The NumPy C API table lives in this file only; it is imported on first use.
#define PY_ARRAY_UNIQUE_SYMBOL molvane_rdf_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

namespace molvane {

namespace {

bool numpy_imported = false;

bool ensure_numpy() {
    if (numpy_imported) return true;
    if (_import_array() < 0) return false;
    numpy_imported = true;
    return true;
}

constexpr const char* buffer_capsule_name = "molvane.rdf.buffer";

void free_buffer(PyObject* capsule) {
    delete static_cast<std::vector<double>*>(PyCapsule_GetPointer(capsule, buffer_capsule_name));
}

}  // namespace

PyObject* take_array(std::vector<double>&& values, std::size_t columns) {
    if (!ensure_numpy()) return nullptr;
    auto holder = std::make_unique<std::vector<double>>(std::move(values));
    const auto size = static_cast<npy_intp>(holder->size());
    npy_intp dims[2] = {size, 0};
    if (columns > 0) dims[0] = size / static_cast<npy_intp>(columns), dims[1] = static_cast<npy_intp>(columns);
    double* data = holder->data();
    PyRef capsule{PyCapsule_New(holder.get(), buffer_capsule_name, free_buffer)};
    if (!capsule) return nullptr;
    holder.release();  // owned by the capsule now
    PyRef array{PyArray_SimpleNewFromData(columns > 0 ? 2 : 1, dims, NPY_FLOAT64, data)};
    if (!array) return nullptr;
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0)
        return nullptr;  // SetBaseObject steals the capsule even on failure
    return array.release();
}

namespace {

// Converts cutoff, bin_size and n_threads from their slots (nullptr: default).
bool convert_common(PyObject** slots, double& cutoff, double& bin_size, std::uint64_t& n_threads) {
    if (slots[0] && !arg_f64(slots[0], "cutoff", cutoff)) return false;
    if (slots[1] && !arg_f64(slots[1], "bin_size", bin_size)) return false;
    if (slots[2] && !arg_u64(slots[2], "n_threads", n_threads)) return false;
    return true;
}

// A str, or None / omitted (has = false).
bool convert_optional_str(PyObject* slot, const char* name, std::string& out, bool& has) {
    has = slot && slot != Py_None;
    return !has || arg_str(slot, name, out);
}

// Runs the computation with the interpreter lock released.
// With `reach`, the pairs the rules within that reach decide are weighted
// physically and `summary` says what changed.
Result<PrdfResult> run_unlocked(PyObject* self, std::uint64_t n_threads, double cutoff, double bin_size,
                                std::optional<double> reach = std::nullopt, DecisionSummary* summary = nullptr) {
    const Structure& structure = structure_of(self);
    return without_gil([&]() -> Result<PrdfResult> {
        try {
            if (!reach) return compute_prdf(structure, n_threads, cutoff, bin_size);
            auto rules = PairRules::create(structure, *reach);
            if (!rules) return rules.error();
            return compute_prdf(structure, n_threads, cutoff, bin_size, &*rules, summary);
        } catch (const std::bad_alloc&) {
            return fail("not enough memory for the RDF histograms");
        }
    });
}

// The pair decisions within `reach`, with the interpreter lock released.
Result<PairDecisions> decisions_unlocked(PyObject* self, double reach) {
    const Structure& structure = structure_of(self);
    return without_gil([&]() -> Result<PairDecisions> {
        try {
            return decide_pairs(structure, reach);
        } catch (const std::bad_alloc&) {
            return fail("not enough memory for the pair decisions");
        }
    });
}

// Why a pair was decided as it was, in words.
std::string decision_reason(const Structure& s, const PairDecision& d) {
    const SiteColumns& columns = s.sites().columns();
    const auto& tags = columns.disorder;
    auto text = [&](std::uint32_t label) -> const std::string& { return (*columns.disorder_labels)[label]; };
    auto assembly = [&](std::uint32_t i) {
        return tags[i].assembly == 0 ? std::string("the implicit assembly")
                                     : "assembly '" + text(tags[i].assembly) + "'";
    };
    switch (d.reason) {
        case PairReason::other_group:
            return "groups '" + text(tags[d.i].group) + "' and '" + text(tags[d.j].group) + "' of " + assembly(d.i);
        case PairReason::negative_group:
            return "images of one row of negative group '" + text(tags[d.i].group) + "'";
        case PairReason::same_group:
            return "group '" + text(tags[d.i].group) + "' of " + assembly(d.i);
        case PairReason::too_close:
            break;
    }
    return "closer than " + format_fixed4(d.limit) + " A (covalent radii)";
}

// One decision as (i, j, (na, nb, nc), distance, kind, why, independent
// weight, physical weight), the weights those of the two sites' occupancies.
PyObject* decision_tuple(const Structure& s, const PairDecision& d) {
    static const char* kinds[] = {"exclusive", "together", "independent"};
    const double o_i = s.sites().occupancy_sum(d.i), o_j = s.sites().occupancy_sum(d.j);
    PyRef offset{Py_BuildValue("(LLL)", static_cast<long long>(d.offset[0]), static_cast<long long>(d.offset[1]),
                               static_cast<long long>(d.offset[2]))};
    PyRef why{new_str(decision_reason(s, d))};
    if (!offset || !why) return nullptr;
    return Py_BuildValue("(IIOdsOdd)", static_cast<unsigned>(d.i), static_cast<unsigned>(d.j), offset.get(),
                         d.distance, kinds[static_cast<int>(d.kind)], why.get(), o_j * o_i,
                         decided_weight(d.kind, o_i, o_j, o_i, o_j));
}

// ([decided pairs], [too-close pairs left independent]) as decision tuples.
PyObject* decisions_lists(const Structure& s, const PairDecisions& decisions) {
    auto one = [&](const PairDecision& d) { return decision_tuple(s, d); };
    PyRef pairs{new_list(decisions.pairs, one)};
    if (!pairs) return nullptr;
    PyRef unresolved{new_list(decisions.unresolved, one)};
    if (!unresolved) return nullptr;
    return PyTuple_Pack(2, pairs.get(), unresolved.get());
}

// What prdf(save_plots=...) calls, set by the package when it is imported
// (molvane._plot_hand_over): the binding never imports the package itself.
PyObject* plot_hook = nullptr;

// Hands the curves to the hook, which passes them on to
// molvane.plotting.save_prdf_plots with bin_size, title and N / V.
bool save_plots(PyObject* self, PyObject* r, PyObject* partials, PyObject* total, const std::string& folder,
                double bin_size, bool has_title, const std::string& title) {
    if (!plot_hook) {
        PyErr_SetString(PyExc_ImportError, "saving plots needs the molvane package: import molvane");
        return false;
    }
    PyRef bin{PyFloat_FromDouble(bin_size)};
    if (!bin) return false;
    PyRef title_obj{has_title ? new_str(title) : Py_NewRef(Py_None)};
    if (!title_obj) return false;
    PyRef folder_obj{new_str(folder)};
    if (!folder_obj) return false;
    PyRef args{PyTuple_Pack(7, self, r, partials, total, folder_obj.get(), bin.get(), title_obj.get())};
    if (!args) return false;
    PyRef ignored{PyObject_Call(plot_hook, args.get(), nullptr)};
    return static_cast<bool>(ignored);
}

// The arrays r and total and the dict of partials, taking over the curves.
bool curve_objects(PrdfResult& out, PyRef& r, PyRef& partials, PyRef& total) {
    const std::size_t nel = out.elements.size();
    partials.reset(PyDict_New());
    if (!partials) return false;
    for (std::size_t a = 0; a < nel; ++a) {
        for (std::size_t b = 0; b < nel; ++b) {
            PyRef centre{new_str(out.elements[a])}, neighbour{new_str(out.elements[b])};
            if (!centre || !neighbour) return false;
            PyRef key{PyTuple_Pack(2, centre.get(), neighbour.get())};
            if (!key) return false;
            PyRef curve{take_array(std::move(out.partials[a * nel + b]))};
            if (!curve || PyDict_SetItem(partials.get(), key.get(), curve.get()) < 0) return false;
        }
    }
    r.reset(take_array(std::move(out.r)));
    if (!r) return false;
    total.reset(take_array(std::move(out.total)));
    return static_cast<bool>(total);
}

PyObject* prdf(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"Structure.prdf()",
                                   {{"cutoff", false},
                                    {"bin_size", false},
                                    {"n_threads", false},
                                    {"save_plots", false},
                                    {"title", false}}};
        PyObject* slots[5];
        if (!bind_args(sig, args, kwargs, slots)) return nullptr;
        double cutoff = defaults::cutoff, bin_size = defaults::bin_size;
        std::uint64_t n_threads = 0;
        std::string folder, title;
        bool has_folder = false, has_title = false;
        if (!convert_common(slots, cutoff, bin_size, n_threads)) return nullptr;
        has_folder = slots[3] && slots[3] != Py_None;
        if (has_folder && !arg_path(slots[3], "save_plots", folder)) return nullptr;
        if (!convert_optional_str(slots[4], "title", title, has_title)) return nullptr;
        if (!ensure_numpy()) return nullptr;

        auto result = run_unlocked(self, n_threads, cutoff, bin_size);
        if (!result) return err(result.error().message);
        PyRef r, partials, total;
        if (!curve_objects(*result, r, partials, total)) return nullptr;

        if (has_folder &&
            !save_plots(self, r.get(), partials.get(), total.get(), folder, bin_size, has_title, title))
            return nullptr;
        return PyTuple_Pack(3, r.get(), partials.get(), total.get());
    });
}

PyObject* total_rdf(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"Structure.total_rdf()",
                                   {{"cutoff", false}, {"bin_size", false}, {"n_threads", false}}};
        PyObject* slots[3];
        if (!bind_args(sig, args, kwargs, slots)) return nullptr;
        double cutoff = defaults::cutoff, bin_size = defaults::bin_size;
        std::uint64_t n_threads = 0;
        if (!convert_common(slots, cutoff, bin_size, n_threads)) return nullptr;
        if (!ensure_numpy()) return nullptr;

        auto result = run_unlocked(self, n_threads, cutoff, bin_size);
        if (!result) return err(result.error().message);
        PyRef r{take_array(std::move(result->r))};
        if (!r) return nullptr;
        PyRef total{take_array(std::move(result->total))};
        if (!total) return nullptr;
        return PyTuple_Pack(2, r.get(), total.get());
    });
}

// _pair_decisions(reach): the decided pairs and the too-close pairs left
// independent, as two lists of decision tuples.
PyObject* pair_decisions(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"Structure._pair_decisions()", {{"reach", true}}};
        PyObject* slots[1];
        double reach = 0.0;
        if (!bind_args(sig, args, kwargs, slots) || !arg_f64(slots[0], "reach", reach)) return nullptr;
        auto decisions = decisions_unlocked(self, reach);
        if (!decisions) return err(decisions.error().message);
        return decisions_lists(structure_of(self), *decisions);
    });
}

}  // namespace

PyObject* summary_tuple(const Structure& s, const DecisionSummary& summary) {
    auto first = [&](const std::optional<PairDecision>& d) {
        return d ? decision_tuple(s, *d) : Py_NewRef(Py_None);
    };
    PyRef first_decided{first(summary.first)};
    if (!first_decided) return nullptr;
    PyRef first_unresolved{first(summary.first_unresolved)};
    if (!first_unresolved) return nullptr;
    return Py_BuildValue("(KKOKO)", static_cast<unsigned long long>(summary.exclusive),
                         static_cast<unsigned long long>(summary.together), first_decided.get(),
                         static_cast<unsigned long long>(summary.unresolved), first_unresolved.get());
}

namespace {

// _physical_prdf(cutoff, bin_size, n_threads, reach): (r, partials, total,
// summary) with the decided pairs weighted physically; `summary` as
// summary_tuple gives it for the pairs within the cutoff.
PyObject* physical_prdf(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"Structure._physical_prdf()",
                                   {{"cutoff", true}, {"bin_size", true}, {"n_threads", true}, {"reach", true}}};
        PyObject* slots[4];
        if (!bind_args(sig, args, kwargs, slots)) return nullptr;
        double cutoff = defaults::cutoff, bin_size = defaults::bin_size, reach = 0.0;
        std::uint64_t n_threads = 0;
        if (!convert_common(slots, cutoff, bin_size, n_threads) || !arg_f64(slots[3], "reach", reach)) return nullptr;
        if (!ensure_numpy()) return nullptr;
        DecisionSummary made;
        auto result = run_unlocked(self, n_threads, cutoff, bin_size, reach, &made);
        if (!result) return err(result.error().message);
        PyRef r, partials, total;
        if (!curve_objects(*result, r, partials, total)) return nullptr;
        PyRef summary{summary_tuple(structure_of(self), made)};
        if (!summary) return nullptr;
        return PyTuple_Pack(4, r.get(), partials.get(), total.get(), summary.get());
    });
}

PyObject* available_threads(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"Structure.available_threads()", {}};
        if (!bind_args(sig, args, kwargs, nullptr)) return nullptr;
        // The first call starts the default pool's threads.
        const std::size_t n = without_gil([] { return default_pool().size(); });
        return PyLong_FromSize_t(std::max<std::size_t>(n, 1));
    });
}

// _set_kernel(name): makes the named distance kernel ("plain", "avx2",
// "avx512") the one later computations use and returns the previous name.
// For tests that compare the variants; ValueError for a name this CPU cannot run.
PyObject* set_kernel_py(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"_set_kernel()", {{"name", true}}};
        PyObject* slots[1];
        std::string name;
        if (!bind_args(sig, args, kwargs, slots) || !arg_str(slots[0], "name", name)) return nullptr;
        auto kernel = kernel_named(name);
        if (!kernel) return err("unknown kernel " + name + " (plain, avx2, avx512)");
        if (!kernel_supported(*kernel)) return err("this CPU cannot run the " + name + " kernel");
        return PyUnicode_FromString(kernel_name(set_kernel(*kernel)));
    });
}

// _set_plot_hook(function): the callable prdf(save_plots=...) hands its
// curves to, as function(structure, r, partials, total, folder, bin_size, title).
PyObject* set_plot_hook_py(PyObject*, PyObject* function) {
    if (!PyCallable_Check(function)) {
        PyErr_SetString(PyExc_TypeError, "the plot hook must be callable");
        return nullptr;
    }
    PyObject* previous = plot_hook;
    plot_hook = Py_NewRef(function);
    Py_XDECREF(previous);
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef* rdf_module_functions() {
    static PyMethodDef table[] = {
        {"_set_kernel", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_kernel_py)),
         METH_VARARGS | METH_KEYWORDS, "_set_kernel(name)\n--\n\nForces a distance kernel variant (tests)."},
        {"_set_plot_hook", set_plot_hook_py, METH_O,
         "_set_plot_hook(function, /)\n--\n\nSets what prdf(save_plots=...) hands its curves to."},
        {nullptr, nullptr, 0, nullptr},
    };
    return table;
}

std::vector<PyMethodDef> rdf_methods() {
    return {
        {"prdf", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(prdf)), METH_VARARGS | METH_KEYWORDS,
         "prdf($self, cutoff=" MOLVANE_STR(MOLVANE_DEFAULT_CUTOFF) ", bin_size=" MOLVANE_STR(MOLVANE_DEFAULT_BIN_SIZE)
         ", n_threads=0, save_plots=None, title=None)\n--\n\n"
         "Partial and total RDF.\n"
         "\n"
         "Returns (r, partials, total) where `partials` maps (\"A\", \"B\") to g_AB.\n"
         "With `save_plots=\"some/folder\"` the curves are also written there as\n"
         "figures plus a CSV (needs matplotlib); None, the default, saves nothing."},
        {"total_rdf", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(total_rdf)),
         METH_VARARGS | METH_KEYWORDS,
         "total_rdf($self, cutoff=" MOLVANE_STR(MOLVANE_DEFAULT_CUTOFF) ", bin_size=" MOLVANE_STR(MOLVANE_DEFAULT_BIN_SIZE)
         ", n_threads=0)\n--\n\nTotal RDF only."},
        {"_pair_decisions", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pair_decisions)),
         METH_VARARGS | METH_KEYWORDS,
         "_pair_decisions($self, reach)\n--\n\n"
         "([decided pairs], [too-close pairs left independent]); each pair is (i, j, offset,\n"
         "distance, kind, why, independent weight, physical weight)."},
        {"_physical_prdf", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(physical_prdf)),
         METH_VARARGS | METH_KEYWORDS,
         "_physical_prdf($self, cutoff, bin_size, n_threads, reach)\n--\n\n"
         "prdf with the decided pairs weighted physically, plus (n_exclusive, n_together, first\n"
         "decided pair, n_unresolved, first unresolved pair)."},
        {"available_threads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(available_threads)),
         METH_VARARGS | METH_KEYWORDS | METH_STATIC,
         "available_threads()\n--\n\nNumber of worker threads rayon will use when `n_threads=0`."},
    };
}

}  // namespace molvane
