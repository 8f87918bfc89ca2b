// Argument binding and conversion shared by every Python-callable function.
#include "binding/pyargs.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <map>
#include <string_view>

#include "binding/pyobj.hpp"

namespace molvane {

// The qualified name of obj's type, as Python spells it.
static std::string type_name(PyObject* obj) {
    PyRef name{PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__")};
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t len = 0;
        if (const char* text = PyUnicode_AsUTF8AndSize(name.get(), &len)) return std::string(text, len);
    }
    PyErr_Clear();
    return "object";
}

// Sets "'<type>' object cannot be converted to '<target>'".
static bool downcast_error(PyObject* obj, const char* target) {
    std::string msg = "'";
    msg.append(type_name(obj)).append("' object cannot be converted to '").append(target).append("'");
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return false;
}

// Replaces a pending TypeError by one whose text carries the argument name;
// the original becomes its cause. Other exceptions are left as they are.
static bool prefix_type_error(const char* arg) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef owned_type{type}, original{value}, owned_tb{tb};
    std::string text;
    if (original) {
        PyRef str{PyObject_Str(original.get())};
        Py_ssize_t len = 0;
        const char* utf8 = str ? PyUnicode_AsUTF8AndSize(str.get(), &len) : nullptr;
        if (utf8) text.assign(utf8, len);
        else PyErr_Clear();
    }
    std::string msg = std::string("argument '") + arg + "': " + text;
    PyRef replacement{PyObject_CallFunction(PyExc_TypeError, "s", msg.c_str())};
    if (!replacement) return false;
    if (original) {
        if (owned_tb) PyException_SetTraceback(original.get(), owned_tb.get());
        PyException_SetCause(replacement.get(), original.release());  // steals
    }
    PyErr_SetObject(PyExc_TypeError, replacement.get());
    return false;
}

static void append_quoted_list(std::string& msg, const std::vector<const char*>& names) {
    std::size_t len = names.size();
    for (std::size_t i = 0; i < len; ++i) {
        if (i != 0) {
            if (len > 2) msg += ',';
            msg += (i == len - 1) ? " and " : " ";
        }
        msg += '\'';
        msg += names[i];
        msg += '\'';
    }
}

static bool set_type_error(const std::string& msg) {
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return false;
}

bool bind_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const std::size_t nparams = sig.params.size();
    const Param* params = sig.params.begin();
    if (nparams != 0) std::fill(slots, slots + nparams, nullptr);

    Py_ssize_t given = args ? PyTuple_Size(args) : 0;
    if (given < 0) return false;
    const std::size_t ngiven = static_cast<std::size_t>(given);
    std::size_t npositional = 0;
    while (npositional < nparams && !params[npositional].keyword_only) ++npositional;
    if (ngiven > npositional) {
        std::size_t required = 0;
        for (std::size_t i = 0; i < npositional; ++i) required += params[i].required ? 1 : 0;
        std::string msg = sig.display;
        if (required != npositional) {
            msg += " takes from " + std::to_string(required) + " to " + std::to_string(npositional);
        } else {
            msg += " takes " + std::to_string(npositional);
        }
        msg += " positional arguments but " + std::to_string(ngiven) + (ngiven == 1 ? " was" : " were") +
               " given";
        return set_type_error(msg);
    }
    for (std::size_t i = 0; i < ngiven; ++i) slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));

    if (kwargs) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            std::string name;
            if (PyUnicode_Check(key)) {
                Py_ssize_t len = 0;
                const char* utf8 = PyUnicode_AsUTF8AndSize(key, &len);
                if (!utf8) return false;
                name.assign(utf8, len);
            } else {
                PyRef str{PyObject_Str(key)};
                Py_ssize_t len = 0;
                const char* utf8 = str ? PyUnicode_AsUTF8AndSize(str.get(), &len) : nullptr;
                if (!utf8) return false;
                name.assign(utf8, len);
            }
            std::size_t index = nparams;
            for (std::size_t i = 0; i < nparams; ++i)
                if (name == params[i].name) { index = i; break; }
            if (index == nparams)
                return set_type_error(std::string(sig.display) + " got an unexpected keyword argument '" +
                                      name + "'");
            if (slots[index])
                return set_type_error(std::string(sig.display) + " got multiple values for argument '" +
                                      name + "'");
            slots[index] = value;
        }
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < nparams; ++i)
        if (params[i].required && !slots[i]) missing.push_back(params[i].name);
    if (!missing.empty()) {
        std::string msg = std::string(sig.display) + " missing " + std::to_string(missing.size()) +
                          " required positional argument" + (missing.size() == 1 ? "" : "s") + ": ";
        append_quoted_list(msg, missing);
        return set_type_error(msg);
    }
    return true;
}

