// The Structure factories: from_cif, from_cif_str, from_str, from_poscar,
// from_xyz. They obtain the text, call one reader and wrap the result.
#include <string>

#include "io/cif.hpp"
#include "io/cif_syntax.hpp"
#include "io/poscar.hpp"
#include "io/extxyz.hpp"
#include "core/defaults.hpp"
#include "binding/binding.hpp"
#include "binding/pyargs.hpp"
#include "binding/pyobj.hpp"
#include "core/file.hpp"  // for read_text_file
#include "core/text.hpp"  // for ascii_lower

namespace molvane {

namespace {

// The structure, after reporting each note as a molvane.ReadWarning (a
// warning turned into an error by the warnings filter fails the call).
PyObject* wrap_result(Result<Structure>&& result, const ReadNotes& notes) {
    if (!result) return err(result.error().message);
    PyRef structure{wrap_structure(std::move(*result))};
    if (!structure || !warn_read_notes(notes)) return nullptr;
    return structure.release();
}

// Reads `path`, raising OSError("could not read <path>: <description>").
bool read_file_or_raise(const std::string& path, std::string& text) {
    auto content = read_text_file(path);
    if (!content) {
        std::string msg = "could not read " + path + ": " + content.error().message;
        PyRef value{new_str(msg)};
        if (value) PyErr_SetObject(PyExc_OSError, value.get());
        return false;
    }
    text = std::move(*content);
    return true;
}

// The data block a `block` argument chooses: None (the default), a name
// (str) or an index (int).
bool arg_block(PyObject* obj, BlockChoice& out) {
    if (!obj || obj == Py_None) return true;
    if (PyUnicode_Check(obj)) return arg_str(obj, "block", out.name.emplace());
    if (PyLong_Check(obj) && !PyBool_Check(obj)) {
        int overflow = 0;
        long long index = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (index == -1 && PyErr_Occurred()) return false;
        if (overflow) {
            PyRef text{PyUnicode_FromFormat("data block index %S is out of range", obj)};
            if (text) PyErr_SetObject(PyExc_ValueError, text.get());
            return false;
        }
        out.index = index;
        return true;
    }
    PyRef type{PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__")};
    if (!type) return false;
    PyRef text{PyUnicode_FromFormat("argument 'block': expected a data block name (str), index (int) "
                                    "or None, got '%U'", type.get())};
    if (text) PyErr_SetObject(PyExc_TypeError, text.get());
    return false;
}

// Binds `path`, plus `symprec` and `block` for a CIF, reads the file and runs `reader`.
template <typename Reader>
PyObject* file_factory(const Signature& sig, bool cif, PyObject* args, PyObject* kwargs, Reader&& reader) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[3] = {};
        if (!bind_args(sig, args, kwargs, slots)) return nullptr;
        std::string path, text;
        double symprec = defaults::symprec;
        BlockChoice block;
        if (!arg_path(slots[0], "path", path)) return nullptr;
        if (cif && slots[1] && !arg_f64(slots[1], "symprec", symprec)) return nullptr;
        if (cif && !arg_block(slots[2], block)) return nullptr;
        if (!read_file_or_raise(path, text)) return nullptr;
        ReadNotes notes;
        auto result = reader(text, symprec, block, notes);
        return wrap_result(std::move(result), notes);
    });
}

PyObject* from_cif(PyObject*, PyObject* args, PyObject* kwargs) {
    static const Signature sig{"Structure.from_cif()",
                               {{"path", true}, {"symprec", false}, {"block", false, true}}};
    return file_factory(sig, true, args, kwargs,
                        [](const std::string& text, double symprec, const BlockChoice& block, ReadNotes& notes) {
                            return parse_cif(text, symprec, &notes, block);
                        });
}

PyObject* from_poscar(PyObject*, PyObject* args, PyObject* kwargs) {
    static const Signature sig{"Structure.from_poscar()", {{"path", true}}};
    return file_factory(sig, false, args, kwargs,
                        [](const std::string& text, double, const BlockChoice&, ReadNotes& notes) {
                            return parse_poscar(text, &notes);
                        });
}

