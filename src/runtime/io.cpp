// writeAll and the descriptor reader and writer.
#include "runtime/io.h"

#include <algorithm>

#include "runtime/sys.h"

namespace runtime {

Result<void> writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        std::size_t length = std::min(bytes.size(), MaxWriteLength);
        std::size_t put = TRY(sys::write(fd, bytes.data(), length));  // NOLINT(*-stringview-data-usage): sized
        bytes.remove_prefix(put);
    }
    return {};
}

Result<void> FdWriter::writeAll(std::string_view bytes) { return runtime::passOn(runtime::writeAll(fd_, bytes)); }

Result<bool> FdReader::readByte(char& byte) {
    std::size_t got = TRY(sys::read(fd_, &byte, 1));
    return got == 1;
}

}  // namespace runtime
