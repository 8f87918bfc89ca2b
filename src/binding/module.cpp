// Module entry, error mapping and the Structure class: constructor,
// properties, repr and make_supercell. The other methods come from the
// other files of the binding through their method tables.
#include "binding/binding.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <new>
#include <stdexcept>

#include "core/defaults.hpp"
#include "core/number.hpp"  // for format_fixed4
#include "core/numeric.hpp"  // for saturating_i64
#include "binding/pyargs.hpp"
#include "binding/pyobj.hpp"

namespace molvane {

namespace {

struct PyStructure {
    PyObject_HEAD
    Structure* value;
};

// A list with one 3-float list per entry of `rows`.
template <typename Rows, typename Get>
PyObject* new_rows_list(const Rows& rows, Get&& get) {
    return new_list(rows, [&](const auto& row) { return new_float_list(get(row)); });
}

// A dict whose keys are inserted in the map's (byte) order.
PyObject* new_float_dict(const std::map<std::string, double>& entries) {
    PyRef dict{PyDict_New()};
    if (!dict) return nullptr;
    for (const auto& [key, value] : entries) {
        PyRef k{new_str(key)};
        if (!k) return nullptr;
        PyRef v{PyFloat_FromDouble(value)};
        if (!v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
    }
    return dict.release();
}

// --- constructor ---

// `frac_coords` holds rows of any length (vectors) or of three (Vec3).
template <class Rows>
Result<Structure> build_structure(const std::vector<std::vector<double>>& matrix, const Rows& frac_coords,
                                  const std::vector<std::vector<Species>>& species, const Pbc& pbc) {
    if (matrix.size() != 3) return fail("matrix must be 3x3");
    Mat3 m;
    for (std::size_t i = 0; i < 3; ++i) {
        if (matrix[i].size() != 3) return fail("matrix must be 3x3");
        for (std::size_t j = 0; j < 3; ++j) m[i][j] = matrix[i][j];
    }
    auto lattice = Lattice::create(m);
    if (!lattice) return lattice.error();
    if (frac_coords.size() != species.size())
        return fail("frac_coords and species must have the same length");
    std::size_t entries = 0;
    for (const auto& site : species) entries += site.size();
    Sites sites;
    sites.reserve(frac_coords.size(), entries);
    for (std::size_t i = 0; i < frac_coords.size(); ++i) {
        if (frac_coords[i].size() != 3) return fail("each coordinate must have 3 components");
        if (species[i].empty()) return fail("every site needs at least one species");
        sites.add_site({frac_coords[i][0], frac_coords[i][1], frac_coords[i][2]});
        for (const auto& [element, occupancy] : species[i]) sites.add_species(element, occupancy);
    }
    return Structure::create(std::move(*lattice), std::move(sites), pbc);
}

// Binds and converts matrix, frac_coords, species and pbc, then builds the
// structure. `species_as_pairs` takes each site's species as (symbol,
// occupancy) pairs kept in order; otherwise as a dict, sorted by symbol.
PyObject* construct(const Signature& sig, bool species_as_pairs, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[4];
        if (!bind_args(sig, args, kwargs, slots)) return nullptr;
        std::vector<std::vector<double>> matrix, frac_rows;
        std::vector<Vec3> frac_array;
        std::vector<std::vector<Species>> species;
        Pbc pbc = all_periodic;
        if (!arg_rows(slots[0], "matrix", matrix)) return nullptr;
        const bool array = coordinate_buffer(slots[1], frac_array);
        if (!array && !arg_rows(slots[1], "frac_coords", frac_rows)) return nullptr;
        if (!(species_as_pairs ? arg_species_pairs(slots[2], "species", species)
                               : arg_species_list(slots[2], "species", species)))
            return nullptr;
        if (slots[3] && !arg_pbc(slots[3], "pbc", pbc)) return nullptr;
        auto structure = array ? build_structure(matrix, frac_array, species, pbc)
                               : build_structure(matrix, frac_rows, species, pbc);
        if (!structure) return err(structure.error().message);
        return wrap_structure(std::move(*structure));
    });
}

PyObject* structure_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    static const Signature sig{
        "Structure.__new__()",
        {{"matrix", true}, {"frac_coords", true}, {"species", true}, {"pbc", false, true}}};
    return construct(sig, false, args, kwargs);
}