// --- conversions without the argument prefix ---

static bool extract_str(PyObject* obj, std::string& out) {
    if (!PyUnicode_Check(obj)) return downcast_error(obj, "PyString");
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
    if (!utf8) return false;
    out.assign(utf8, static_cast<std::size_t>(len));
    return true;
}

static bool extract_f64(PyObject* obj, double& out) {
    double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

// Walks a sequence (str refused), calling `each` on every item.
template <typename Fn>
static bool for_each_in_sequence(PyObject* obj, Fn&& each) {
    if (PyUnicode_Check(obj)) return set_type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) return downcast_error(obj, "Sequence");
    PyRef iter{PyObject_GetIter(obj)};
    if (!iter) return false;
    while (PyRef item{PyIter_Next(iter.get())}) {
        if (!each(item.get())) return false;
    }
    return !PyErr_Occurred();
}

static bool extract_f64_vec(PyObject* obj, std::vector<double>& out) {
    out.clear();
    return for_each_in_sequence(obj, [&](PyObject* item) {
        double v;
        if (!extract_f64(item, v)) return false;
        out.push_back(v);
        return true;
    });
}

static bool extract_species(PyObject* obj, std::vector<Species>& out) {
    if (!PyDict_Check(obj)) return downcast_error(obj, "PyDict");
    // A snapshot of the items, so that conversions cannot disturb the walk.
    PyRef items{PyDict_Items(obj)};
    if (!items) return false;
    std::map<std::string, double> sorted;
    Py_ssize_t n = PyList_Size(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* pair = PyList_GetItem(items.get(), i);
        std::string symbol;
        double occupancy;
        if (!extract_str(PyTuple_GetItem(pair, 0), symbol)) return false;
        if (!extract_f64(PyTuple_GetItem(pair, 1), occupancy)) return false;
        sorted[std::move(symbol)] = occupancy;
    }
    out.assign(sorted.begin(), sorted.end());
    return true;
}

// One (symbol, occupancy) pair: a sequence (not str) of exactly two items.
static bool extract_pair(PyObject* obj, Species& out) {
    std::size_t n = 0;
    bool ok = for_each_in_sequence(obj, [&](PyObject* item) {
        if (n == 0 && !extract_str(item, out.first)) return false;
        if (n == 1 && !extract_f64(item, out.second)) return false;
        ++n;
        return true;
    });
    if (ok && n != 2) return set_type_error("a species must be a (symbol, occupancy) pair");
    return ok;
}

// --- public converters ---

bool arg_str(PyObject* obj, const char* arg, std::string& out) {
    return extract_str(obj, out) || prefix_type_error(arg);
}

