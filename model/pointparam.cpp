#include "model/pointparam.h"

#include <wx/translation.h>

namespace mirel_varno {

wxString unknownVersionText()
{
    return wxGetTranslation("Unknown version");
}

void PointParams::reset()
{
    *this = PointParams();
}

}  // namespace mirel_varno
