// Opening /dev/null on the standard descriptors a process was started without.
#include "runtime/descriptors.h"

#include <fcntl.h>

#include <cerrno>

#include "runtime/check.h"
#include "runtime/sys.h"

namespace runtime {

Result<void> openStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // Every lower descriptor is open by now, and open takes the lowest free one: `fd`.
        const int opened = TRY(sys::open("/dev/null", O_RDWR));
        CHECK(opened == fd);
    }
    return {};
}

}  // namespace runtime