bool arg_path(PyObject* obj, const char* arg, std::string& out) {
    if (PyUnicode_Check(obj) || !PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__fspath__"))
        return arg_str(obj, arg, out);
    PyRef path{PyOS_FSPath(obj)};
    if (path && PyBytes_Check(path.get())) path = PyRef{PyUnicode_DecodeFSDefaultAndSize(
        PyBytes_AsString(path.get()), PyBytes_Size(path.get()))};
    if (!path) return prefix_type_error(arg);
    return arg_str(path.get(), arg, out);
}

bool arg_f64(PyObject* obj, const char* arg, double& out) {
    return extract_f64(obj, out) || prefix_type_error(arg);
}

bool arg_u64(PyObject* obj, const char* arg, std::uint64_t& out) {
    PyRef index{PyNumber_Index(obj)};
    if (!index) return prefix_type_error(arg);
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return prefix_type_error(arg);
    out = v;
    return true;
}

bool arg_i64(PyObject* obj, const char* arg, std::int64_t& out) {
    PyRef index{PyNumber_Index(obj)};
    if (!index) return prefix_type_error(arg);
    long long v = PyLong_AsLongLong(index.get());
    if (v == -1 && PyErr_Occurred()) return prefix_type_error(arg);
    out = v;
    return true;
}

// Every item of the sequence `obj` through `extract` into `out`; a failure
// is prefixed with the argument's name.
template <class T, class Extract>
static bool arg_list(PyObject* obj, const char* arg, std::vector<T>& out, Extract&& extract) {
    out.clear();
    bool ok = for_each_in_sequence(obj, [&](PyObject* item) {
        T value;
        if (!extract(item, value)) return false;
        out.push_back(std::move(value));
        return true;
    });
    return ok || prefix_type_error(arg);
}

bool arg_rows(PyObject* obj, const char* arg, std::vector<std::vector<double>>& out) {
    return arg_list(obj, arg, out, extract_f64_vec);
}

bool coordinate_buffer(PyObject* obj, std::vector<Vec3>& out) {
    if (!PyObject_CheckBuffer(obj)) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
        PyErr_Clear();
        return false;
    }
    const std::string_view format = view.format ? view.format : "B";
    const bool native_f64 = format == "d" || format == "@d" || format == "=d" ||
                            (std::endian::native == std::endian::little && format == "<d");
    const bool rows_of_three = view.ndim == 2 && view.shape[1] == 3 && view.itemsize == sizeof(double);
    if (native_f64 && rows_of_three) {
        out.resize(static_cast<std::size_t>(view.shape[0]));
        if (!out.empty()) std::memcpy(out.data(), view.buf, out.size() * sizeof(Vec3));
    }
    PyBuffer_Release(&view);
    return native_f64 && rows_of_three;
}

bool arg_pbc(PyObject* obj, const char* arg, Pbc& out) {
    if (PyBool_Check(obj)) {
        out.fill(obj == Py_True);
        return true;
    }
    std::vector<bool> flags;
    bool ok = for_each_in_sequence(obj, [&](PyObject* item) {
        if (PyUnicode_Check(item) || PyBytes_Check(item)) return downcast_error(item, "bool");
        int truth = PyObject_IsTrue(item);
        if (truth < 0) return false;
        flags.push_back(truth != 0);
        return true;
    });
    if (!ok) return prefix_type_error(arg);
    if (flags.size() != 3) {
        PyErr_SetString(PyExc_ValueError, "pbc must be one bool or three, for the directions a, b and c");
        return false;
    }
    for (std::size_t i = 0; i < 3; ++i) out[i] = flags[i];
    return true;
}

bool arg_species_list(PyObject* obj, const char* arg, std::vector<std::vector<Species>>& out) {
    return arg_list(obj, arg, out, extract_species);
}

bool arg_species_pairs(PyObject* obj, const char* arg, std::vector<std::vector<Species>>& out) {
    return arg_list(obj, arg, out, [](PyObject* item, std::vector<Species>& site) {
        site.clear();
        return for_each_in_sequence(item, [&](PyObject* pair) {
            Species species;
            if (!extract_pair(pair, species)) return false;
            site.push_back(std::move(species));
            return true;
        });
    });
}

bool arg_disorder(PyObject* obj, const char* arg, std::vector<DisorderTag>& out, DisorderLabelTable& labels) {
    return arg_list(obj, arg, out, [&](PyObject* item, DisorderTag& tag) {
        std::size_t n = 0;
        std::string text;
        bool ok = for_each_in_sequence(item, [&](PyObject* field) {
            if (n < 2) {
                if (!extract_str(field, text)) return false;
                (n == 0 ? tag.assembly : tag.group) = labels.add(text);
            }
            if (n == 2) {
                PyRef index{PyNumber_Index(field)};
                if (!index) return false;
                tag.row = PyLong_AsUnsignedLongLong(index.get());
                if (PyErr_Occurred()) return false;
            }
            ++n;
            return true;
        });
        if (ok && n != 3) return set_type_error("disorder labels must be (assembly, group, row) triples");
        return ok;
    });
}

}  // namespace molvane
