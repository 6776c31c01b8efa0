// Renders each mixer page against a simulated interface of its model, on the window's dark
// background, once fresh and once from a stored state with mute and dim on; and the Wren once
// more with its level bars at work: MIC1 driven into clip and back, its peak held.
// Usage: halvern-page-shots [OUTPUT_FOLDER | --docs]   (--docs: the repository's docs/images)
#include "panel_support.h"

#include "pages/kite.h"
#include "pages/tern.h"
#include "pages/wren.h"
#include "widgets/knob.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QSettings>
#include <QStandardPaths>
#include <QTextStream>
#include <QVBoxLayout>

#include <functional>
#include <memory>

namespace {

using halvern::test::SimulatedInterface;

struct Model {
    const char* name;
    uint32_t code;
    std::function<QWidget*()> make;
    QVariantMap stored; // the "muted" picture's file
};

// The Wren's MIC1 through the bars' states: the -12 dBFS tone raised into clip, then to -3 dB
// (the new peak, once the clip's hold is over), then back to -12 dB; taken while the bar falls.
// MIC2 hears a quiet -40 dBFS tone.
bool driveMeters(SimulatedInterface& sim, QWidget* page) {
    auto* w = static_cast<wren*>(page);
    halvern::sim::InputSignal quiet;
    quiet.levelDbfs = -40.0;
    sim->setInputSignal(1, quiet);
    auto reads = [&](const char* text) {
        return halvern::test::processEventsUntil(
            [&] { return w->mic1LevelLabel->text() == QLatin1String(text); }, 3000);
    };
    w->mic1Knob->setValue(14);
    if (!reads("0.0 dB"))
        return false;
    w->mic1Knob->setValue(9);
    if (!reads("-3.0 dB"))
        return false;
    halvern::test::processEventsUntil([] { return false; }, 1600);
    w->mic1Knob->setValue(0);
    if (!reads("-12.0 dB"))
        return false;
    halvern::test::processEventsUntil([] { return false; }, 250);
    return true;
}

QWidget* onWindowBackground(QWidget* page) {
    auto* sheet = new QWidget;
    sheet->setObjectName("window");
    sheet->setStyleSheet(QStringLiteral("QWidget#window { background-color: #2c313c; }"));
    sheet->setAttribute(Qt::WA_StyledBackground, true);
    auto* layout = new QVBoxLayout(sheet);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->addWidget(page);
    return sheet;
}

bool render(const Model& model, const QString& variant, const QDir& dir, QTextStream& out) {
    const bool stored = variant == "muted";
    SimulatedInterface sim(model.code);
    if (!sim.started()) {
        out << "FAILED to start the simulator: " << QString::fromStdString(sim->error())
            << Qt::endl;
        return false;
    }
    if (stored) {
        QSettings file(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + "/" +
                           model.name + ".ini",
                       QSettings::IniFormat);
        for (auto it = model.stored.begin(); it != model.stored.end(); ++it)
            file.setValue(it.key(), it.value());
        file.sync();
    }
    std::unique_ptr<QWidget> sheet(onWindowBackground(model.make()));
    sheet->adjustSize();
    sheet->show();
    // One meter poll, so that the read-outs show the simulated inputs.
    halvern::test::processEventsUntil([] { return false; }, 700);
    const bool driven = variant != "meters" || driveMeters(sim, sheet->findChild<wren*>());
    const QString path = dir.filePath(QStringLiteral("page-%1-%2.png").arg(model.name, variant));
    const bool ok = driven && sheet->grab().save(path);
    out << (ok ? "wrote " : "FAILED ") << path << Qt::endl;
    return ok;
}

// The pages' debug lines would bury the list of pictures written.
void quietDebug(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type != QtDebugMsg)
        QTextStream(stderr) << text << Qt::endl;
}

} // namespace

int main(int argc, char** argv) {
    qInstallMessageHandler(quietDebug);
    QApplication app(argc, argv);
    QString folder = QStringLiteral("page-shots");
    if (argc > 1)
        folder = QString::fromLocal8Bit(argv[1]) == "--docs" ? QStringLiteral(HALVERN_DOCS_IMAGES)
                                                             : QString::fromLocal8Bit(argv[1]);
    QTextStream out(stdout);
    if (!QDir().mkpath(folder)) {
        out << "cannot create " << folder << Qt::endl;
        return 1;
    }
    const QDir dir(folder);

    const QVariantMap common = {{"Dial/HeadphoneValue", -20},
                                {"Button/HeadphoneMuteIsChecked", true},
                                {"Button/HeadphoneDimIsChecked", true}};
    auto with = [](QVariantMap m, const QVariantMap& more) {
        for (auto it = more.begin(); it != more.end(); ++it)
            m.insert(it.key(), it.value());
        return m;
    };
    const Model models[] = {
        {"wren", halvern::protocol::kModelWren, [] { return new wren; },
         with(common, {{"Dial/Mic1Value", 8},
                       {"Button/Mic148VIsChecked", true},
                       {"Button/MonitorMic1IsChecked", true},
                       {"Dial/SpeakerValue", -12},
                       {"Button/SpeakerMuteIsChecked", true},
                       {"Button/SpeakerDimIsChecked", true},
                       {"Dial/OtgToSPValue", -10}})},
        {"tern", halvern::protocol::kModelTern, [] { return new tern; },
         with(common, {{"Dial/MicValue", 20},
                       {"Button/MicInstrIsChecked", true},
                       {"Button/Mic20dBIsChecked", true},
                       {"Dial/OtgToHpValue", -10}})},
        {"kite", halvern::protocol::kModelKite, [] { return new kite; },
         with(common, {{"Dial/MicValue", 8}, {"Button/MonitorMicIsChecked", true}})},
    };
    bool ok = true;
    for (const Model& m : models)
        for (const char* variant : {"fresh", "muted"})
            ok = render(m, variant, dir, out) && ok;
    ok = render(models[0], "meters", dir, out) && ok;
    return ok ? 0 : 1;
}
