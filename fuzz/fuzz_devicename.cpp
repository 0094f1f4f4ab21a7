// Device-name mapping: any mode text gives a path that is the name before
// its settings, or /dev/ttyS<n-1> for a COMn name with no entry of that
// name in the working directory.

#include <cstdint>
#include <string>

#include "fuzz/fakeline.h"
#include "serial/serialplatformlinux.h"

using namespace mirel_varno;
using varno_fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A C string: the mode text ends at the first zero byte.
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string mode = text.c_str();
    const std::string path = devicePath(mode.c_str());
    check(path.size() <= mode.size() || path.rfind("/dev/ttyS", 0) == 0);
    if (path.rfind("/dev/ttyS", 0) != 0) {
        check(mode.compare(0, path.size(), path) == 0);
    } else if (mode.rfind("/dev/ttyS", 0) != 0) {
        // Only COMn names are mapped, n from 1: ttyS0 and up.
        check(path.size() > 9 && path[9] != '-');
    }
    return 0;
}
