// The fixed English texts of the model go through the current message
// catalogue when they are produced; format strings never do.
#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <wx/arrstr.h>
#include <wx/translation.h>

#include "model/measure.h"
#include "model/pointparam.h"
#include "support/wxprint.h"

using namespace mirel_varno;

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

void putLE32(std::string& out, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        out[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    }
}

// A GNU .mo file: header, the table of original strings, the table of
// translations (each entry length and offset), then the strings with their
// terminating zeros. Entries must come sorted by original text.
std::string moFile(Entries entries)
{
    entries.insert(entries.begin(), {"", "Content-Type: text/plain; charset=UTF-8\n"});
    std::sort(entries.begin(), entries.end());
    const size_t n = entries.size();
    const size_t originals = 28;
    const size_t translations = originals + 8 * n;
    std::string out(translations + 8 * n, '\0');
    putLE32(out, 0, 0x950412DE);
    putLE32(out, 4, 0);
    putLE32(out, 8, static_cast<uint32_t>(n));
    putLE32(out, 12, static_cast<uint32_t>(originals));
    putLE32(out, 16, static_cast<uint32_t>(translations));
    putLE32(out, 20, 0);  // no hash table
    putLE32(out, 24, 0);
    auto append = [&out](size_t table, const std::string& text) {
        putLE32(out, table, static_cast<uint32_t>(text.size()));
        putLE32(out, table + 4, static_cast<uint32_t>(out.size()));
        out += text;
        out += '\0';
    };
    for (size_t i = 0; i < n; ++i) {
        append(originals + 8 * i, entries[i].first);
        append(translations + 8 * i, entries[i].second);
    }
    return out;
}

class MemoryLoader : public wxTranslationsLoader {
public:
    explicit MemoryLoader(std::string mo) : mo_(std::move(mo)) {}

    wxMsgCatalog* LoadCatalog(const wxString& domain, const wxString& lang) override
    {
        if (lang != "de") {
            return nullptr;
        }
        wxCharBuffer data(mo_.size());
        std::memcpy(data.data(), mo_.data(), mo_.size());
        return wxMsgCatalog::CreateFromData(data, domain);
    }

    wxArrayString GetAvailableTranslations(const wxString&) const override
    {
        wxArrayString langs;
        langs.push_back("de");
        return langs;
    }

private:
    std::string mo_;
};

// Installs a German catalogue for the test's lifetime and restores the
// untranslated state after it, also when an assertion fails.
class GermanCatalogue : public ::testing::Test {
protected:
    void install()
    {
        const Entries entries = {
            {"Unknown version", "Unbekannte Version"},
            {"Shortcut circuit", "Kurzschluss"},
            {"Block isn't ready", "Block nicht bereit"},
            {"Threshold exceeded", "Schwelle \xC3\xBC" "berschritten"},
            {"Threshold reduced", "Schwelle unterschritten"},
            {"Prethreshold exceeded", "Vorschwelle \xC3\xBC" "berschritten"},
            {"Measure", "Messung"},
            {"mk", "\xC2\xB5"},
            {"m", "M"},
            // Formats are never looked up: these must not show.
            {"%s %d", "FORMAT %s %d"},
            {" %.3lf %s%s", "FORMAT %.3lf %s%s"},
            {"%d", "FORMAT %d"},
        };
        auto* translations = new wxTranslations;
        translations->SetLoader(new MemoryLoader(moFile(entries)));
        translations->SetLanguage("de");
        wxTranslations::Set(translations);
        ASSERT_TRUE(translations->AddCatalog("varno"));
    }

    void TearDown() override { wxTranslations::Set(nullptr); }
};

wxString utf8(const char* text)
{
    return wxString::FromUTF8(text);
}

}  // namespace

TEST_F(GermanCatalogue, FixedTextsFollowTheCatalogueAndFormatsDoNot)
{
    // Without a catalogue: English.
    EXPECT_EQ(unknownVersionText(), "Unknown version");
    EXPECT_EQ(StatusBitTexts::withDefaults().textFor(1), "Shortcut circuit");
    EXPECT_EQ(Measure(0.0005f, "V", 0, 0, 0, 0).valueText(), " 0.500 mV");
    EXPECT_EQ(Measure(1.0f, "V", 0, 0, 0, 0x0020).kindText(), "Threshold exceeded");
    const Measure builtBefore(2.5e-7f, "V", 0, 0, 0, 0);

    install();

    EXPECT_EQ(unknownVersionText(), "Unbekannte Version");

    const StatusBitTexts texts = StatusBitTexts::withDefaults();
    EXPECT_EQ(texts.textFor(1), "Kurzschluss");
    EXPECT_EQ(texts.textFor(10), "Block nicht bereit");
    EXPECT_EQ(texts.textFor(2), "Block is absence");  // not in the catalogue

    const struct {
        uint16_t status;
        const char* text;
    } kinds[] = {
        {0x0020, "Schwelle \xC3\xBC" "berschritten"},
        {0x0080, "Schwelle unterschritten"},
        {0x0040, "Vorschwelle \xC3\xBC" "berschritten"},
        {0x0001, "Messung"},
    };
    for (const auto& row : kinds) {
        EXPECT_EQ(Measure(1.0f, "V", 0, 0, 0, row.status).kindText(), utf8(row.text));
    }

    const Measure milli(0.0005f, "V", 0, 0, 0, 0);
    EXPECT_EQ(milli.prefix(), "M");
    EXPECT_EQ(milli.valueText(), " 0.500 MV");
    EXPECT_EQ(Measure(2.5e-7f, "V", 0, 0, 0, 0).valueText(), utf8(" 0.250 \xC2\xB5V"));
    // The prefix is fixed when the measure is scaled, not when it is shown.
    EXPECT_EQ(builtBefore.valueText(), " 0.250 mkV");

    Measure waiting(1.0f, "V", 0, 0, 0, 0x0200);
    waiting.setLabel("Wait", 5);
    EXPECT_EQ(waiting.valueText(), "Wait 5");
    EXPECT_EQ(waiting.kindText(), "Wait 5");
    EXPECT_EQ(PointParam(113, 1, "Gain", uint8_t{200}).valueText(), "200");

    wxTranslations::Set(nullptr);
    EXPECT_EQ(unknownVersionText(), "Unknown version");
    EXPECT_EQ(Measure(1.0f, "V", 0, 0, 0, 0).kindText(), "Measure");
}
