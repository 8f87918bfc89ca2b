// Structure.prdf, total_rdf and available_threads: argument conversion, the
// native computation without the interpreter lock, and NumPy results that
// take over the computed buffers.
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/defaults.hpp"
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
Result<PrdfResult> run_unlocked(PyObject* self, std::uint64_t n_threads, double cutoff, double bin_size) {
    const Structure& structure = structure_of(self);
    return without_gil([&]() -> Result<PrdfResult> {
        try {
            return compute_prdf(structure, n_threads, cutoff, bin_size);
        } catch (const std::bad_alloc&) {
            return fail("not enough memory for the RDF histograms");
        }
    });
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
        PrdfResult& out = *result;

        const std::size_t nel = out.elements.size();
        PyRef partials{PyDict_New()};
        if (!partials) return nullptr;
        for (std::size_t a = 0; a < nel; ++a) {
            for (std::size_t b = 0; b < nel; ++b) {
                PyRef centre{new_str(out.elements[a])}, neighbour{new_str(out.elements[b])};
                if (!centre || !neighbour) return nullptr;
                PyRef key{PyTuple_Pack(2, centre.get(), neighbour.get())};
                if (!key) return nullptr;
                PyRef curve{take_array(std::move(out.partials[a * nel + b]))};
                if (!curve || PyDict_SetItem(partials.get(), key.get(), curve.get()) < 0) return nullptr;
            }
        }
        PyRef r{take_array(std::move(out.r))};
        if (!r) return nullptr;
        PyRef total{take_array(std::move(out.total))};
        if (!total) return nullptr;

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
        {"available_threads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(available_threads)),
         METH_VARARGS | METH_KEYWORDS | METH_STATIC,
         "available_threads()\n--\n\nNumber of worker threads rayon will use when `n_threads=0`."},
    };
}

}  // namespace molvane
