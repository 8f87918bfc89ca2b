// Trajectories in Python: read_xyz_trajectory, and the private pieces of the
// Python layer's streaming and frame-parallel reading (a frame reader object,
// the frame index, reading frames by offset). Files are read with the
// interpreter lock released.
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "binding/binding.hpp"
#include "binding/pyargs.hpp"
#include "binding/pyobj.hpp"
#include "io/trajectory.hpp"

namespace molvane {

namespace {

// Converts an optional `cell` slot: None or omitted gives no cell; rows that
// are not 3 x 3 fail with "cell must be 3x3".
bool convert_cell(PyObject* slot, std::optional<Mat3>& cell) {
    if (!slot || slot == Py_None) return true;
    std::vector<std::vector<double>> rows;
    if (!arg_rows(slot, "cell", rows)) return false;
    Mat3 m;
    for (std::size_t i = 0; i < 3; ++i) {
        if (rows.size() != 3 || rows[i].size() != 3) {
            err("cell must be 3x3");
            return false;
        }
        for (std::size_t j = 0; j < 3; ++j) m[i][j] = rows[i][j];
    }
    cell = m;
    return true;
}

// Binds (path, every=1, start=0, stop=None, cell=None) as the function named
// `name` and converts them, in that order.
bool bind_selection(const char* name, PyObject* args, PyObject* kwargs, std::string& path, FrameSelection& selection,
                    std::optional<Mat3>& cell) {
    const Signature sig{name, {{"path", true}, {"every", false}, {"start", false}, {"stop", false}, {"cell", false}}};
    PyObject* slots[5];
    if (!bind_args(sig, args, kwargs, slots)) return false;
    if (!arg_path(slots[0], "path", path)) return false;
    if (slots[1] && !arg_u64(slots[1], "every", selection.every)) return false;
    if (slots[2] && !arg_u64(slots[2], "start", selection.start)) return false;
    if (slots[3] && slots[3] != Py_None) {
        std::uint64_t stop;
        if (!arg_u64(slots[3], "stop", stop)) return false;
        selection.stop = stop;
    }
    return convert_cell(slots[4], cell);
}

// Unsigned 64-bit numbers packed little-endian in a bytes object (as NumPy's
// astype("<u8").tobytes() writes them).
bool arg_u64_bytes(PyObject* obj, const char* arg, std::vector<std::uint64_t>& out) {
    char* data;
    Py_ssize_t size;
    if (!PyBytes_Check(obj) || PyBytes_AsStringAndSize(obj, &data, &size) < 0 || size % 8 != 0) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "argument '%s': expected bytes of packed 64-bit numbers", arg);
        return false;
    }
    out.resize(static_cast<std::size_t>(size / 8));
    if (size > 0) std::memcpy(out.data(), data, static_cast<std::size_t>(size));
    if constexpr (std::endian::native == std::endian::big)
        for (auto& v : out) v = __builtin_bswap64(v);
    return true;
}

PyObject* new_u64_bytes(const std::vector<std::uint64_t>& values) {
    std::vector<std::uint64_t> packed = values;
    if constexpr (std::endian::native == std::endian::big)
        for (auto& v : packed) v = __builtin_bswap64(v);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(packed.data()),
                                     static_cast<Py_ssize_t>(packed.size() * 8));
}

// A list of (index, Structure) tuples, taking the structures over.
PyObject* new_frame_list(std::vector<IndexedStructure>& frames) {
    PyRef list{PyList_New(static_cast<Py_ssize_t>(frames.size()))};
    if (!list) return nullptr;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        PyRef index{PyLong_FromUnsignedLongLong(frames[i].index)};
        if (!index) return nullptr;
        PyRef structure{wrap_structure(std::move(frames[i].structure))};
        if (!structure) return nullptr;
        PyObject* pair = PyTuple_New(2);
        if (!pair) return nullptr;
        PyTuple_SetItem(pair, 0, index.release());  // steals
        PyTuple_SetItem(pair, 1, structure.release());
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.release();
}

// The counts of species read in capitals as (atoms, ((letters, symbol), ...), more).
PyObject* new_symbol_counts(const SpeciesSymbols::Counts& counts) {
    PyRef examples{PyTuple_New(static_cast<Py_ssize_t>(counts.examples.size()))};
    if (!examples) return nullptr;
    for (std::size_t i = 0; i < counts.examples.size(); ++i) {
        const auto& [letters, symbol] = counts.examples[i];
        PyObject* pair = Py_BuildValue("(ss)", letters.c_str(), symbol.c_str());
        if (!pair) return nullptr;
        PyTuple_SetItem(examples.get(), static_cast<Py_ssize_t>(i), pair);  // steals
    }
    return Py_BuildValue("(KOO)", static_cast<unsigned long long>(counts.recased_atoms), examples.get(),
                         counts.more_examples ? Py_True : Py_False);
}

