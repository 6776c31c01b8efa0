// The mixer pages' state files as a text editor may leave them: any bytes, any sections, keys
// twice, values that are no numbers or out of range. Loading sets every control within its
// range and writes each key back in its converted form.
#include "fuzz_qt.h"
#include "fuzz_sim.h"

#include "pages/kite.h"
#include "pages/models.h"
#include "pages/page_engine.h"
#include "pages/tern.h"
#include "pages/wren.h"
#include "widgets/button.h"
#include "widgets/knob.h"

using namespace halvern;

namespace {

template <class Page>
void load(Page& page, const std::vector<pages::StateKey<Page>>& keys,
          const std::vector<uint8_t>& file) {
    FUZZ_CHECK(page.settings != nullptr);
    const QString path = page.settings->fileName();
    delete page.settings;
    fuzz::replaceIniFile(path, file);
    page.settings = new QSettings(path, QSettings::IniFormat, &page);
    pages::loadStateKeys(page, *page.settings, keys);
    for (const auto& k : keys) {
        const QVariant stored = page.settings->value(k.key);
        if (k.knob) {
            const Knob& knob = *(page.*k.knob);
            FUZZ_CHECK(knob.value >= knob.minimum && knob.value <= knob.maximum);
            FUZZ_CHECK(stored.toInt() == knob.value);
        } else {
            FUZZ_CHECK(stored.toBool() == (page.*k.button)->status);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static sim::Simulator* device = (fuzz::qtApp(), fuzz::simulator());
    static wren* wrenPage = new wren;
    static tern* ternPage = new tern;
    static kite* kitePage = new kite;
    if (size == 0)
        return 0;
    const std::vector<uint8_t> file(data + 1, data + size);
    switch (data[0] % 3) {
    case 0:
        load(*wrenPage, pages::kWrenKeys, file);
        break;
    case 1:
        load(*ternPage, pages::kTernKeys, file);
        break;
    default:
        load(*kitePage, pages::kKiteKeys, file);
    }
    device->clearJournal();
    return 0;
}
