// Owned Python references and small helpers for the Python layer.
// Only the binding (src/binding) includes Python.h.
#pragma once

#include <Python.h>

#include <cstddef>
#include <iterator>
#include <string_view>
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

// fn() with the interpreter lock released; it may touch only native data.
template <class Fn>
auto without_gil(Fn&& fn) {
    ReleaseGil unlocked;
    return fn();
}

// A new str of the UTF-8 bytes of `text`.
inline PyObject* new_str(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// The indices lo .. hi - 1 as items for new_list (std::views::iota does not
// build with clang 14 against the GCC 12 standard library).
struct IndexRange {
    struct Iterator {
        std::size_t i;
        std::size_t operator*() const { return i; }
        Iterator& operator++() {
            ++i;
            return *this;
        }
        bool operator!=(const Iterator& other) const { return i != other.i; }
    };
    std::size_t lo, hi;
    Iterator begin() const { return {lo}; }
    Iterator end() const { return {hi}; }
    std::size_t size() const { return hi - lo; }
};

// A new list of convert(item) for each of `items`; null, with the error set,
// when a conversion fails.
template <class Items, class Convert>
PyObject* new_list(const Items& items, Convert&& convert) {
    PyRef list{PyList_New(static_cast<Py_ssize_t>(std::size(items)))};
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& item : items) {
        PyObject* value = convert(item);
        if (!value) return nullptr;
        PyList_SetItem(list.get(), i++, value);  // steals
    }
    return list.release();
}

}  // namespace molvane