// _structure(matrix, frac_coords, species, pbc): the constructor for data that
// came from a Structure (pickles, converters), keeping each site's species
// list as given.
PyObject* structure_from_parts(PyObject*, PyObject* args, PyObject* kwargs) {
    static const Signature sig{
        "_structure()", {{"matrix", true}, {"frac_coords", true}, {"species", true}, {"pbc", true}}};
    return construct(sig, true, args, kwargs);
}

PyMethodDef structure_from_parts_def = {
    "_structure", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(structure_from_parts)),
    METH_VARARGS | METH_KEYWORDS,
    "_structure(matrix, frac_coords, species, pbc)\n--\n\n"
    "A Structure whose sites keep their species exactly as given: `species` holds\n"
    "one sequence of (symbol, occupancy) pairs per site, in order, repeats kept."};

void structure_dealloc(PyObject* self) {
    delete reinterpret_cast<PyStructure*>(self)->value;
    PyTypeObject* tp = Py_TYPE(self);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
    free_slot(self);
    Py_DECREF(tp);
}

// --- repr ---

std::string formula_amount(double amount) {
    double r = std::round(amount);
    if (std::abs(amount - r) < 1e-9) {
        return std::to_string(saturating_i64(r));
    }
    return format_fixed4(amount);
}

PyObject* structure_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const Structure& s = structure_of(self);
        std::string text = "Structure(" + std::to_string(s.sites().size()) + " sites, ";
        bool first = true;
        for (const auto& [element, amount] : s.composition()) {
            if (!first) text += ' ';
            first = false;
            text += element;
            text += formula_amount(amount);
        }
        if (!s.is_ordered()) text += ", disordered";
        text += ')';
        return new_str(text);
    });
}

// --- properties ---

PyObject* get_n_sites(PyObject* self, void*) {
    return PyLong_FromSize_t(structure_of(self).sites().size());
}

PyObject* get_n_atoms(PyObject* self, void*) {
    return PyFloat_FromDouble(structure_of(self).n_atoms());
}

PyObject* get_is_ordered(PyObject* self, void*) {
    return PyBool_FromLong(structure_of(self).is_ordered() ? 1 : 0);
}

PyObject* get_volume(PyObject* self, void*) {
    return PyFloat_FromDouble(structure_of(self).lattice().volume());
}

PyObject* get_elements(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        return new_list(structure_of(self).elements(), [](const std::string& e) { return new_str(e); });
    });
}

PyObject* get_composition(PyObject* self, void*) {
    return guarded([&] { return new_float_dict(structure_of(self).composition()); });
}

PyObject* get_lattice_matrix(PyObject* self, void*) {
    return guarded([&] {
        return new_rows_list(structure_of(self).lattice().matrix(), [](const Vec3& row) { return row; });
    });
}

PyObject* get_frac_coords(PyObject* self, void*) {
    return guarded([&] {
        return new_rows_list(structure_of(self).sites().frac_coords(), [](const Vec3& f) { return f; });
    });
}

PyObject* get_frac_array(PyObject* self, void*) {
    return guarded([&] {
        static_assert(sizeof(Vec3) == 3 * sizeof(double));
        const auto frac = structure_of(self).sites().frac_coords();
        std::vector<double> values(frac.size() * 3);
        std::memcpy(values.data(), frac.data(), values.size() * sizeof(double));
        return take_array(std::move(values), 3);
    });
}

PyObject* get_cart_coords(PyObject* self, void*) {
    return guarded([&] {
        const Lattice& lattice = structure_of(self).lattice();
        return new_rows_list(structure_of(self).sites().frac_coords(),
                             [&](const Vec3& f) { return lattice.to_cartesian(f); });
    });
}

// The symbols of a structure as str objects, each made once.
class SymbolStrs {
public:
    explicit SymbolStrs(const Sites& sites) : sites_(sites), strs_(sites.symbols().size()) {}

    // A new reference to the str of symbol k.
    PyObject* operator()(std::uint32_t k) {
        if (!strs_[k]) strs_[k].reset(new_str(sites_.symbol(k)));
        Py_XINCREF(strs_[k].get());
        return strs_[k].get();
    }

private:
    const Sites& sites_;
    std::vector<PyRef> strs_;
};

