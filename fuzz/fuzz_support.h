// Helpers shared by the fuzz targets: an in-memory writer and an invariant check that aborts.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "runtime/io.h"
#include "runtime/result.h"

namespace fuzzing {

/// Collects everything written to it.
class StringWriter final : public runtime::Writer {
public:
    runtime::Result<void> writeAll(std::string_view bytes) override {
        text.append(bytes);
        return {};
    }
    std::string text;
};

/// Stops the run (a crash libFuzzer records with its input) when an invariant does not hold.
inline void check(bool holds, const char* invariant) {
    if (holds) return;
    std::fprintf(stderr, "invariant broken: %s\n", invariant);
    std::abort();
}

}  // namespace fuzzing
