#ifndef MIREL_VARNO_PROTOCOL_TEXTCODEC_H
#define MIREL_VARNO_PROTOCOL_TEXTCODEC_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include <wx/string.h>

namespace mirel_varno {

// Thread safety: the conversions keep no state and may run on any thread.

// Texts travel as UTF-16LE code units ending at the first zero unit.

// Decodes up to the first zero unit, or to the end of the bytes when there
// is none; an odd trailing byte is ignored. Surrogate pairs become one
// character; a lone surrogate becomes U+FFFD.
wxString decodeUtf16le(const uint8_t* bytes, size_t count);

// Encodes a text as UTF-16LE code units followed by one zero unit.
// Characters above U+FFFF become surrogate pairs. A text that holds a zero
// character ends there, since a unit reading it would stop there too.
std::vector<uint8_t> encodeUtf16le(const wxString& text);

}  // namespace mirel_varno

#endif