// One list per site of convert(entry) for each of its species entries.
template <class Convert>
PyObject* new_site_lists(const Sites& sites, Convert&& convert) {
    return new_list(IndexRange{0, sites.size()}, [&](std::size_t i) {
        return new_list(IndexRange{sites.entries_begin(i), sites.entries_end(i)},
                        [&](std::size_t e) { return convert(sites.entry(e)); });
    });
}

PyObject* get_species(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const Sites& sites = structure_of(self).sites();
        SymbolStrs symbol_str(sites);
        // Symbol indices follow byte order: a site's dict is its entries
        // sorted by index, the last of a repeated symbol kept.
        std::vector<SpeciesEntry> entries;
        return new_list(IndexRange{0, sites.size()}, [&](std::size_t i) -> PyObject* {
            entries.clear();
            for (std::size_t e = sites.entries_begin(i); e < sites.entries_end(i); ++e) entries.push_back(sites.entry(e));
            std::stable_sort(entries.begin(), entries.end(),
                             [](const SpeciesEntry& a, const SpeciesEntry& b) { return a.symbol < b.symbol; });
            PyRef dict{PyDict_New()};
            if (!dict) return nullptr;
            for (const SpeciesEntry& entry : entries) {
                PyRef k{symbol_str(entry.symbol)};
                PyRef v{PyFloat_FromDouble(entry.occupancy)};
                if (!k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
            }
            return dict.release();
        });
    });
}

PyObject* get_site_species(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const Sites& sites = structure_of(self).sites();
        SymbolStrs symbol_str(sites);
        return new_site_lists(sites, [&](const SpeciesEntry& entry) -> PyObject* {
            PyRef symbol{symbol_str(entry.symbol)};
            PyRef value{PyFloat_FromDouble(entry.occupancy)};
            return symbol && value ? PyTuple_Pack(2, symbol.get(), value.get()) : nullptr;
        });
    });
}

PyObject* get_pbc(PyObject* self, void*) {
    const Pbc& pbc = structure_of(self).pbc();
    return PyTuple_Pack(3, pbc[0] ? Py_True : Py_False, pbc[1] ? Py_True : Py_False,
                        pbc[2] ? Py_True : Py_False);
}

// None, or one (assembly, group, row) tuple per site.
PyObject* get_disorder(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const SiteColumns& columns = structure_of(self).sites().columns();
        if (columns.disorder.empty()) return Py_NewRef(Py_None);
        const DisorderLabels& texts = *columns.disorder_labels;
        return new_list(columns.disorder, [&](const DisorderTag& tag) -> PyObject* {
            PyRef assembly{new_str(texts[tag.assembly])}, group{new_str(texts[tag.group])};
            PyRef row{PyLong_FromUnsignedLongLong(tag.row)};
            return assembly && group && row ? PyTuple_Pack(3, assembly.get(), group.get(), row.get()) : nullptr;
        });
    });
}

PyGetSetDef structure_getset[] = {
    {"n_sites", get_n_sites, nullptr, nullptr, nullptr},
    {"n_atoms", get_n_atoms, nullptr,
     "Number of atoms, which is fractional when sites are partly occupied.", nullptr},
    {"is_ordered", get_is_ordered, nullptr, nullptr, nullptr},
    {"volume", get_volume, nullptr, nullptr, nullptr},
    {"elements", get_elements, nullptr, nullptr, nullptr},
    {"composition", get_composition, nullptr, nullptr, nullptr},
    {"lattice_matrix", get_lattice_matrix, nullptr, nullptr, nullptr},
    {"frac_coords", get_frac_coords, nullptr, nullptr, nullptr},
    {"cart_coords", get_cart_coords, nullptr, nullptr, nullptr},
    {"_frac_array", get_frac_array, nullptr, "frac_coords as an (n_sites, 3) float64 array.", nullptr},
    {"species", get_species, nullptr, "Per-site {element: occupancy}.", nullptr},
    {"_site_species", get_site_species, nullptr,
     "Per-site list of (element, occupancy) pairs in the site's own order, repeats kept.", nullptr},
    {"_disorder", get_disorder, nullptr,
     "Disorder labels: None, or per site (assembly, group, row), '' for none; row numbers the "
     "atom-site row the site came from.",
     nullptr},
    {"pbc", get_pbc, nullptr,
     "Which of the directions a, b, c are periodic (three bools; all True unless a file or "
     "the constructor says otherwise).",
     nullptr},
    {"displacements", get_displacements, nullptr,
     "Per-site atomic displacement parameters (A^2): None when the structure has none; else one entry per "
     "site, None, U_iso, or (U11, U22, U33, U12, U13, U23) in the crystal basis of the CIF dictionary.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- methods ---

PyObject* structure_make_supercell(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"Structure.make_supercell()",
                                   {{"na", true}, {"nb", true}, {"nc", true}}};
        PyObject* slots[3];
        if (!bind_args(sig, args, kwargs, slots)) return nullptr;
        std::uint64_t n[3];
        static const char* names[3] = {"na", "nb", "nc"};
        for (int i = 0; i < 3; ++i)
            if (!arg_u64(slots[i], names[i], n[i])) return nullptr;
        auto result = structure_of(self).make_supercell(n[0], n[1], n[2]);
        if (!result) return err(result.error().message);
        return wrap_structure(std::move(*result));
    });
}