bool arg_symbol_counts(PyObject* obj, SpeciesSymbols::Counts& out) {
    PyObject* examples;
    int more;
    unsigned long long atoms;
    if (!PyArg_ParseTuple(obj, "KO!p", &atoms, &PyTuple_Type, &examples, &more)) return false;
    out.recased_atoms = atoms;
    out.more_examples = more != 0;
    for (Py_ssize_t i = 0; i < PyTuple_Size(examples); ++i) {
        const char* letters;
        const char* symbol;
        if (!PyArg_ParseTuple(PyTuple_GetItem(examples, i), "ss", &letters, &symbol)) return false;
        out.examples.emplace_back(letters, symbol);
    }
    return true;
}

// --- read_xyz_trajectory ---

PyObject* py_read_xyz_trajectory(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::string path;
        FrameSelection selection;
        std::optional<Mat3> cell;
        if (!bind_selection("read_xyz_trajectory()", args, kwargs, path, selection, cell)) return nullptr;

        auto read = without_gil([&] { return read_xyz_trajectory(path, selection, cell); });
        if (!read) return err(read.error().message);
        Trajectory& trajectory = *read;

        const auto n = static_cast<Py_ssize_t>(trajectory.structures.size());
        PyRef structures{PyList_New(n)};
        if (!structures) return nullptr;
        PyRef indices{PyList_New(n)};
        if (!indices) return nullptr;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* s = wrap_structure(std::move(trajectory.structures[static_cast<std::size_t>(i)]));
            if (!s) return nullptr;
            PyList_SetItem(structures.get(), i, s);  // steals
            PyObject* index = PyLong_FromUnsignedLongLong(trajectory.frame_indices[static_cast<std::size_t>(i)]);
            if (!index) return nullptr;
            PyList_SetItem(indices.get(), i, index);  // steals
        }
        PyRef frames_read{PyLong_FromUnsignedLongLong(trajectory.frames_read)};
        if (!frames_read) return nullptr;
        if (!warn_read_notes(trajectory.notes)) return nullptr;
        PyRef result{PyTuple_New(3)};
        if (!result) return nullptr;
        PyTuple_SetItem(result.get(), 0, structures.release());  // steals
        PyTuple_SetItem(result.get(), 1, indices.release());
        PyTuple_SetItem(result.get(), 2, frames_read.release());
        return result.release();
    });
}

// --- the frame index and reading by offset ---

PyObject* py_index_xyz_trajectory(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"_index_xyz_trajectory()", {{"path", true}, {"stop", false}}};
        PyObject* slots[2];
        if (!bind_args(sig, args, kwargs, slots)) return nullptr;
        std::string path;
        std::optional<std::uint64_t> stop;
        if (!arg_path(slots[0], "path", path)) return nullptr;
        if (slots[1] && slots[1] != Py_None) {
            std::uint64_t value;
            if (!arg_u64(slots[1], "stop", value)) return nullptr;
            stop = value;
        }
        auto index = without_gil([&] { return index_xyz_trajectory(path, stop); });
        if (!index) return err(index.error().message);
        PyRef offsets{new_u64_bytes(index->offsets)};
        if (!offsets) return nullptr;
        PyRef atoms{new_u64_bytes(index->atoms)};
        if (!atoms) return nullptr;
        const FileIdentity& file = index->file;
        return Py_BuildValue("(OOKLK)", offsets.get(), atoms.get(), static_cast<unsigned long long>(file.size),
                             static_cast<long long>(file.mtime_ns), static_cast<unsigned long long>(file.inode));
    });
}

