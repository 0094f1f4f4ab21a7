#include "model/statusbittexts.h"

#include <algorithm>
#include <utility>

#include <wx/translation.h>

namespace mirel_varno {

StatusBitTexts::StatusBitTexts(TextMap texts)
    : texts_(std::move(texts)),
      count_(static_cast<int32_t>(std::min<size_t>(texts_.size(), maxCount())))
{
}

StatusBitTexts StatusBitTexts::withDefaults()
{
    // Looked up here, so that a catalogue loaded later still applies to
    // tables built later.
    return StatusBitTexts(TextMap{
        {1, wxGetTranslation("Shortcut circuit")},
        {2, wxGetTranslation("Block is absence")},
        {3, wxGetTranslation("Block is broken")},
        {4, wxGetTranslation("Memory is broken")},
        {5, wxGetTranslation("Unknown block type")},
        {6, wxGetTranslation("Threshold is exceeded")},
        {7, wxGetTranslation("Preliminary threshold is exceeded")},
        {8, wxGetTranslation("Threshold is reduced")},
        {9, wxGetTranslation("Block sensitivity is exceeded")},
        {10, wxGetTranslation("Block isn't ready")},
    });
}

void StatusBitTexts::clear()
{
    texts_.clear();
    count_ = 0;
}

wxString StatusBitTexts::textFor(uint8_t key) const
{
    const auto found = texts_.find(key);
    return found != texts_.end() ? found->second : wxString();
}

}  // namespace mirel_varno
