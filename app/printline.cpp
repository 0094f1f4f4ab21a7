#include "app/printline.h"

#include <cstdio>

namespace mirel_varno {

bool printLine(const wxString& text)
{
    const wxScopedCharBuffer utf8 = text.utf8_str();
    bool ok = std::fwrite(utf8.data(), 1, utf8.length(), stdout) == utf8.length();
    ok = std::fputc('\n', stdout) != EOF && ok;
    ok = std::fflush(stdout) == 0 && ok;
    if (!ok) {
        std::clearerr(stdout);
    }
    return ok;
}

}  // namespace mirel_varno