// _with_disorder(disorder): the same structure carrying `disorder` (None: no labels).
PyObject* structure_with_disorder(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"Structure._with_disorder()", {{"disorder", true}}};
        PyObject* slots[1];
        if (!bind_args(sig, args, kwargs, slots)) return nullptr;
        std::vector<DisorderTag> tags;
        DisorderLabelTable labels;
        if (slots[0] != Py_None && !arg_disorder(slots[0], "disorder", tags, labels)) return nullptr;
        const Structure& s = structure_of(self);
        Sites sites = s.sites();
        sites.columns().disorder = std::move(tags);
        sites.columns().disorder_labels = sites.columns().disorder.empty() ? nullptr : labels.take();
        auto result = Structure::create(s.lattice(), std::move(sites), s.pbc());
        if (!result) return err(result.error().message);
        return wrap_structure(std::move(*result));
    });
}

// The full method table, assembled once from every part of the Python layer.
PyMethodDef* structure_methods() {
    static std::vector<PyMethodDef> table = [] {
        std::vector<PyMethodDef> all;
        for (auto part : {reader_methods(), rdf_methods(), disorder_methods(), pdf_methods()})
            all.insert(all.end(), part.begin(), part.end());
        all.push_back({"make_supercell", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                                             structure_make_supercell)),
                       METH_VARARGS | METH_KEYWORDS, "make_supercell($self, na, nb, nc)\n--\n\n"});
        all.push_back({"_with_disorder", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                                             structure_with_disorder)),
                       METH_VARARGS | METH_KEYWORDS,
                       "_with_disorder($self, disorder)\n--\n\n"
                       "The same structure with per-site (assembly, group, row) labels; None drops them."});
        all.push_back({nullptr, nullptr, 0, nullptr});
        return all;
    }();
    return table.data();
}

PyObject* cached_structure_type = nullptr;

// --- module ---

