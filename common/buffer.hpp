// A buffer view that gives itself back.
#pragma once

#include <Python.h>

namespace ext
{

// Holds a Py_buffer filled by PyObject_GetBuffer or a "y*"/"s*" conversion and
// releases it in its destructor, only if one was taken. Parsing writes into
// it directly: PyArg_ParseTuple(args, "y*i:max", view.out(), &width).
class BufferView
{
  public:
    BufferView() noexcept
    {
        view_.obj = nullptr;
        view_.buf = nullptr;
    }
    BufferView(const BufferView &) = delete;
    BufferView &operator=(const BufferView &) = delete;
    ~BufferView() { release(); }

    Py_buffer *out() noexcept
    {
        release();
        return &view_;
    }
    // Fills the view from an exporter; false with the exception set on failure.
    bool get(PyObject *exporter, int flags) noexcept
    {
        release();
        if (PyObject_GetBuffer(exporter, &view_, flags) < 0) {
            view_.obj = nullptr;
            return false;
        }
        return true;
    }
    void release() noexcept
    {
        if (view_.obj != nullptr) {
            PyBuffer_Release(&view_);
            view_.obj = nullptr;
        }
    }

    Py_buffer *operator->() noexcept { return &view_; }
    const Py_buffer *operator->() const noexcept { return &view_; }
    Py_buffer &operator*() noexcept { return view_; }
    bool held() const noexcept { return view_.obj != nullptr; }

    const unsigned char *bytes() const noexcept { return static_cast<const unsigned char *>(view_.buf); }
    Py_ssize_t size() const noexcept { return view_.len; }

  private:
    Py_buffer view_;
};

} // namespace ext
