#ifndef MIREL_VARNO_MODEL_STATUSBITTEXTS_H
#define MIREL_VARNO_MODEL_STATUSBITTEXTS_H

#include <cstdint>
#include <map>

#include <wx/string.h>

namespace mirel_varno {

// The texts that name the bits of a unit's status word. Key k names bit
// k - 1 (mask 1 << (k - 1)); keys start at 1. The count is the number of
// named bits and never exceeds maxCount(); keys beyond it may still be held
// and looked up.
class StatusBitTexts {
public:
    using TextMap = std::map<uint8_t, wxString>;

    // Empty, count 0.
    StatusBitTexts() = default;
    // Copies the map; count = its size, at most maxCount().
    explicit StatusBitTexts(TextMap texts);

    // The ten built-in texts for bits 0 to 9 (translated now), count 10.
    static StatusBitTexts withDefaults();

    // Empties the map; count 0.
    void clear();
    // The text under key, or an empty text when there is none.
    wxString textFor(uint8_t key) const;
    int32_t count() const { return count_; }
    static constexpr int32_t maxCount() { return 16; }
    const TextMap& texts() const { return texts_; }

private:
    TextMap texts_;
    int32_t count_ = 0;
};

}  // namespace mirel_varno

#endif
