// Displacement parameters on Structure (the `displacements` property and
// with_displacements) and the pair sums behind molvane.pdf.
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "binding/binding.hpp"
#include "binding/pyargs.hpp"
#include "binding/pyobj.hpp"
#include "engine/exclusions.hpp"
#include "engine/pdf.hpp"

namespace molvane {

namespace {

// None, U_iso as a float, or the six U_ij as a tuple.
PyObject* displacement_value(const Displacement& d) {
    if (d.kind == Displacement::none) return Py_NewRef(Py_None);
    if (d.kind == Displacement::isotropic) return PyFloat_FromDouble(d.u[0]);
    PyRef tuple{PyTuple_New(6)};
    if (!tuple) return nullptr;
    for (Py_ssize_t k = 0; k < 6; ++k) {
        PyObject* v = PyFloat_FromDouble(d.u[static_cast<std::size_t>(k)]);
        if (!v) return nullptr;
        if (PyTuple_SetItem(tuple.get(), k, v) < 0) return nullptr;  // steals v
    }
    return tuple.release();
}

// One item of a displacement list: None, a number (U_iso) or six numbers.
bool displacement_item(PyObject* item, std::size_t index, Displacement& out) {
    out = Displacement{};
    if (item == Py_None) return true;
    if (PyNumber_Check(item) && !PySequence_Check(item)) {
        out.kind = Displacement::isotropic;
        return arg_f64(item, "displacements", out.u[0]);
    }
    PyRef seq{PySequence_Check(item) && !PyUnicode_Check(item) ? PySequence_Tuple(item) : nullptr};
    if (!seq || PyTuple_Size(seq.get()) != 6) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "displacements[%zu] must be None, a number (U_iso) or six numbers (U11 U22 U33 U12 U13 U23)",
                     index);
        return false;
    }
    out.kind = Displacement::anisotropic;
    for (std::size_t k = 0; k < 6; ++k)
        if (!arg_f64(PyTuple_GetItem(seq.get(), static_cast<Py_ssize_t>(k)), "displacements", out.u[k]))
            return false;
    return true;
}

// A sequence of items (None as a whole: none at all).
bool displacement_list(PyObject* obj, std::vector<Displacement>& out) {
    out.clear();
    if (obj == Py_None) return true;
    PyRef seq{PySequence_Check(obj) && !PyUnicode_Check(obj) ? PySequence_Tuple(obj) : nullptr};
    if (!seq) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "displacements must be None or a sequence with one entry per site");
        return false;
    }
    const Py_ssize_t n = PyTuple_Size(seq.get());
    out.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!displacement_item(PyTuple_GetItem(seq.get(), i), static_cast<std::size_t>(i),
                               out[static_cast<std::size_t>(i)]))
            return false;
    bool any = false;
    for (const Displacement& d : out) any = any || d.kind != Displacement::none;
    if (!any) out.clear();
    return true;
}

PyObject* with_displacements(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"Structure.with_displacements()", {{"displacements", true}}};
        PyObject* slots[1];
        if (!bind_args(sig, args, kwargs, slots)) return nullptr;
        std::vector<Displacement> values;
        if (!displacement_list(slots[0], values)) return nullptr;
        auto result = structure_of(self).with_displacements(std::move(values));
        if (!result) return err(result.error().message);
        return wrap_structure(std::move(*result));
    });
}

// _pdf_pairs(displacements, rmin, rstep, n_points, delta1, delta2, qbroad,
// n_threads, reach) -> (elements, bytes of the curves, float64, one after
// another, summary): with a reach (not None) the pairs the rules within it
// decide take their physical weights and `summary` (summary_tuple) counts
// them; without, every pair weighs o_i o_j and the summary counts nothing.
PyObject* pdf_pairs(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"Structure._pdf_pairs()",
                                   {{"displacements", true}, {"rmin", true}, {"rstep", true}, {"n_points", true},
                                    {"delta1", true}, {"delta2", true}, {"qbroad", true}, {"n_threads", true},
                                    {"reach", true}}};
        PyObject* slots[9];
        if (!bind_args(sig, args, kwargs, slots)) return nullptr;
        const Structure& structure = structure_of(self);
        std::vector<Displacement> values;
        if (slots[0] == Py_None) values = structure.displacements();
        else if (!displacement_list(slots[0], values)) return nullptr;
        PdfGrid grid;
        PeakWidth width;
        std::uint64_t n_threads = 0;
        if (!arg_f64(slots[1], "rmin", grid.rmin) || !arg_f64(slots[2], "rstep", grid.rstep) ||
            !arg_u64(slots[3], "n_points", grid.n_points) || !arg_f64(slots[4], "delta1", width.delta1) ||
            !arg_f64(slots[5], "delta2", width.delta2) || !arg_f64(slots[6], "qbroad", width.qbroad) ||
            !arg_u64(slots[7], "n_threads", n_threads))
            return nullptr;
        double reach = 0.0;
        const bool physical = slots[8] != Py_None;
        if (physical && !arg_f64(slots[8], "reach", reach)) return nullptr;
        DecisionSummary made;
        auto sums = without_gil([&]() -> Result<PdfPairSums> {
            try {
                if (!physical) return compute_pdf_pairs(structure, values, grid, width, n_threads);
                auto rules = PairRules::create(structure, reach);
                if (!rules) return rules.error();
                return compute_pdf_pairs(structure, values, grid, width, n_threads, &*rules, &made);
            } catch (const std::bad_alloc&) {
                return fail("not enough memory for the pair sums");
            }
        });
        if (!sums) return err(sums.error().message);
        PyRef elements{new_list(sums->elements, [](const std::string& e) { return new_str(e); })};
        if (!elements) return nullptr;
        const std::size_t n = grid.n_points, n_curves = sums->curves.size();
        PyRef bytes{PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n_curves * n * sizeof(double)))};
        if (!bytes) return nullptr;
        char* data = PyBytes_AsString(bytes.get());
        for (std::size_t c = 0; c < n_curves; ++c)
            std::memcpy(data + c * n * sizeof(double), sums->curves[c].data(), n * sizeof(double));
        PyRef summary{summary_tuple(structure, made)};
        if (!summary) return nullptr;
        return PyTuple_Pack(3, elements.get(), bytes.get(), summary.get());
    });
}

}  // namespace

PyObject* get_displacements(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const std::vector<Displacement>& values = structure_of(self).displacements();
        if (values.empty()) return Py_NewRef(Py_None);
        return new_list(values, displacement_value);
    });
}

std::vector<PyMethodDef> pdf_methods() {
    return {
        {"with_displacements", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(with_displacements)),
         METH_VARARGS | METH_KEYWORDS,
         "with_displacements($self, displacements)\n--\n\n"
         "A copy with atomic displacement parameters (A^2): one entry per site, each None,\n"
         "U_iso, or (U11, U22, U33, U12, U13, U23) in the crystal basis of the CIF\n"
         "dictionary; None as a whole removes them."},
        {"_pdf_pairs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pdf_pairs)),
         METH_VARARGS | METH_KEYWORDS,
         "_pdf_pairs($self, displacements, rmin, rstep, n_points, delta1, delta2, qbroad, n_threads, reach)\n--\n\n"
         "Per element pair, the Gaussian pair sums behind molvane.pdf, and what the physical\n"
         "weights of the pairs decided within reach (None: every pair o_i o_j) changed."},
    };
}

}  // namespace molvane