PyObject* py_read_indexed_frames(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"_read_indexed_frames()",
                                   {{"path", true},
                                    {"frames", true},
                                    {"file_size", true},
                                    {"mtime_ns", true},
                                    {"inode", true},
                                    {"cell", false}}};
        PyObject* slots[6];
        if (!bind_args(sig, args, kwargs, slots)) return nullptr;
        std::string path;
        std::vector<std::uint64_t> packed;
        FileIdentity file;
        std::optional<Mat3> cell;
        if (!arg_path(slots[0], "path", path) || !arg_u64_bytes(slots[1], "frames", packed) ||
            !arg_u64(slots[2], "file_size", file.size) || !arg_i64(slots[3], "mtime_ns", file.mtime_ns) ||
            !arg_u64(slots[4], "inode", file.inode) || !convert_cell(slots[5], cell))
            return nullptr;
        if (packed.size() % 3 != 0) return err("frames must hold (index, offset, atoms) triples");
        std::vector<FrameLocation> frames;
        for (std::size_t i = 0; i < packed.size(); i += 3) frames.push_back({packed[i], packed[i + 1], packed[i + 2]});

        SpeciesSymbols symbols;
        auto read = without_gil([&] { return read_indexed_frames(path, frames, file, cell, symbols); });
        if (!read) return err(read.error().message);
        PyRef list{new_frame_list(*read)};
        if (!list) return nullptr;
        PyRef counts{new_symbol_counts(symbols.counts())};
        if (!counts) return nullptr;
        return Py_BuildValue("(OO)", list.get(), counts.get());
    });
}

// _warn_species(counts): one ReadWarning for the species read in capitals
// over all the given counts (from _read_indexed_frames), added in order.
PyObject* py_warn_species(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        SpeciesSymbols symbols;
        const Py_ssize_t n = PySequence_Size(arg);
        if (n < 0) return nullptr;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyRef item{PySequence_GetItem(arg, i)};
            SpeciesSymbols::Counts counts;
            if (!item || !arg_symbol_counts(item.get(), counts)) return nullptr;
            symbols.add(counts);
        }
        ReadNotes notes;
        symbols.report(notes);
        if (!warn_read_notes(notes)) return nullptr;
        Py_RETURN_NONE;
    });
}

// _check_selected(frames_read, selected): fails as a read does when no frame
// was read or none was selected.
PyObject* py_check_selected(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        unsigned long long frames_read, selected;
        if (!PyArg_ParseTuple(args, "KK", &frames_read, &selected)) return nullptr;
        auto checked = check_selected(frames_read, selected);
        if (!checked) return err(checked.error().message);
        Py_RETURN_NONE;
    });
}

// --- the frame reader object ---

struct PyFrameReader {
    PyObject_HEAD
    FrameReader* reader;
    std::atomic<bool> busy;  // a read is running with the interpreter lock released
    bool warned;             // its notes have been reported
    std::string* failure;    // a failure met after frames that were returned first
};

PyFrameReader* frame_reader_of(PyObject* self) { return reinterpret_cast<PyFrameReader*>(self); }

PyObject* frame_reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::string path;
        FrameSelection selection;
        std::optional<Mat3> cell;
        if (!bind_selection("_FrameReader()", args, kwargs, path, selection, cell)) return nullptr;
        auto opened = without_gil([&] { return FrameReader::open(path, selection, cell); });
        if (!opened) return err(opened.error().message);
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = alloc(type, 0);
        if (!self) return nullptr;
        PyFrameReader* object = frame_reader_of(self);
        object->reader = nullptr;
        new (&object->busy) std::atomic<bool>(false);
        object->warned = false;
        object->failure = nullptr;
        try {
            object->reader = new FrameReader(std::move(*opened));
        } catch (...) {
            Py_DECREF(self);
            throw;
        }
        return self;
    });
}

void frame_reader_dealloc(PyObject* self) {
    delete frame_reader_of(self)->reader;
    delete frame_reader_of(self)->failure;
    PyTypeObject* tp = Py_TYPE(self);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
    free_slot(self);
    Py_DECREF(tp);
}

// read(max_atoms): the next selected frames as (index, Structure) tuples,
// until they hold at least max_atoms atoms; [] at the end.
PyObject* frame_reader_read(PyObject* self, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        std::uint64_t max_atoms;
        if (!arg_u64(arg, "max_atoms", max_atoms)) return nullptr;
        PyFrameReader* object = frame_reader_of(self);
        if (object->failure) return err(*object->failure);
        if (object->busy.exchange(true)) return err("this frame reader is being read in another thread");
        std::vector<IndexedStructure> frames;
        std::optional<Error> failure;
        bool ended = false;
        {
            ReleaseGil unlocked;
            try {
                std::uint64_t atoms = 0;
                while (atoms < max_atoms || frames.empty()) {
                    auto next = object->reader->next();
                    if (!next) {
                        failure = std::move(next).error();
                        break;
                    }
                    if (!*next) {
                        ended = true;
                        break;
                    }
                    atoms += (*next)->structure.sites().size();
                    frames.push_back(std::move(**next));
                }
            } catch (...) {
                object->busy = false;
                throw;
            }
        }
        object->busy = false;
        if (failure) {
            // The frames before the failure come first; the failure with the next read.
            if (frames.empty()) return err(failure->message);
            object->failure = new std::string(std::move(failure->message));
        }
        if (ended && frames.empty()) {
            auto checked = object->reader->finish();
            if (!checked) return err(checked.error().message);
        }
        return new_frame_list(frames);
    });
}

