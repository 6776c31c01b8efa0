// Renders each mixer page against a simulated interface of its model, on the window's dark
// background, once fresh and once from a stored state with mute and dim on.
// Usage: halvern-page-shots [OUTPUT_FOLDER | --docs]   (--docs: the repository's docs/images)
#include "panel_support.h"

#include "pages/kite.h"
#include "pages/tern.h"
#include "pages/wren.h"

#include <QApplication>
#include <QDir>
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

bool render(const Model& model, bool stored, const QDir& dir, QTextStream& out) {
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
    const QString path =
        dir.filePath(QStringLiteral("page-%1-%2.png").arg(model.name, stored ? "muted" : "fresh"));
    const bool ok = sheet->grab().save(path);
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
        for (bool stored : {false, true})
            ok = render(m, stored, dir, out) && ok;
    return ok ? 0 : 1;
}