// Appends `name` to __all__ (created if missing), then sets the attribute.
int add_to_module(PyObject* module, const char* name, PyObject* value) {
    PyRef all{PyObject_GetAttrString(module, "__all__")};
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all.reset(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    }
    PyRef key{PyUnicode_FromString(name)};
    if (!key || PyList_Append(all.get(), key.get()) < 0) return -1;
    return PyModule_AddObjectRef(module, name, value);
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_molvane", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

bool module_created = false;

// The default arguments, for the Python layer (not part of __all__).
PyObject* defaults_as_dict() {
    return Py_BuildValue("{s:d,s:d,s:d,s:K,s:K,s:K,s:d}", "cutoff", defaults::cutoff, "bin_size",
                         defaults::bin_size, "symprec", defaults::symprec, "max_sites",
                         static_cast<unsigned long long>(defaults::max_sites), "seed",
                         static_cast<unsigned long long>(defaults::seed), "max_denominator",
                         static_cast<unsigned long long>(defaults::max_denominator), "reach", defaults::reach);
}

PyObject* init_module() {
    if (module_created) {
        PyErr_SetString(PyExc_ImportError,
                        "the molvane extension module can be initialised only once per interpreter process");
        return nullptr;
    }
    PyRef module{PyModule_Create(&module_def)};
    if (!module) return nullptr;
    PyObject* type = structure_type();
    if (!type || add_to_module(module.get(), "Structure", type) < 0) return nullptr;

    PyRef module_name{PyModule_GetNameObject(module.get())};
    if (!module_name) return nullptr;
    PyRef function{PyCFunction_NewEx(&read_xyz_trajectory_def, module.get(), module_name.get())};
    if (!function) return nullptr;
    PyRef function_name{PyObject_GetAttrString(function.get(), "__name__")};
    if (!function_name) return nullptr;
    Py_ssize_t len = 0;
    const char* name = PyUnicode_Check(function_name.get())
                           ? PyUnicode_AsUTF8AndSize(function_name.get(), &len)
                           : nullptr;
    if (!name) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "function name is not a str");
        return nullptr;
    }
    if (add_to_module(module.get(), name, function.get()) < 0) return nullptr;
    if (!add_trajectory_helpers(module.get())) return nullptr;
    PyRef from_parts{PyCFunction_NewEx(&structure_from_parts_def, module.get(), module_name.get())};
    if (!from_parts || PyModule_AddObjectRef(module.get(), "_structure", from_parts.get()) < 0)
        return nullptr;

    if (PyModule_AddFunctions(module.get(), rdf_module_functions()) < 0) return nullptr;

    PyRef version{PyUnicode_FromString(MOLVANE_VERSION)};
    if (!version || add_to_module(module.get(), "__version__", version.get()) < 0) return nullptr;
    PyObject* read_warning = read_warning_type();
    if (!read_warning || PyModule_AddObjectRef(module.get(), "ReadWarning", read_warning) < 0) return nullptr;
    PyRef defaults_dict{defaults_as_dict()};
    if (!defaults_dict || PyModule_AddObjectRef(module.get(), "_DEFAULTS", defaults_dict.get()) < 0)
        return nullptr;
    module_created = true;
    return module.release();
}

}  // namespace

PyObject* structure_type() {
    if (cached_structure_type) return cached_structure_type;
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Structure(matrix, frac_coords, species, *, pbc=(True, True, True))\n--\n\n")},
        {Py_tp_new, reinterpret_cast<void*>(structure_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(structure_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(structure_repr)},
        {Py_tp_methods, nullptr},
        {Py_tp_getset, structure_getset},
        {0, nullptr},
    };
    slots[4].pfunc = structure_methods();
    static PyType_Spec spec = {"molvane.Structure", static_cast<int>(sizeof(PyStructure)), 0,
                               Py_TPFLAGS_DEFAULT, slots};
    cached_structure_type = PyType_FromSpec(&spec);
    return cached_structure_type;
}

PyObject* read_warning_type() {
    static PyObject* type = nullptr;
    if (!type) {
        type = PyErr_NewExceptionWithDoc(
            "molvane.ReadWarning",
            "A reader skipped or guessed part of its input; the message says what.",
            PyExc_UserWarning, nullptr);
    }
    return type;
}

PyObject* wrap_structure(Structure&& value) {
    PyObject* type = structure_type();
    if (!type) return nullptr;
    auto tp = reinterpret_cast<PyTypeObject*>(type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
    PyObject* obj = alloc(tp, 0);
    if (!obj) return nullptr;
    try {
        reinterpret_cast<PyStructure*>(obj)->value = new Structure(std::move(value));
    } catch (...) {
        reinterpret_cast<PyStructure*>(obj)->value = nullptr;
        Py_DECREF(obj);
        throw;
    }
    return obj;
}

const Structure& structure_of(PyObject* self) {
    return *reinterpret_cast<PyStructure*>(self)->value;
}

PyObject* new_float_list(const Vec3& v) { return new_list(v, PyFloat_FromDouble); }

PyObject* err(const std::string& message) {
    PyRef text{new_str(message)};
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
    return nullptr;
}

PyObject* raise_from_current_exception() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_RuntimeError, "molvane internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "molvane internal error");
    }
    return nullptr;
}

}  // namespace molvane

PyMODINIT_FUNC PyInit__molvane() {
    return molvane::guarded([] { return molvane::init_module(); });
}