// warn(): reports what was guessed in the frames read so far, once.
PyObject* frame_reader_warn(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyFrameReader* object = frame_reader_of(self);
        if (!object->warned) {
            object->warned = true;
            if (!warn_read_notes(object->reader->notes())) return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyObject* frame_reader_frames_read(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(frame_reader_of(self)->reader->frames_read());
}

PyMethodDef frame_reader_methods[] = {
    {"read", frame_reader_read, METH_O,
     "read($self, max_atoms, /)\n--\n\nThe next selected frames as (index, Structure) tuples, at least one and\n"
     "no more than reach max_atoms atoms; [] at the end. A frame that cannot be read\n"
     "fails the call after the one that returns the frames before it."},
    {"warn", frame_reader_warn, METH_NOARGS,
     "warn($self, /)\n--\n\nReports what was guessed in the frames read so far as ReadWarnings, once."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef frame_reader_getset[] = {
    {"frames_read", frame_reader_frames_read, nullptr, "Frames read completely so far, selected or not.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* frame_reader_type() {
    static PyObject* type = nullptr;
    if (type) return type;
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("_FrameReader(path, every=1, start=0, stop=None, cell=None)\n--\n\n"
                                      "Reads the selected frames of an XYZ trajectory a few at a time.")},
        {Py_tp_new, reinterpret_cast<void*>(frame_reader_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(frame_reader_dealloc)},
        {Py_tp_methods, frame_reader_methods},
        {Py_tp_getset, frame_reader_getset},
        {0, nullptr},
    };
    static PyType_Spec spec = {"molvane._FrameReader", static_cast<int>(sizeof(PyFrameReader)), 0,
                               Py_TPFLAGS_DEFAULT, slots};
    type = PyType_FromSpec(&spec);
    return type;
}

PyMethodDef helper_defs[] = {
    {"_index_xyz_trajectory", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_index_xyz_trajectory)),
     METH_VARARGS | METH_KEYWORDS,
     "_index_xyz_trajectory(path, stop=None)\n--\n\n"
     "(offsets, atoms, file_size, mtime_ns, inode): where each frame's count line\n"
     "starts and its atom count, packed as little-endian 64-bit numbers, and the\n"
     "size, modification time (ns) and inode of the file."},
    {"_read_indexed_frames", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_read_indexed_frames)),
     METH_VARARGS | METH_KEYWORDS,
     "_read_indexed_frames(path, frames, file_size, mtime_ns, inode, cell=None)\n--\n\n"
     "(frames, species_counts): the frames given as packed (index, offset, atoms)\n"
     "triples, read from their offsets, as (index, Structure) tuples; fails when\n"
     "the file is no longer the one indexed."},
    {"_check_selected", py_check_selected, METH_VARARGS,
     "_check_selected(frames_read, selected, /)\n--\n\nFails as a read does when no frame was read or none was selected."},
    {"_warn_species", py_warn_species, METH_O,
     "_warn_species(counts, /)\n--\n\nOne ReadWarning for the species read in capitals over all the counts."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef read_xyz_trajectory_def = {
    "read_xyz_trajectory",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_read_xyz_trajectory)),
    METH_VARARGS | METH_KEYWORDS,
    "read_xyz_trajectory(path, every=1, start=0, stop=None, cell=None)\n--\n\n"
    "Read selected frames of a multi-frame XYZ trajectory.\n\n"
    "Keeps frames start, start + every, ... before stop. Returns\n"
    "(structures, frame_indices, frames_read).",
};

bool add_trajectory_helpers(PyObject* module) {
    PyObject* type = frame_reader_type();
    if (!type || PyModule_AddObjectRef(module, "_FrameReader", type) < 0) return false;
    PyRef name{PyModule_GetNameObject(module)};
    if (!name) return false;
    for (PyMethodDef* def = helper_defs; def->ml_name; ++def) {
        PyRef function{PyCFunction_NewEx(def, module, name.get())};
        if (!function || PyModule_AddObjectRef(module, def->ml_name, function.get()) < 0) return false;
    }
    return true;
}

}  // namespace molvane
