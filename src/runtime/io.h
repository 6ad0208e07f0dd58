// Unbuffered byte input and output over descriptors, and the reader and writer interfaces that
// requests and responses use.
#pragma once

#include <cstddef>
#include <string_view>

#include "runtime/result.h"

namespace runtime {

/// The most one write call is asked to take; longer pieces take several calls.
inline constexpr std::size_t MaxWriteLength = 0x7FFFF000;

/// Writes every byte of `bytes` to `fd`, continuing after partial writes.
/// Errors: those of write (BrokenPipe, NotOpenForWriting, ..., Unexpected); bytes written
/// before the error stay written.
Result<void> writeAll(int fd, std::string_view bytes);

/// Where bytes go: writeByte for one, writeAll for a run, each completely or with the first
/// error. One interface, so one Response and one JSON writer serve connections and tests alike.
class Writer {
public:
    virtual Result<void> writeAll(std::string_view bytes) = 0;
    Result<void> writeByte(char byte) { return writeAll({&byte, 1}); }

protected:
    Writer() = default;
    Writer(const Writer&) = default;
    Writer& operator=(const Writer&) = default;
    ~Writer() = default;
};

/// Writes straight to a descriptor it borrows, without buffering.
class FdWriter final : public Writer {
public:
    explicit FdWriter(int fd) noexcept : fd_(fd) {}
    Result<void> writeAll(std::string_view bytes) override;

private:
    int fd_;
};

/// Where bytes come from, one at a time: readByte stores the next one and yields true, or yields
/// false at end of stream, or the first error. One interface, so one request reader serves
/// connections and tests alike.
class Reader {
public:
    virtual Result<bool> readByte(char& byte) = 0;

protected:
    Reader() = default;
    Reader(const Reader&) = default;
    Reader& operator=(const Reader&) = default;
    ~Reader() = default;
};

/// Reads straight from a descriptor it borrows, without buffering: one read call per byte.
class FdReader final : public Reader {
public:
    explicit FdReader(int fd) noexcept : fd_(fd) {}
    /// Errors: those of read.
    Result<bool> readByte(char& byte) override;

private:
    int fd_;
};

}  // namespace runtime
