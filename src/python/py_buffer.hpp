// An object's buffer, released with this holder.
#pragma once

#include <cstddef>
#include <cstring>

#include "py_ref.hpp"

namespace vesk {

class PyBufferView {
public:
    PyBufferView() = default;
    PyBufferView(const PyBufferView&) = delete;
    PyBufferView& operator=(const PyBufferView&) = delete;
    ~PyBufferView()
    {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }
    // A C-contiguous view; false with the exception set.
    bool get(PyObject* object, int flags)
    {
        held_ = PyObject_GetBuffer(object, &view_, flags | PyBUF_C_CONTIGUOUS) == 0;
        return held_;
    }
    // Elements of the struct `format` (native order); only for a view got
    // with PyBUF_FORMAT.
    bool holds(const char* format, std::size_t itemsize) const
    {
        const char* own = view_.format[0] == '@' || view_.format[0] == '=' ? view_.format + 1 : view_.format;
        return std::strcmp(own, format) == 0 && static_cast<std::size_t>(view_.itemsize) == itemsize;
    }
    std::size_t bytes() const { return static_cast<std::size_t>(view_.len); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len / view_.itemsize); }
    template <class T>
    T* data() const
    {
        return static_cast<T*>(view_.buf);
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace vesk
