// The Python layer's shared pieces: the Structure type, wrapping and
// unwrapping native structures, error mapping and the method tables that the
// other files of the binding contribute to the class.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "core/structure.hpp"
#include "io/read_notes.hpp"

namespace molvane {

// The Structure type object (borrowed), created on first use; nullptr with an
// exception set if it cannot be created.
PyObject* structure_type();

// The molvane.ReadWarning class (borrowed, a UserWarning subclass), created
// on first use; nullptr with an exception set if it cannot be created.
PyObject* read_warning_type();

// Reports each note as a molvane.ReadWarning; false with an exception set
// when one fails (a warnings filter that turns warnings into errors).
bool warn_read_notes(const ReadNotes& notes);

// A new Python Structure owning `value`; nullptr with an exception set.
PyObject* wrap_structure(Structure&& value);

// The native structure of a Python Structure instance.
const Structure& structure_of(PyObject* self);

// A float64 NumPy array taking over `values`: one-dimensional, or of rows of
// `columns` values (rdf.cpp, which holds the NumPy API); nullptr with an
// exception set.
PyObject* take_array(std::vector<double>&& values, std::size_t columns = 0);

// A new list of the three floats of `v`; nullptr with an exception set.
PyObject* new_float_list(const Vec3& v);

// The one mapping of a native failure message: ValueError(message). Returns nullptr.
PyObject* err(const std::string& message);

// Turns a C++ exception escaping a Python entry point into a Python
// exception (MemoryError for allocation failures, RuntimeError otherwise).
// Call from a catch block. Returns nullptr.
PyObject* raise_from_current_exception();

// Runs `body` (returning PyObject*), converting any escaping C++ exception.
template <typename Fn>
PyObject* guarded(Fn&& body) {
    try {
        return body();
    } catch (...) {
        return raise_from_current_exception();
    }
}

struct DecisionSummary;
// What the decided pair weights changed (rdf.cpp): (n_exclusive,
// n_together, first decided pair, n_unresolved, first unresolved pair), a
// missing first pair as None; nullptr with an exception set.
PyObject* summary_tuple(const Structure& s, const DecisionSummary& summary);

// Methods that each part of the Python layer adds to Structure.
std::vector<PyMethodDef> reader_methods();    // readers.cpp
std::vector<PyMethodDef> rdf_methods();       // rdf.cpp
std::vector<PyMethodDef> disorder_methods();  // disorder.cpp
std::vector<PyMethodDef> pdf_methods();       // pdf.cpp
// The getter of Structure.displacements (pdf.cpp).
PyObject* get_displacements(PyObject* self, void*);

// Private module functions outside __all__ (rdf.cpp); null-terminated.
PyMethodDef* rdf_module_functions();

// The module function read_xyz_trajectory (trajectory.cpp).
extern PyMethodDef read_xyz_trajectory_def;
// Adds the private trajectory helpers of the Python layer to the module
// (trajectory.cpp); false with an exception set.
bool add_trajectory_helpers(PyObject* module);

}  // namespace molvane
