#include "gfield/open_file.hpp"

#include "glue/call.hpp"

#include <climits>

#if defined(__linux__)
#include <fcntl.h>
#endif

namespace corvid::gfield::model {

OpenFile::OpenFile(PyObject* filename) {
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

void OpenFile::write(const void* data, size_t size) {
    auto* bytes = static_cast<char*>(const_cast<void*>(data));
    while (size > 0) {
        Ref view = checked(PyMemoryView_FromMemory(bytes, static_cast<Py_ssize_t>(size), PyBUF_READ));
        Ref written = call_method(file_.get(), "write", {view});
        // The view must not outlive this call: later reads would see a reused buffer.
        call_method(view.get(), "release");
        Py_ssize_t n = PyNumber_AsSsize_t(written.get(), PyExc_OverflowError);
        if (n == -1 && PyErr_Occurred()) throw_python_error();
        if (n <= 0 || static_cast<size_t>(n) > size)
            raise_format(PyExc_OSError, "write returned %zd for %zu bytes", n, size);
        bytes += n;
        size -= static_cast<size_t>(n);
        position_ += n;
    }
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

void OpenFile::write_at(int64_t offset, const void* data, size_t size) {
    if (offset != position_) {
        call_method(file_.get(), "seek", {py_int(offset)});
        position_ = offset;
    }
    write(data, size);
}

bool OpenFile::seekable() {
    Ref result = call_method(file_.get(), "seekable");
    return check_status(PyObject_IsTrue(result.get())) == 1;
}

void OpenFile::close() {
    Ref file = std::move(file_);
    call_method(file.get(), "close");
}

}  // namespace corvid::gfield::model