PyObject* from_xyz(PyObject*, PyObject* args, PyObject* kwargs) {
    static const Signature sig{"Structure.from_xyz()", {{"path", true}}};
    return file_factory(sig, false, args, kwargs,
                        [](const std::string& text, double, const BlockChoice&, ReadNotes& notes) {
                            return parse_extxyz(text, &notes);
                        });
}

PyObject* from_cif_str(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"Structure.from_cif_str()",
                                   {{"text", true}, {"symprec", false}, {"block", false, true}}};
        PyObject* slots[3];
        if (!bind_args(sig, args, kwargs, slots)) return nullptr;
        std::string text;
        double symprec = defaults::symprec;
        BlockChoice block;
        if (!arg_str(slots[0], "text", text)) return nullptr;
        if (slots[1] && !arg_f64(slots[1], "symprec", symprec)) return nullptr;
        if (!arg_block(slots[2], block)) return nullptr;
        ReadNotes notes;
        auto result = parse_cif(text, symprec, &notes, block);
        return wrap_result(std::move(result), notes);
    });
}

PyObject* from_str(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"Structure.from_str()",
                                   {{"text", true}, {"fmt", true}, {"symprec", false}, {"block", false, true}}};
        PyObject* slots[4];
        if (!bind_args(sig, args, kwargs, slots)) return nullptr;
        std::string text, fmt;
        double symprec = defaults::symprec;
        BlockChoice block;
        if (!arg_str(slots[0], "text", text)) return nullptr;
        if (!arg_str(slots[1], "fmt", fmt)) return nullptr;
        if (slots[2] && !arg_f64(slots[2], "symprec", symprec)) return nullptr;
        if (!arg_block(slots[3], block)) return nullptr;
        std::string name = ascii_lower(fmt);
        ReadNotes notes;
        if (name == "cif") {
            auto result = parse_cif(text, symprec, &notes, block);
            return wrap_result(std::move(result), notes);
        }
        bool poscar = name == "poscar" || name == "contcar" || name == "vasp";
        bool xyz = name == "xyz" || name == "extxyz";
        if ((poscar || xyz) && (block.name || block.index))
            return err("block is for CIF text; format '" + name + "' has no data blocks");
        if (poscar) {
            auto result = parse_poscar(text, &notes);
            return wrap_result(std::move(result), notes);
        }
        if (xyz) {
            auto result = parse_extxyz(text, &notes);
            return wrap_result(std::move(result), notes);
        }
        return err("unknown format '" + name + "'; molvane reads cif, poscar and xyz");
    });
}

template <PyObject* (*Fn)(PyObject*, PyObject*, PyObject*)>
PyMethodDef static_method(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Fn)),
            METH_VARARGS | METH_KEYWORDS | METH_STATIC, doc};
}

}  // namespace

bool warn_read_notes(const ReadNotes& notes) {
    if (notes.lines.empty()) return true;
    PyObject* category = read_warning_type();
    if (!category) return false;
    for (const std::string& line : notes.lines)
        if (PyErr_WarnEx(category, line.c_str(), 1) < 0) return false;
    return true;
}

std::vector<PyMethodDef> reader_methods() {
    return {
        static_method<from_cif>(
            "from_cif",
            "from_cif(path, symprec=" MOLVANE_STR(MOLVANE_DEFAULT_SYMPREC) ", *, block=None)\n--\n\nRead a CIF, keeping partial occupancies as they are written."),
        static_method<from_cif_str>(
            "from_cif_str",
            "from_cif_str(text, symprec=" MOLVANE_STR(MOLVANE_DEFAULT_SYMPREC) ", *, block=None)\n--\n\nSame as `from_cif`, for CIF text already in memory."),
        static_method<from_str>(
            "from_str",
            "from_str(text, fmt, symprec=" MOLVANE_STR(MOLVANE_DEFAULT_SYMPREC) ", *, block=None)\n--\n\nParse text in a named format: \"cif\", \"poscar\" or \"xyz\"."),
        static_method<from_poscar>("from_poscar", "from_poscar(path)\n--\n\nRead a VASP POSCAR / CONTCAR."),
        static_method<from_xyz>(
            "from_xyz",
            "from_xyz(path)\n--\n\nRead an extended XYZ file (needs a `Lattice=\"...\"` field)."),
    };
}

}  // namespace molvane
