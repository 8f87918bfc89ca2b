// Argument binding and conversion shared by every Python-callable function:
// one table of parameter names per function, one binder, typed converters.
// Every failure sets a Python exception with the module's fixed wording and
// returns false.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "core/structure.hpp"  // for Species

namespace molvane {

struct Param {
    const char* name;
    bool required;
    bool keyword_only = false;  // keyword-only parameters come last
};

// One function's parameter table. `display` is the name used in messages,
// such as "Structure.from_cif()".
struct Signature {
    const char* display;
    std::initializer_list<Param> params;
};

// Binds positional and keyword arguments to `slots` (one per parameter, in
// table order): a borrowed reference, or nullptr for an omitted optional one.
bool bind_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

// Converters. `arg` names the parameter for the "argument '...': " prefix that
// a TypeError receives; other exceptions pass through unchanged.
bool arg_str(PyObject* obj, const char* arg, std::string& out);
// A file system path: a str, or a path-like object (pathlib.Path, anything
// with __fspath__) taken through os.fspath. Other objects fail as arg_str does.
bool arg_path(PyObject* obj, const char* arg, std::string& out);
bool arg_f64(PyObject* obj, const char* arg, double& out);
bool arg_u64(PyObject* obj, const char* arg, std::uint64_t& out);
bool arg_i64(PyObject* obj, const char* arg, std::int64_t& out);
// A sequence (not str) of sequences of numbers.
bool arg_rows(PyObject* obj, const char* arg, std::vector<std::vector<double>>& out);
// Rows of three float64 values held in one C-contiguous buffer (a NumPy
// array of shape (n, 3), say), read in one copy. False, with no exception
// set, for any other object, which arg_rows then reads.
bool coordinate_buffer(PyObject* obj, std::vector<Vec3>& out);
// Periodic directions: one bool for all three, or a sequence of three
// truth values (str refused). A sequence of another length raises ValueError.
bool arg_pbc(PyObject* obj, const char* arg, Pbc& out);
// A sequence (not str) of dicts str -> number; each site's species come out
// in ascending byte order of the symbol.
bool arg_species_list(PyObject* obj, const char* arg, std::vector<std::vector<Species>>& out);
// A sequence (not str) of sequences of (str, number) pairs; each site's
// species come out in the given order, repeated symbols included.
bool arg_species_pairs(PyObject* obj, const char* arg, std::vector<std::vector<Species>>& out);
// A sequence (not str) of (assembly: str, group: str, row: int >= 0) triples,
// the texts numbered in `labels`.
bool arg_disorder(PyObject* obj, const char* arg, std::vector<DisorderTag>& out, DisorderLabelTable& labels);

}  // namespace molvane
