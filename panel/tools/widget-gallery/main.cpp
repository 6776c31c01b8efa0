// Renders knobs, buttons and level bars as the mixer pages configure them, one PNG per picture.
// Usage: halvern-widget-gallery [output folder]   (default: ./gallery)

#include "widgets/button.h"
#include "widgets/knob.h"
#include "widgets/level_meter.h"

#include <QApplication>
#include <QDir>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QTextStream>
#include <QVBoxLayout>
#include <QWidget>

#include <functional>
#include <initializer_list>
#include <memory>
#include <utility>

namespace {

const char* const kWindowStyle = "background-color: #2c313c;";
const char* const kCaptionStyle = "font-size: 12px; color: white;";

// A window-coloured background; the style is scoped so the controls keep their own.
QWidget* darkSheet() {
    auto* sheet = new QWidget;
    sheet->setObjectName("frame");
    sheet->setStyleSheet(QStringLiteral("QWidget#frame { %1 }").arg(kWindowStyle));
    sheet->setAttribute(Qt::WA_StyledBackground, true);
    return sheet;
}

QLabel* captionLabel(const QString& text) {
    auto* label = new QLabel(text);
    label->setStyleSheet(kCaptionStyle);
    label->setAlignment(Qt::AlignCenter);
    return label;
}

// A dark frame with a caption under the control, with room for the glow around it.
QWidget* framed(QWidget* control, const QString& caption) {
    QWidget* frame = darkSheet();
    auto* layout = new QVBoxLayout(frame);
    layout->setContentsMargins(16, 16, 16, 8);
    layout->addWidget(control, 0, Qt::AlignCenter);
    layout->addWidget(captionLabel(caption));
    return frame;
}

Knob* gainKnob(int value) {
    auto* k = new Knob;
    k->setFixedSize(120, 120);
    k->maximum = 56;
    k->minimum = 0;
    k->value = value;
    k->displayOffset = 9;
    k->textColor = QColor("#00ff7f");
    k->glowColor = QColor("#00ff7f");
    k->arcColor = QColor("#f1fa8c");
    return k;
}

Knob* volumeKnob(int value) {
    auto* k = new Knob;
    k->setFixedSize(120, 120);
    k->maximum = 6;
    k->minimum = -80;
    k->value = value;
    k->textColor = QColor("#00ff7f");
    k->glowColor = QColor("#00ff7f");
    return k;
}

Knob* phoneKnob(int value) {
    auto* k = new Knob;
    k->setFixedSize(70, 70);
    k->maximum = 6;
    k->minimum = -80;
    k->value = value;
    k->arcWidth = 3;
    k->fontSize = 10;
    k->textColor = QColor("#00ff7f");
    k->glowColor = QColor("#00ff7f");
    return k;
}

Button* pageButton(const QString& text, const QString& accent, bool on) {
    auto* b = new Button(text);
    b->setMinimumWidth(80);
    b->setMaximumWidth(80);
    b->setMinimumHeight(40);
    b->borderRadius = 3;
    b->activeTextColor = accent;
    b->glowColor = accent;
    b->inactiveTextColor = "#8a95aa";
    b->activeBackground = "#1b1e23";
    b->inactiveBackground = "#1b1e23";
    b->updateStyle();
    b->setStatus(on);
    return b;
}

// A button with the constructor's own colours, as the widget looks unconfigured.
Button* defaultButton(bool on) {
    auto* b = new Button("DEFAULT");
    b->setMinimumWidth(80);
    b->setMaximumWidth(80);
    b->setMinimumHeight(40);
    b->updateStyle();
    b->setStatus(on);
    return b;
}

// A level bar posed on a clock of its own: `readings` as (ms, dBFS), seen at `at` ms.
LevelMeter* posedMeter(std::initializer_list<std::pair<int, double>> readings, int at) {
    auto* m = new LevelMeter;
    m->setFixedSize(120, 8);
    auto now = std::make_shared<qint64>(0);
    m->setClock([now] { return *now; });
    for (const auto& [ms, db] : readings) {
        *now = ms;
        m->setLevel(db);
    }
    *now = at;
    return m;
}

// The three states a page's bar shows: a quiet input; a loud one falling back under the peak it
// held; one that clipped a while ago, its mark still lit.
struct MeterPose {
    const char* name;
    const char* caption;
    std::function<LevelMeter*()> make;
};
const MeterPose kMeterPoses[] = {
    {"quiet", "quiet, -42 dB",
     [] {
         return posedMeter({{0, -42}, {500, -42}}, 600);
     }},
    {"peak", "loud, peak held",
     [] {
         return posedMeter({{0, -4}, {500, -24}}, 800);
     }},
    {"clipped", "clipped, then -18 dB",
     [] {
         return posedMeter({{0, 0.0}, {500, -18}}, 4000);
     }},
};

// A knob named "focused" gets the focus once its window is up, so its ring shows; elsewhere
// the focus that the window's activation hands to its first knob is taken away.
void focusMarked(QWidget* w) {
    auto* target = w->findChild<QWidget*>(QStringLiteral("focused"));
    if (!target) {
        if (QWidget* f = QApplication::focusWidget())
            f->clearFocus();
        QApplication::processEvents();
        return;
    }
    w->activateWindow();
    QApplication::processEvents();
    target->setFocus(Qt::TabFocusReason);
    QApplication::processEvents();
}

bool save(QWidget* w, const QDir& dir, const QString& name, QTextStream& out) {
    w->adjustSize();
    w->show();
    QApplication::processEvents();
    focusMarked(w);
    const QString path = dir.filePath(name + ".png");
    const bool ok = w->grab().save(path);
    out << (ok ? "wrote " : "FAILED ") << path << Qt::endl;
    delete w;
    return ok;
}

struct Style {
    const char* name;
    const char* text;
    const char* accent;
};
const Style kButtonStyles[] = {
    {"mic", "MIC", "#00ff7f"},       {"20db", "20dB", "#ff7f00"}, {"48v", "48V", "#ff1111"},
    {"direct", "DIRECT", "#00FFFF"}, {"mute", "MUTE", "#00FFFF"}, {"dim", "DIM", "#00FFFF"},
};

bool saveKnobs(const QDir& dir, QTextStream& out) {
    struct Picture {
        const char* name;
        std::function<QWidget*()> make;
    };
    const Picture pictures[] = {
        {"widgets-knob-gain-offset9-0", [] { return framed(gainKnob(0), "Gain 0 (offset 9)"); }},
        {"widgets-knob-gain-offset9-30", [] { return framed(gainKnob(30), "Gain 30 (offset 9)"); }},
        {"widgets-knob-gain-offset9-56", [] { return framed(gainKnob(56), "Gain 56 (offset 9)"); }},
        {"widgets-knob-volume-minus80", [] { return framed(volumeKnob(-80), "Volume -80"); }},
        {"widgets-knob-volume-0", [] { return framed(volumeKnob(0), "Volume 0"); }},
        {"widgets-knob-volume-6", [] { return framed(volumeKnob(6), "Volume 6"); }},
        {"widgets-knob-phone-minus80", [] { return framed(phoneKnob(-80), "Phone -80"); }},
        {"widgets-knob-phone-minus20", [] { return framed(phoneKnob(-20), "Phone -20"); }},
        {"widgets-knob-focused",
         [] {
             Knob* k = gainKnob(20);
             k->setObjectName("focused");
             return framed(k, "Gain 20, focused");
         }},
        {"widgets-knob-default",
         [] {
             auto* k = new Knob;
             k->setFixedSize(120, 120);
             k->value = -30;
             return framed(k, "Defaults, -30");
         }},
    };
    bool ok = true;
    for (const Picture& p : pictures)
        ok = save(p.make(), dir, p.name, out) && ok;
    return ok;
}

bool saveButtons(const QDir& dir, QTextStream& out) {
    bool ok = true;
    for (const Style& s : kButtonStyles) {
        for (bool on : {false, true}) {
            QWidget* w = framed(pageButton(s.text, s.accent, on), on ? "on" : "off");
            ok = save(w, dir, QStringLiteral("widgets-button-%1-%2").arg(s.name, on ? "on" : "off"),
                      out) &&
                 ok;
        }
    }
    for (bool on : {false, true})
        ok = save(framed(defaultButton(on), on ? "on" : "off"), dir,
                  QStringLiteral("widgets-button-default-%1").arg(on ? "on" : "off"), out) &&
             ok;
    return ok;
}

// Overview sheets for the documentation: every knob configuration, every button state.
bool saveKnobSheet(const QDir& dir, QTextStream& out) {
    QWidget* sheet = darkSheet();
    auto* grid = new QGridLayout(sheet);
    grid->setContentsMargins(20, 20, 20, 20);
    grid->setSpacing(16);
    const std::pair<Knob*, const char*> knobs[] = {
        {gainKnob(0), "Gain 0 (+9)"},   {gainKnob(30), "Gain 30 (+9)"},
        {gainKnob(56), "Gain 56 (+9)"}, {volumeKnob(-80), "Volume -80"},
        {volumeKnob(0), "Volume 0"},    {volumeKnob(6), "Volume 6"},
        {phoneKnob(-80), "Phone -80"},  {phoneKnob(-20), "Phone -20"},
        {phoneKnob(6), "Phone 6"},
    };
    int i = 0;
    for (const auto& [knob, caption] : knobs) {
        grid->addWidget(knob, 2 * (i / 3), i % 3, Qt::AlignCenter);
        grid->addWidget(captionLabel(caption), 2 * (i / 3) + 1, i % 3, Qt::AlignCenter);
        ++i;
    }
    return save(sheet, dir, "widgets-knobs", out);
}

bool saveButtonSheet(const QDir& dir, QTextStream& out) {
    QWidget* sheet = darkSheet();
    auto* grid = new QGridLayout(sheet);
    grid->setContentsMargins(20, 20, 20, 20);
    grid->setHorizontalSpacing(20);
    grid->setVerticalSpacing(14);
    grid->addWidget(captionLabel("off"), 0, 0, Qt::AlignCenter);
    grid->addWidget(captionLabel("on"), 0, 1, Qt::AlignCenter);
    int row = 1;
    for (const Style& s : kButtonStyles) {
        grid->addWidget(pageButton(s.text, s.accent, false), row, 0, Qt::AlignCenter);
        grid->addWidget(pageButton(s.text, s.accent, true), row, 1, Qt::AlignCenter);
        ++row;
    }
    grid->addWidget(defaultButton(false), row, 0, Qt::AlignCenter);
    grid->addWidget(defaultButton(true), row, 1, Qt::AlignCenter);
    return save(sheet, dir, "widgets-buttons", out);
}

bool saveMeters(const QDir& dir, QTextStream& out) {
    bool ok = true;
    for (const MeterPose& p : kMeterPoses)
        ok = save(framed(p.make(), p.caption), dir, QStringLiteral("widgets-meter-%1").arg(p.name),
                  out) &&
             ok;
    return ok;
}

// The bars in their three states beside a focused knob, for the documentation.
bool saveMeterSheet(const QDir& dir, QTextStream& out) {
    QWidget* sheet = darkSheet();
    auto* row = new QHBoxLayout(sheet);
    row->setContentsMargins(20, 20, 20, 20);
    row->setSpacing(24);
    auto* meters = new QVBoxLayout;
    meters->setSpacing(6);
    for (const MeterPose& p : kMeterPoses) {
        meters->addWidget(p.make(), 0, Qt::AlignCenter);
        meters->addWidget(captionLabel(p.caption));
    }
    row->addLayout(meters);
    auto* focused = new QVBoxLayout;
    Knob* k = volumeKnob(-12);
    k->setObjectName("focused");
    focused->addWidget(k, 0, Qt::AlignCenter);
    focused->addWidget(captionLabel("Volume -12, focused"));
    row->addLayout(focused);
    return save(sheet, dir, "widgets-meters", out);
}

// One sheet with a whole strip as a page shows it.
bool saveStripSheet(const QDir& dir, QTextStream& out) {
    QWidget* sheet = darkSheet();
    auto* row = new QHBoxLayout(sheet);
    row->setContentsMargins(20, 20, 20, 20);
    row->setSpacing(24);
    auto* mic = new QVBoxLayout;
    mic->addWidget(gainKnob(20), 0, Qt::AlignCenter);
    mic->addWidget(pageButton("20dB", "#ff7f00", true), 0, Qt::AlignCenter);
    mic->addWidget(pageButton("48V", "#ff1111", false), 0, Qt::AlignCenter);
    mic->addWidget(pageButton("DIRECT", "#00FFFF", true), 0, Qt::AlignCenter);
    row->addLayout(mic);
    auto* out1 = new QVBoxLayout;
    out1->addWidget(volumeKnob(-12), 0, Qt::AlignCenter);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(pageButton("MUTE", "#00FFFF", false));
    buttons->addWidget(pageButton("DIM", "#00FFFF", true));
    out1->addLayout(buttons);
    out1->addWidget(phoneKnob(0), 0, Qt::AlignCenter);
    row->addLayout(out1);
    return save(sheet, dir, "widgets-sheet", out);
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("gallery");
    QDir dir;
    if (!dir.mkpath(folder)) {
        QTextStream(stderr) << "cannot create " << folder << Qt::endl;
        return 1;
    }
    dir.setPath(folder);
    QTextStream out(stdout);
    bool ok = true;
    for (auto step : {saveKnobs, saveButtons, saveKnobSheet, saveButtonSheet, saveMeters,
                      saveMeterSheet, saveStripSheet})
        ok = step(dir, out) && ok;
    return ok ? 0 : 1;
}
