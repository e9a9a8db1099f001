// Owned references to interpreter objects.
#pragma once

#include <Python.h>

#include <utility>

namespace ext
{

// A move-only owner of one strong reference. Made only through `steal` (take
// over a new reference) or `borrow` (add one), so each call site says which.
class Ref
{
  public:
    Ref() noexcept = default;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept
    {
        if (this != &other) {
            PyObject *old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    static Ref steal(PyObject *p) noexcept { return Ref(p); }
    static Ref borrow(PyObject *p) noexcept
    {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject *get() const noexcept { return p_; }
    // Hands the reference back to the caller (usually the interpreter).
    [[nodiscard]] PyObject *release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Py_CLEAR(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

  private:
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    PyObject *p_ = nullptr;
};

inline Ref steal(PyObject *p) noexcept
{
    return Ref::steal(p);
}
inline Ref borrow(PyObject *p) noexcept
{
    return Ref::borrow(p);
}

} // namespace ext
