// The module function read_xyz_trajectory (placeholder).
#include "lib.hpp"

namespace molvane {

static PyObject* read_xyz_trajectory(PyObject*, PyObject*, PyObject*) {
    return err("read_xyz_trajectory is not available in this build");
}

PyMethodDef read_xyz_trajectory_def = {
    "read_xyz_trajectory",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_xyz_trajectory)),
    METH_VARARGS | METH_KEYWORDS,
    "read_xyz_trajectory(path, every=1, start=0, stop=None, cell=None)\n--\n\n"
    "Read selected frames of a multi-frame XYZ trajectory.\n\n"
    "Keeps frames start, start + every, ... before stop. Returns\n"
    "(structures, frame_indices, frames_read).",
};

}  // namespace molvane
