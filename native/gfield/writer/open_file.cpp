#include "gfield/writer/open_file.hpp"

#include "glue/call.hpp"

#include <climits>

#if defined(__linux__)
#include <fcntl.h>
#endif

namespace corvid::gfield::writer {

OpenFile::OpenFile(PyObject* filename, size_t buffer_bytes) : buffer_bytes_(buffer_bytes) {
    Ref open = attr(import("builtins").get(), "open");
    file_ = call(open.get(), {filename, py_str("wb")});
}

OpenFile::~OpenFile() {
    if (!file_) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* pending = PyErr_GetRaisedException();
    Ref result = Ref::steal(PyObject_CallMethod(file_.get(), "close", nullptr));
    if (!result) PyErr_Clear();
    PyErr_SetRaisedException(pending);
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref result = Ref::steal(PyObject_CallMethod(file_.get(), "close", nullptr));
    if (!result) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
#endif
}

void OpenFile::reserve([[maybe_unused]] int64_t size) {
#if defined(__linux__)
    Ref fileno = Ref::steal(PyObject_CallMethod(file_.get(), "fileno", nullptr));
    long fd = fileno ? PyLong_AsLong(fileno.get()) : -1;
    if (fd < 0 || fd > INT_MAX) {
        PyErr_Clear();
        return;
    }
    Py_BEGIN_ALLOW_THREADS
    (void)fallocate(static_cast<int>(fd), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size));
    Py_END_ALLOW_THREADS
#endif
}

std::byte* OpenFile::buffer() {
    if (kept_) {
        // An old bytearray lives on in whatever kept it.
        pinned_.release();
        array_ = checked(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(buffer_bytes_)));
        pinned_ = ArrayView::any(array_.get(), true);
        kept_ = false;
    }
    return pinned_.data<std::byte>();
}

void OpenFile::write(int64_t offset, const std::byte* data, size_t size) {
    if (offset != position_) {
        call_method(file_.get(), "seek", {py_int(offset)});
        position_ = offset;
    }
    auto* array = reinterpret_cast<PyByteArrayObject*>(array_.get());
    while (size > 0) {
        Py_ssize_t n;
        {
            auto start = static_cast<Py_ssize_t>(data - pinned_.data<std::byte>());
            Ref whole = call_method(checked(PyMemoryView_FromObject(array_.get())).get(), "toreadonly");
            Ref view = checked(PySequence_GetSlice(whole.get(), start, start + static_cast<Py_ssize_t>(size)));
            Ref written = call_method(file_.get(), "write", {view});
            n = PyNumber_AsSsize_t(written.get(), PyExc_OverflowError);
        }
        // Beyond our own reference and export (whose reference makes two): a view, however
        // derived, holds an export; `.obj` of one is the bytearray itself.
        if (array->ob_exports > 1 || Py_REFCNT(array_.get()) > 2) kept_ = true;
        if (n == -1 && PyErr_Occurred()) throw_python_error();
        if (n <= 0 || static_cast<size_t>(n) > size)
            raise_format(PyExc_OSError, "write returned %zd for %zu bytes", n, size);
        data += n;
        size -= static_cast<size_t>(n);
        position_ += n;
    }
}

bool OpenFile::seekable() {
    Ref result = call_method(file_.get(), "seekable");
    return check_status(PyObject_IsTrue(result.get())) == 1;
}

void OpenFile::close() {
    Ref file = std::move(file_);
    call_method(file.get(), "close");
}

}  // namespace corvid::gfield::writer
