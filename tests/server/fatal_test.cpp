// The fatal exit: the error's name, its trace with source lines and carets, exit status 1.
#include "server/fatal.h"

#include <gtest/gtest.h>

#include "runtime/result.h"
#include "runtime/sys.h"

namespace {

runtime::Result<void> readClosedDescriptor() {
    char byte = 0;
    TRY(runtime::sys::read(-1, &byte, 1));
    return {};
}

runtime::Result<void> passRead() { return runtime::passOn(readClosedDescriptor()); }

using FatalExitDeathTest = ::testing::Test;

TEST_F(FatalExitDeathTest, WritesTheNameThenEachLocationOnceWithSourceAndCaretAndExitsWithOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The wrapper raises at its caller's place, where the TRY is the same hop: recorded once, so
    // right after the first entry's source line and caret comes its caller's entry.
    EXPECT_EXIT(server::fatalExit(passRead().error()), ::testing::ExitedWithCode(1),
                "^error: NotOpenForReading\n"
                "[^\n]*fatal_test.cpp:[0-9]+:[0-9]+: in [^\n]*readClosedDescriptor\\(\\)\n"
                "    TRY\\(runtime::sys::read\\(-1, &byte, 1\\)\\);\n"
                "    \\^\n"
                "[^\n]*fatal_test.cpp:[0-9]+:[0-9]+: in [^\n]*passRead\\(\\)\n"
                "runtime::Result<void> passRead\\(\\) \\{ return runtime::passOn\\(readClosedDescriptor\\(\\)\\); \\}\n"
                " +\\^\n");
}

}  // namespace
