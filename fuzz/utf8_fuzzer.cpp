// utf8ValidateSlice against an oracle written from RFC 3629's grammar.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_support.h"
#include "json/utf8.h"
#include "support/utf8_oracle.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    fuzzing::check(json::utf8ValidateSlice(bytes) == testing_support::matchesUtf8Grammar(bytes),
                   "utf8ValidateSlice agrees with the RFC 3629 grammar");
    return 0;
}
