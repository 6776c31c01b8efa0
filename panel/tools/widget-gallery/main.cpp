// Renders knobs and buttons as the mixer pages configure them, one PNG per picture.
// Usage: halvern-widget-gallery [output folder]   (default: ./gallery)

#include "widgets/button.h"
#include "widgets/knob.h"

#include <QApplication>
#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QTextStream>
#include <QVBoxLayout>
#include <QWidget>

#include <functional>

namespace {

const char* const kWindowStyle = "background-color: #2c313c;";
const char* const kCaptionStyle = "font-size: 12px; color: white;";

// A dark frame with a caption under the control, with room for the glow around it.
QWidget* framed(QWidget* control, const QString& caption) {
    auto* frame = new QWidget;
    frame->setObjectName("frame");
    frame->setStyleSheet(QStringLiteral("QWidget#frame { %1 }").arg(kWindowStyle));
    frame->setAttribute(Qt::WA_StyledBackground, true);
    auto* layout = new QVBoxLayout(frame);
    layout->setContentsMargins(16, 16, 16, 8);
    layout->addWidget(control, 0, Qt::AlignCenter);
    auto* label = new QLabel(caption);
    label->setStyleSheet(kCaptionStyle);
    label->setAlignment(Qt::AlignCenter);
    layout->addWidget(label);
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

bool save(QWidget* w, const QDir& dir, const QString& name, QTextStream& out) {
    w->adjustSize();
    w->show();
    QApplication::processEvents();
    const QString path = dir.filePath(name + ".png");
    const bool ok = w->grab().save(path);
    out << (ok ? "wrote " : "FAILED ") << path << Qt::endl;
    delete w;
    return ok;
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
        {"widgets-knob-default",
         [] {
             auto* k = new Knob;
             k->setFixedSize(120, 120);
             k->value = -30;
             return framed(k, "Defaults, -30");
         }},
    };
    for (const Picture& p : pictures)
        ok = save(p.make(), dir, p.name, out) && ok;

    struct Style {
        const char* name;
        const char* text;
        const char* accent;
    };
    const Style styles[] = {
        {"mic", "MIC", "#00ff7f"},       {"20db", "20dB", "#ff7f00"}, {"48v", "48V", "#ff1111"},
        {"direct", "DIRECT", "#00FFFF"}, {"mute", "MUTE", "#00FFFF"}, {"dim", "DIM", "#00FFFF"},
    };
    for (const Style& s : styles) {
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

    // One sheet with a whole strip as a page shows it.
    {
        auto* sheet = new QWidget;
        sheet->setObjectName("frame");
        sheet->setStyleSheet(QStringLiteral("QWidget#frame { %1 }").arg(kWindowStyle));
        sheet->setAttribute(Qt::WA_StyledBackground, true);
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
        ok = save(sheet, dir, "widgets-sheet", out) && ok;
    }
    return ok ? 0 : 1;
}
