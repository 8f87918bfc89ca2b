// Owned Python references and small helpers for the Python layer.
// Only src/lib* and src/py* include Python.h.
#pragma once

#include <Python.h>

#include <utility>

namespace molvane {

// Move-only owner of one strong reference.
class PyRef {
public:
    PyRef() = default;
    explicit PyRef(PyObject* obj) : obj_(obj) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : obj_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~PyRef() { Py_XDECREF(obj_); }

    PyObject* get() const { return obj_; }
    PyObject* release() { return std::exchange(obj_, nullptr); }
    void reset(PyObject* obj = nullptr) {
        PyObject* old = std::exchange(obj_, obj);
        Py_XDECREF(old);
    }
    explicit operator bool() const { return obj_ != nullptr; }

private:
    PyObject* obj_ = nullptr;
};

// Releases the interpreter lock for the lifetime of the guard. Hold only
// native data inside its scope.
class ReleaseGil {
public:
    ReleaseGil() : state_(PyEval_SaveThread()) {}
    ~ReleaseGil() { PyEval_RestoreThread(state_); }
    ReleaseGil(const ReleaseGil&) = delete;
    ReleaseGil& operator=(const ReleaseGil&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace molvane
