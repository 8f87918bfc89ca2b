// The module function read_xyz_trajectory: converts its arguments, reads the
// trajectory with the interpreter lock released, and builds the result tuple.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "python/lib.hpp"
#include "python/pyargs.hpp"
#include "python/pyobj.hpp"
#include "io/trajectory.hpp"

namespace molvane {

static PyObject* py_read_xyz_trajectory(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const Signature sig{"read_xyz_trajectory()",
                                   {{"path", true}, {"every", false}, {"start", false}, {"stop", false}, {"cell", false}}};
        PyObject* slots[5];
        if (!bind_args(sig, args, kwargs, slots)) return nullptr;
        std::string path;
        FrameSelection selection;
        std::vector<std::vector<double>> rows;
        bool has_cell = false;
        if (!arg_str(slots[0], "path", path)) return nullptr;
        if (slots[1] && !arg_u64(slots[1], "every", selection.every)) return nullptr;
        if (slots[2] && !arg_u64(slots[2], "start", selection.start)) return nullptr;
        if (slots[3] && slots[3] != Py_None) {
            std::uint64_t stop;
            if (!arg_u64(slots[3], "stop", stop)) return nullptr;
            selection.stop = stop;
        }
        if (slots[4] && slots[4] != Py_None) {
            if (!arg_rows(slots[4], "cell", rows)) return nullptr;
            has_cell = true;
        }

        std::optional<Mat3> cell;
        if (has_cell) {
            if (rows.size() != 3) return err("cell must be 3x3");
            Mat3 m;
            for (std::size_t i = 0; i < 3; ++i) {
                if (rows[i].size() != 3) return err("cell must be 3x3");
                for (std::size_t j = 0; j < 3; ++j) m[i][j] = rows[i][j];
            }
            cell = m;
        }

        std::optional<Result<Trajectory>> read;
        {
            ReleaseGil unlocked;
            read.emplace(read_xyz_trajectory(path, selection, cell));
        }
        if (!*read) return err(read->error().message);
        Trajectory& trajectory = **read;

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

PyMethodDef read_xyz_trajectory_def = {
    "read_xyz_trajectory",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_read_xyz_trajectory)),
    METH_VARARGS | METH_KEYWORDS,
    "read_xyz_trajectory(path, every=1, start=0, stop=None, cell=None)\n--\n\n"
    "Read selected frames of a multi-frame XYZ trajectory.\n\n"
    "Keeps frames start, start + every, ... before stop. Returns\n"
    "(structures, frame_indices, frames_read).",
};

}  // namespace molvane
