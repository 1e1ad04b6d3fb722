/// A file opened for writing by the interpreter's own `open`, so its errors are the
/// interpreter's, and the memory it is handed bytes from.
#pragma once

#include "glue/array.hpp"
#include "glue/ref.hpp"

#include <cstddef>
#include <cstdint>

namespace corvid::gfield::writer {

/// Memory that bytes are written from, owned by a Python bytearray and handed to `write` as
/// read-only memoryviews. A `write` may keep what it was given (a replacement `open` may hold on
/// to a view, a view derived from it, or the bytearray behind it): what it keeps keeps the memory
/// alive, and the buffer moves to a fresh block before it is filled again, so kept bytes are
/// never overwritten.
class WriteBuffer {
public:
    explicit WriteBuffer(size_t bytes);

    /// The memory to fill, after moving to a fresh block if something still holds the current one.
    std::byte* fill();

private:
    friend class OpenFile;
    void renew();
    /// A read-only view of `size` bytes at `data`, which lies in this buffer.
    Ref view(const std::byte* data, size_t size) const;
    /// Notes whether anything besides this buffer still refers to the block, once the views
    /// handed out are dropped.
    void note_kept();

    Ref array_;          ///< the bytearray
    ArrayView pinned_;  ///< an export of it, so nobody can resize it while it is ours
    std::byte* data_ = nullptr;
    size_t size_ = 0;
    bool kept_ = false;  ///< a `write` kept something of the current block
};

class OpenFile {
public:
    /// `open(filename, "wb")`, with `open` looked up in builtins at each call.
    explicit OpenFile(PyObject* filename);
    /// Closes a file left open by an error, keeping that error.
    ~OpenFile();
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    /// Asks the file system to allocate `size` bytes up front (as NumPy's `tofile` does), which
    /// spares it allocating block by block while the body streams in. A hint: failures are
    /// ignored and the file's size is unchanged.
    void reserve(int64_t size);
    /// Writes all `size` bytes at `data`, which lie in `buffer`, at the current position.
    void write(WriteBuffer& buffer, const std::byte* data, size_t size);
    /// The same, at byte `offset` from the start.
    void write_at(int64_t offset, WriteBuffer& buffer, const std::byte* data, size_t size);
    /// Byte offset of the next write.
    int64_t position() const { return position_; }
    bool seekable();
    /// Closes the file; an error of closing propagates.
    void close();

private:
    Ref file_;
    int64_t position_ = 0;
};

}  // namespace corvid::gfield::writer
