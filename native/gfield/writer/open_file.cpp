#include "gfield/writer/open_file.hpp"

#include "glue/call.hpp"

#include <climits>

#if defined(__linux__)
#include <fcntl.h>
#endif

namespace corvid::gfield::writer {

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

WriteBuffer::WriteBuffer(size_t bytes) : size_(bytes) { renew(); }

void WriteBuffer::renew() {
    // An old block lives on in whatever kept it; this buffer lets go of it.
    pinned_.release();
    array_ = checked(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size_)));
    pinned_ = ArrayView::any(array_.get(), true);
    data_ = pinned_.data<std::byte>();
    kept_ = false;
}

std::byte* WriteBuffer::fill() {
    if (kept_) renew();
    return data_;
}

Ref WriteBuffer::view(const std::byte* data, size_t size) const {
    auto start = static_cast<Py_ssize_t>(data - data_);
    Ref whole = call_method(checked(PyMemoryView_FromObject(array_.get())).get(), "toreadonly");
    return checked(PySequence_GetSlice(whole.get(), start, start + static_cast<Py_ssize_t>(size)));
}

void WriteBuffer::note_kept() {
    // Beyond this buffer's own export and references (`array_`, and the one the export
    // holds): views of the block, however derived, hold an export of the bytearray; `.obj` of
    // one is the bytearray itself.
    auto* array = reinterpret_cast<PyByteArrayObject*>(array_.get());
    if (array->ob_exports > 1 || Py_REFCNT(array_.get()) > 2) kept_ = true;
}

void OpenFile::write(WriteBuffer& buffer, const std::byte* data, size_t size) {
    while (size > 0) {
        Py_ssize_t n;
        {
            Ref view = buffer.view(data, size);
            Ref written = call_method(file_.get(), "write", {view});
            n = PyNumber_AsSsize_t(written.get(), PyExc_OverflowError);
        }
        buffer.note_kept();
        if (n == -1 && PyErr_Occurred()) throw_python_error();
        if (n <= 0 || static_cast<size_t>(n) > size)
            raise_format(PyExc_OSError, "write returned %zd for %zu bytes", n, size);
        data += n;
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

void OpenFile::write_at(int64_t offset, WriteBuffer& buffer, const std::byte* data, size_t size) {
    if (offset != position_) {
        call_method(file_.get(), "seek", {py_int(offset)});
        position_ = offset;
    }
    write(buffer, data, size);
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
