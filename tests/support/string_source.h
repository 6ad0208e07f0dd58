// A byte source over a string, for tests and fuzzers: the bytes a connection would deliver.
#pragma once

#include <cstddef>
#include <string_view>

#include "runtime/io.h"
#include "runtime/result.h"

namespace testing_support {

/// Gives the bytes of a string one per readByte call, then end of stream, as a connection that
/// the client closed after sending them would. Counts the calls and keeps what was not read.
class StringSource final : public runtime::Reader {
public:
    explicit StringSource(std::string_view bytes) noexcept : rest(bytes) {}

    runtime::Result<bool> readByte(char& byte) override {
        ++reads;
        if (rest.empty()) return false;
        byte = rest.front();
        rest.remove_prefix(1);
        return true;
    }

    std::string_view rest;  ///< not read yet
    std::size_t reads = 0;  ///< readByte calls made
};

}  // namespace testing_support
