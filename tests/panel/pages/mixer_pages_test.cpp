// The three mixer pages against the simulated interface: what each control sends, what the
// state file holds afterwards and what the level read-outs show. One table over the models.
#include "panel_support.h"

#include "device/audio_bus_device.h"
#include "pages/kite.h"
#include "pages/tern.h"
#include "pages/wren.h"
#include "widgets/button.h"
#include "widgets/knob.h"

#include <QLabel>
#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

using namespace halvern;
using namespace halvern::protocol;
using halvern::test::processEventsUntil;
using halvern::test::QtLogCapture;
using halvern::test::SimulatedInterface;

namespace {

uint32_t modelCode(const QString& model) {
    return model == "tern" ? kModelTern : model == "kite" ? kModelKite : kModelWren;
}

// What every model has, whatever the page calls it; the first microphone where there are two.
struct Page {
    std::unique_ptr<QWidget> widget;
    Knob* mic = nullptr;
    Button* direct = nullptr;
    QLabel* micLevel = nullptr;
    QLabel* phoneLevel = nullptr; // none on the Kite
    Knob* headphone = nullptr;
    Button* headphoneMute = nullptr;
    Button* headphoneDim = nullptr;
    Knob* headphonePhone = nullptr; // none on the Kite
    std::size_t headphoneGain = 0;  // the first of its two output gains
};

Page makePage(const QString& model) {
    Page p;
    if (model == "wren") {
        auto* w = new wren;
        p.widget.reset(w);
        p.mic = w->mic1Knob, p.direct = w->mic1DirectButton, p.micLevel = w->mic1LevelLabel;
        p.phoneLevel = w->phoneToHeadphoneLevelLabel, p.headphone = w->headphoneKnob;
        p.headphoneMute = w->headphoneMuteButton, p.headphoneDim = w->headphoneDimButton;
        p.headphonePhone = w->phoneToHeadphoneKnob, p.headphoneGain = 4;
    } else if (model == "tern") {
        auto* t = new tern;
        p.widget.reset(t);
        p.mic = t->micKnob, p.direct = t->micDirectButton, p.micLevel = t->micLevelLabel;
        p.phoneLevel = t->phoneLevelLabel, p.headphone = t->headphoneKnob;
        p.headphoneMute = t->headphoneMuteButton, p.headphoneDim = t->headphoneDimButton;
        p.headphonePhone = t->phoneToHeadphoneKnob;
    } else {
        auto* k = new kite;
        p.widget.reset(k);
        p.mic = k->micKnob, p.direct = k->micDirectButton, p.micLevel = k->micLevelLabel;
        p.headphone = k->headphoneKnob, p.headphoneMute = k->headphoneMuteButton;
        p.headphoneDim = k->headphoneDimButton;
    }
    return p;
}

QString stateFile(const QString& model) {
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + "/" + model + ".ini";
}

void storeStates(const QString& model, const QVariantMap& values) {
    QSettings s(stateFile(model), QSettings::IniFormat);
    for (auto it = values.begin(); it != values.end(); ++it)
        s.setValue(it.key(), it.value());
    s.sync();
}

// The journal as short words: "out 1=100", "gain 1=0", "pad 1=0", "48v", "inst", "matrix".
QStringList requestWords(const std::vector<sim::JournalEntry>& journal) {
    QStringList out;
    for (const auto& e : journal) {
        if (e.code == IOCTL_MIXER_SET_MATRIX) {
            out << "matrix";
            continue;
        }
        if (e.code != IOCTL_DEVICE_SEND_COMMAND || e.input.size() < CommandPacket::kSize) {
            out << requestName(e.code);
            continue;
        }
        CommandPacket p;
        std::memcpy(p.bytes, e.input.data(), CommandPacket::kSize);
        const uint8_t op = p.opcode();
        const char* name = op == kOpOutVolume       ? "out"
                           : op == kOpMicVolume     ? "gain"
                           : op == kOpMic20dB       ? "pad"
                           : op == kOpMic48V        ? "48v"
                           : op == kOpMicInstrument ? "inst"
                                                    : "?";
        const unsigned value = (op == kOpOutVolume || op == kOpMicVolume) ? p.value() : p.param1();
        out << QStringLiteral("%1 %2=%3").arg(name).arg(p.param2()).arg(value);
    }
    return out;
}

std::vector<MixerMatrix> matrixWrites(const std::vector<sim::JournalEntry>& journal) {
    std::vector<MixerMatrix> out;
    for (const auto& e : journal)
        if (e.code == IOCTL_MIXER_SET_MATRIX && e.input.size() == MixerMatrix::kSize) {
            out.emplace_back();
            std::memcpy(out.back().bytes, e.input.data(), MixerMatrix::kSize);
        }
    return out;
}

double gainOf(double dB) {
    return AudioBusDevice::dbToGain(dB);
}

} // namespace

class MixerPagesTest : public QObject {
    Q_OBJECT

private slots:
    void startupPushesEveryStoredState_data();
    void startupPushesEveryStoredState();
    void storedStatesAreClampedAndAppliedInOrder_data();
    void storedStatesAreClampedAndAppliedInOrder();
    void garbledStoredValuesReadAsTheirDefaults_data();
    void garbledStoredValuesReadAsTheirDefaults();
    void muteAndDimLevels_data();
    void muteAndDimLevels();
    void directMonitoringSwitchesItsCellsOnly_data();
    void directMonitoringSwitchesItsCellsOnly();
    void knobsSendTheirUnits_data();
    void knobsSendTheirUnits();
    void ternInstrumentButtonFollowsTheDevice();
    void failuresAreLoggedAndStillStored_data();
    void failuresAreLoggedAndStillStored();
    void meterTexts_data();
    void meterTexts();
    void failedMeterReadsLeaveTheLabels_data();
    void failedMeterReadsLeaveTheLabels();
    void gainAndPadMoveTheReadOut();
    void unwritableStateFileIsNotReportedSaved();
    void refusedOutputVolumeKeepsThePage_data();
    void refusedOutputVolumeKeepsThePage();
    void pageWithoutDeviceIsEmpty_data();
    void pageWithoutDeviceIsEmpty();

private:
    void modelColumn() {
        QTest::addColumn<QString>("model");
        for (const char* m : {"wren", "tern", "kite"})
            QTest::newRow(m) << QString::fromLatin1(m);
    }
};

void MixerPagesTest::startupPushesEveryStoredState_data() {
    QTest::addColumn<QString>("model");
    QTest::addColumn<QStringList>("requests");
    QTest::addColumn<QStringList>("keys");
    const QStringList m8 = {"matrix", "matrix", "matrix", "matrix",
                            "matrix", "matrix", "matrix", "matrix"};
    QTest::newRow("wren") << "wren"
                          << (QStringList{"out 1=100", "out 2=100", "out 5=100", "out 6=100",
                                          "pad 1=0", "48v 1=0", "matrix", "gain 1=0", "gain 2=0",
                                          "pad 2=0", "48v 2=0", "matrix"} +
                              m8)
                          << QStringList{"Button/HeadphoneDimIsChecked",
                                         "Button/HeadphoneMuteIsChecked",
                                         "Button/Mic120dBIsChecked",
                                         "Button/Mic148VIsChecked",
                                         "Button/Mic220dBIsChecked",
                                         "Button/Mic248VIsChecked",
                                         "Button/MonitorMic1IsChecked",
                                         "Button/MonitorMic2IsChecked",
                                         "Button/SpeakerDimIsChecked",
                                         "Button/SpeakerMuteIsChecked",
                                         "Dial/HeadphoneValue",
                                         "Dial/Mic1Value",
                                         "Dial/Mic2Value",
                                         "Dial/OtgToHpValue",
                                         "Dial/OtgToSPValue",
                                         "Dial/SpeakerValue"};
    QTest::newRow("tern") << "tern" << QStringList{"out 1=100", "out 2=100", "inst 1=0", "pad 1=0",
                                                   "48v 1=0",   "matrix",    "gain 1=0", "matrix",
                                                   "matrix",    "matrix",    "matrix"}
                          << QStringList{"Button/HeadphoneDimIsChecked",
                                         "Button/HeadphoneMuteIsChecked",
                                         "Button/Mic20dBIsChecked",
                                         "Button/Mic48VIsChecked",
                                         "Button/MicInstrIsChecked",
                                         "Button/MonitorMicIsChecked",
                                         "Dial/HeadphoneValue",
                                         "Dial/MicValue",
                                         "Dial/OtgToHpValue"};
    // No pad, phantom power or instrument on the Kite: neither sent nor stored.
    QTest::newRow("kite") << "kite" << QStringList{"out 1=100", "out 2=100", "matrix", "gain 1=0",
                                                   "matrix",    "matrix",    "matrix"}
                          << QStringList{"Button/HeadphoneDimIsChecked",
                                         "Button/HeadphoneMuteIsChecked",
                                         "Button/MonitorMicIsChecked", "Dial/HeadphoneValue",
                                         "Dial/MicValue"};
}

void MixerPagesTest::startupPushesEveryStoredState() {
    QFETCH(QString, model);
    QFETCH(QStringList, requests);
    QFETCH(QStringList, keys);
    SimulatedInterface sim(modelCode(model));
    QVERIFY(sim.started());
    QtLogCapture log;
    Page page = makePage(model);
    QVERIFY(page.mic);

    const auto journal = sim->journal();
    QCOMPARE(requestWords(journal), requests);
    QCOMPARE(QSettings(stateFile(model), QSettings::IniFormat).allKeys(), keys);
    QCOMPARE(log.count("已从配置文件加载控件状态"), 1);
    // Only the Wren reports each save.
    QCOMPARE(log.contains("控件状态已保存到配置文件"), model == "wren");

    // Fresh: the outputs are silent, the phone reaches them at 0 dB, nothing is monitored.
    const MixerMatrix m = sim->mixerMatrix();
    const std::size_t hp = page.headphoneGain;
    QCOMPARE(m.outputGain(hp), 0.0);
    QCOMPARE(m.outputGain(hp + 1), 0.0);
    QCOMPARE(m.outputGain(model == "wren" ? 0 : 4), model == "wren" ? 0.0 : 1.0);
    QCOMPARE(m.outputGain(95), 1.0);
    QCOMPARE(m.cell(2, hp, 2), 1.0);
    QCOMPARE(m.cell(2, hp + 1, 3), 1.0);
    QCOMPARE(m.cell(2, hp, 0), 0.0);
    QCOMPARE(m.cell(0, 11, 7), 1.0);
    QCOMPARE(m.cell(5, 7, 7), 1.0);
    QCOMPARE(m.cell(4, 4, 0), model == "wren" ? 1.0 : 0.0);
}

void MixerPagesTest::storedStatesAreClampedAndAppliedInOrder_data() {
    modelColumn();
}

void MixerPagesTest::storedStatesAreClampedAndAppliedInOrder() {
    QFETCH(QString, model);
    SimulatedInterface sim(modelCode(model));
    const QString micKey = model == "wren" ? "Dial/Mic1Value" : "Dial/MicValue";
    QVariantMap stored = {{micKey, -5},
                          {"Dial/HeadphoneValue", 20},
                          {"Button/HeadphoneMuteIsChecked", true},
                          {"Button/HeadphoneDimIsChecked", true}};
    if (model == "wren")
        stored.insert({{"Dial/SpeakerValue", 20}, {"Button/SpeakerMuteIsChecked", true}});
    storeStates(model, stored);
    QtLogCapture log;
    Page page = makePage(model);

    QSettings file(stateFile(model), QSettings::IniFormat);
    QCOMPARE(file.value(micKey).toInt(), 0);
    QCOMPARE(file.value("Dial/HeadphoneValue").toInt(), 6);
    QCOMPARE(file.value("Button/HeadphoneMuteIsChecked").toBool(), true);
    QVERIFY(requestWords(sim->journal()).contains("gain 1=0"));

    // Unity from the initial matrix until the stored level arrives: first the level, clamped
    // to +6 dB, then silence for the mute, and the dim keeps it silent.
    const auto writes = matrixWrites(sim->journal());
    std::vector<double> headphone;
    for (const MixerMatrix& m : writes)
        headphone.push_back(m.outputGain(page.headphoneGain));
    const std::size_t afterLevel = model == "wren" ? 5 : 1;
    QVERIFY(headphone.size() >= afterLevel + 3);
    QCOMPARE(headphone[afterLevel - 1], 1.0);
    QCOMPARE(headphone[afterLevel], gainOf(6));
    QCOMPARE(headphone[afterLevel + 1], 0.0);
    QCOMPARE(headphone[afterLevel + 2], 0.0);
    if (model == "wren") {
        QCOMPARE(file.value("Dial/SpeakerValue").toInt(), 6);
        const QStringList lines = log.startingWith("Speaker volume set to:");
        QCOMPARE(lines.mid(0, 2),
                 QStringList({"Speaker volume set to: 6", "Speaker volume set to: -80"}));
    } else {
        QVERIFY(!file.contains("Dial/SpeakerValue"));
        // Tern and Kite headphones are outputs 0 and 1; 4 and 5 keep their unity gain.
        QCOMPARE(writes.back().outputGain(4), 1.0);
        QCOMPARE(writes.back().outputGain(5), 1.0);
        QCOMPARE(log.count("Headphone Mute Button Clicked: Mute ON"), 1);
    }
}

void MixerPagesTest::garbledStoredValuesReadAsTheirDefaults_data() {
    QTest::addColumn<QString>("model");
    QTest::addColumn<QVariantMap>("stored");
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<QVariantMap>("rewritten"); // as the file holds them afterwards
    QTest::newRow("wren") << "wren"
                          << QVariantMap{{"Button/Mic148VIsChecked", "off"},
                                         {"Button/Mic248VIsChecked", "garbage"},
                                         {"Button/Mic120dBIsChecked", "1"},
                                         {"Dial/SpeakerValue", "loud"}}
                          << QStringList{"48v 1=0", "48v 2=0", "pad 1=1"}
                          << QVariantMap{{"Button/Mic148VIsChecked", "false"},
                                         {"Button/Mic248VIsChecked", "false"},
                                         {"Button/Mic120dBIsChecked", "true"},
                                         {"Dial/SpeakerValue", "-80"}};
    QTest::newRow("tern") << "tern"
                          << QVariantMap{{"Button/Mic48VIsChecked", "on"},
                                         {"Button/MicInstrIsChecked", "true"},
                                         {"Dial/HeadphoneValue", "-5dB"}}
                          << QStringList{"48v 1=0", "inst 1=1"}
                          << QVariantMap{{"Button/Mic48VIsChecked", "false"},
                                         {"Button/MicInstrIsChecked", "true"},
                                         {"Dial/HeadphoneValue", "-80"}};
    QTest::newRow("kite") << "kite"
                          << QVariantMap{{"Button/MonitorMicIsChecked", "yes"},
                                         {"Dial/HeadphoneValue", "x"}}
                          << QStringList{}
                          << QVariantMap{{"Button/MonitorMicIsChecked", "false"},
                                         {"Dial/HeadphoneValue", "-80"}};
}

void MixerPagesTest::garbledStoredValuesReadAsTheirDefaults() {
    QFETCH(QString, model);
    QFETCH(QVariantMap, stored);
    QFETCH(QStringList, sent);
    QFETCH(QVariantMap, rewritten);
    SimulatedInterface sim(modelCode(model));
    storeStates(model, stored);
    Page page = makePage(model);
    const QStringList requests = requestWords(sim->journal());
    for (const QString& word : sent)
        QVERIFY2(requests.contains(word), qPrintable(requests.join(", ")));
    QSettings file(stateFile(model), QSettings::IniFormat);
    for (auto it = rewritten.begin(); it != rewritten.end(); ++it)
        QCOMPARE(file.value(it.key()).toString(), it.value().toString());
    const auto mics = sim->status().mics;
    QVERIFY(
        std::none_of(mics.begin(), mics.end(), [](const sim::MicState& m) { return m.phantom; }));
}

void MixerPagesTest::muteAndDimLevels_data() {
    QTest::addColumn<QString>("model");
    QTest::addColumn<int>("knob");
    QTest::addColumn<double>("dimmedDb"); // below -80: silence
    QTest::newRow("wren -60") << "wren" << -60 << -80.0;
    QTest::newRow("wren -59") << "wren" << -59 << -79.0;
    QTest::newRow("tern +6") << "tern" << 6 << -14.0;
    QTest::newRow("kite -59") << "kite" << -59 << -79.0;
}

void MixerPagesTest::muteAndDimLevels() {
    QFETCH(QString, model);
    QFETCH(int, knob);
    QFETCH(double, dimmedDb);
    SimulatedInterface sim(modelCode(model));
    Page page = makePage(model);
    const std::size_t k = page.headphoneGain;
    auto sent = [&] { // both sides alike, or -1
        const MixerMatrix m = sim->mixerMatrix();
        return m.outputGain(k + 1) == m.outputGain(k) ? m.outputGain(k) : -1.0;
    };
    QtLogCapture log;
    page.headphone->setValue(knob);
    QCOMPARE(sent(), gainOf(knob));
    page.headphoneDim->setStatus(true);
    QCOMPARE(sent(), gainOf(dimmedDb));
    page.headphoneMute->setStatus(true);
    QCOMPARE(sent(), 0.0);
    // Turning the knob while muted is stored but stays silent.
    page.headphone->setValue(knob - 1);
    QCOMPARE(sent(), 0.0);
    QCOMPARE(QSettings(stateFile(model), QSettings::IniFormat).value("Dial/HeadphoneValue").toInt(),
             knob - 1);
    page.headphone->setValue(knob);
    page.headphoneMute->setStatus(false); // back to the dimmed level
    QCOMPARE(sent(), gainOf(dimmedDb));
    page.headphoneDim->setStatus(false);
    QCOMPARE(sent(), gainOf(knob));

    // What each model reports about it: seven runs of the volume handler.
    const QStringList levels = log.startingWith("Headphone volume set to:");
    QCOMPARE(levels.size(), model == "kite" ? 0 : 7);
    if (model == "wren")
        QCOMPARE(levels.front(), QStringLiteral("Headphone volume set to: %1").arg(knob));
    QCOMPARE(log.startingWith("Headphone Knob value changed:").size(), model == "wren" ? 7 : 0);
    QCOMPARE(log.contains("Headphone Dim Button Clicked: Dim ON"), model != "wren");
    QCOMPARE(log.contains("Headphone Mute Button Clicked: Mute OFF"), model != "wren");
}

void MixerPagesTest::directMonitoringSwitchesItsCellsOnly_data() {
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("cells"); // "row,column" of matrix 2
    QTest::newRow("wren MIC2") << "wren"
                               << "0,1 1,1 4,1 5,1";
    QTest::newRow("tern") << "tern"
                          << "0,0 1,1";
    QTest::newRow("kite") << "kite"
                          << "0,0 1,1";
}

void MixerPagesTest::directMonitoringSwitchesItsCellsOnly() {
    QFETCH(QString, model);
    QFETCH(QString, cells);
    SimulatedInterface sim(modelCode(model));
    Page page = makePage(model);
    Button* direct =
        model == "wren" ? static_cast<wren*>(page.widget.get())->mic2DirectButton : page.direct;
    const MixerMatrix before = sim->mixerMatrix();
    QtLogCapture log;
    direct->setStatus(true);
    const MixerMatrix after = sim->mixerMatrix();
    QStringList changed;
    for (std::size_t i = 0; i < MixerMatrix::kDoubles; ++i)
        if (before.at(i) != after.at(i)) {
            QCOMPARE(i / 1024, std::size_t(2));
            QCOMPARE(after.at(i), 1.0);
            changed << QStringLiteral("%1,%2").arg(i % 1024 / 32).arg(i % 32);
        }
    QCOMPARE(changed.join(' '), cells);
    QVERIFY(log.contains("Monitor Mic set to: 1"));
    direct->setStatus(false);
    QCOMPARE(std::memcmp(sim->mixerMatrix().bytes, before.bytes, MixerMatrix::kSize), 0);
}

void MixerPagesTest::knobsSendTheirUnits_data() {
    QTest::addColumn<QString>("model");
    QTest::addColumn<int>("micValue");
    QTest::addColumn<QString>("shown");
    QTest::newRow("wren") << "wren" << 56 << "65dB";
    QTest::newRow("tern") << "tern" << 42 << "42dB";
    QTest::newRow("kite") << "kite" << 42 << "42dB";
}

void MixerPagesTest::knobsSendTheirUnits() {
    QFETCH(QString, model);
    QFETCH(int, micValue);
    QFETCH(QString, shown);
    SimulatedInterface sim(modelCode(model));
    Page page = makePage(model);
    sim->clearJournal();
    QtLogCapture log;
    page.mic->setValue(micValue + 10); // clamped to the knob's top
    QCOMPARE(requestWords(sim->journal()),
             QStringList{QStringLiteral("gain 1=%1").arg(2 * micValue)});
    QCOMPARE(page.mic->valueText(), shown);
    QVERIFY(log.contains(QStringLiteral("Mic volume set to: %1").arg(micValue)));

    if (!page.headphonePhone)
        return; // the Kite's phone input is fixed at unity
    page.headphonePhone->setValue(-80);
    QCOMPARE(sim->mixerMatrix().cell(2, page.headphoneGain, 2), 0.0);
    QCOMPARE(sim->mixerMatrix().cell(2, page.headphoneGain + 1, 3), 0.0);
    QVERIFY(log.contains("OTG to HP volume set to: 0"));
    page.headphonePhone->setValue(0);
    QCOMPARE(sim->mixerMatrix().cell(2, page.headphoneGain + 1, 3), 1.0);
    if (model == "wren") {
        static_cast<wren*>(page.widget.get())->phoneToSpeakerKnob->setValue(-20);
        QCOMPARE(sim->mixerMatrix().cell(2, 0, 2), gainOf(-20));
        QCOMPARE(sim->mixerMatrix().cell(2, 1, 3), gainOf(-20));
        QCOMPARE(log.startingWith("OTG to SP volume set to:").size(), 1);
    }
}

void MixerPagesTest::ternInstrumentButtonFollowsTheDevice() {
    SimulatedInterface sim(kModelTern);
    auto page = std::make_unique<tern>();
    Button* instrument = page->micInstrButton;
    QCOMPARE(instrument->text(), QString("MIC"));
    instrument->setStatus(true);
    QCOMPARE(instrument->text(), QString("INST"));
    QVERIFY(sim->status().mics.at(0).instrument);
    instrument->setStatus(false);
    QCOMPARE(instrument->text(), QString("MIC"));

    QtLogCapture log;
    sim->failCommands(kOpMicInstrument);
    instrument->setStatus(true);
    QCOMPARE(instrument->text(), QString("MIC"));
    QVERIFY(log.contains("Failed to switch mic instruction."));
    // The button keeps its new state, and so does the file.
    QCOMPARE(QSettings(stateFile("tern"), QSettings::IniFormat)
                 .value("Button/MicInstrIsChecked")
                 .toBool(),
             true);
}

void MixerPagesTest::failuresAreLoggedAndStillStored_data() {
    modelColumn();
}

void MixerPagesTest::failuresAreLoggedAndStillStored() {
    QFETCH(QString, model);
    SimulatedInterface sim(modelCode(model));
    Page page = makePage(model);
    QtLogCapture log;
    sim->failRequests(IOCTL_MIXER_SET_MATRIX, 31);
    page.headphone->setValue(-10);
    page.direct->setStatus(true);
    QCOMPARE(log.count("Failed to set headphone volume."), 1);
    QCOMPARE(log.count("Failed to set Monitor Mic."), 1);
    QSettings file(stateFile(model), QSettings::IniFormat);
    QCOMPARE(file.value("Dial/HeadphoneValue").toInt(), -10);
    QVERIFY(
        file.value(model == "wren" ? "Button/MonitorMic1IsChecked" : "Button/MonitorMicIsChecked")
            .toBool());
    sim->clearFaults();

    sim->failCommands(kOpMicVolume);
    page.mic->setValue(7);
    QVERIFY(log.contains("Failed to set mic volume."));
    QVERIFY(!log.contains("Mic volume set to: 7"));
    QCOMPARE(QSettings(stateFile(model), QSettings::IniFormat)
                 .value(model == "wren" ? "Dial/Mic1Value" : "Dial/MicValue")
                 .toInt(),
             7);
}

void MixerPagesTest::meterTexts_data() {
    QTest::addColumn<QString>("model");
    QTest::addColumn<int>("mic");
    QTest::addColumn<int>("phoneLeft");
    QTest::addColumn<int>("phoneRight");
    QTest::addColumn<QString>("micText");
    QTest::addColumn<QString>("phoneText");
    const QString minusInf = QString::number(-qInf(), 'f', 1) + " dB";
    QTest::newRow("wren halves") << "wren" << 0x7FFFFFFF << 0x40000000 << 0x40000000 << "0.0 dB"
                                 << "-6.0 dB";
    QTest::newRow("wren cancel") << "wren" << 1 << 1000000 << -1000000 << "-186.6 dB" << minusInf;
    QTest::newRow("tern") << "tern" << 0 << 0x60000000 << 0x60000000 << minusInf << "-2.5 dB";
    QTest::newRow("kite") << "kite" << -0x7FFFFFFF << 0 << 0 << "0.0 dB"
                          << "";
}

void MixerPagesTest::meterTexts() {
    QFETCH(QString, model);
    QFETCH(int, mic);
    QFETCH(int, phoneLeft);
    QFETCH(int, phoneRight);
    QFETCH(QString, micText);
    QFETCH(QString, phoneText);
    SimulatedInterface sim(modelCode(model));
    sim->pinMeter(0, mic);
    sim->pinMeter(1, 0x40000000); // MIC2: only the Wren shows it
    sim->pinMeter(2, phoneLeft);
    sim->pinMeter(3, phoneRight);
    Page page = makePage(model);
    QCOMPARE(page.micLevel->text(), QString("-160 dB"));
    QVERIFY(processEventsUntil([&] { return page.micLevel->text() == micText; }, 3000));
    if (page.phoneLevel)
        QCOMPARE(page.phoneLevel->text(), phoneText);
    if (model == "wren") {
        auto* w = static_cast<wren*>(page.widget.get());
        QCOMPARE(w->mic2LevelLabel->text(), QString("-6.0 dB"));
        QCOMPARE(w->phoneToSpeakerLevelLabel->text(), phoneText);
    }
    // Index 1 is MIC2, which only the Wren has.
    for (QLabel* l : page.widget->findChildren<QLabel*>())
        QVERIFY(model == "wren" || l->text() != "-6.0 dB");
}

void MixerPagesTest::failedMeterReadsLeaveTheLabels_data() {
    modelColumn();
}

void MixerPagesTest::failedMeterReadsLeaveTheLabels() {
    QFETCH(QString, model);
    SimulatedInterface sim(modelCode(model));
    sim->failRequests(IOCTL_MIXER_GET_METERS, 31);
    QtLogCapture log;
    Page page = makePage(model);
    QVERIFY(processEventsUntil(
        [&] { return log.count("Failed to read meter data from driver.") >= 1; }, 3000));
    QCOMPARE(page.micLevel->text(), QString("-160 dB"));

    sim->clearFaults();
    sim->pinMeter(0, 0x20000000);
    sim->pinMeter(2, 0x20000000);
    sim->pinMeter(3, 0x20000000);
    QVERIFY(processEventsUntil([&] { return page.micLevel->text() == "-12.0 dB"; }, 3000));
    sim->failRequests(IOCTL_MIXER_GET_METERS, 31);
    sim->pinMeter(0, 0x7FFFFFFF);
    log.clear();
    QVERIFY(processEventsUntil(
        [&] { return log.count("Failed to read meter data from driver.") >= 2; }, 3000));
    QCOMPARE(page.micLevel->text(), QString("-12.0 dB"));
    if (page.phoneLevel)
        QCOMPARE(page.phoneLevel->text(), QString("-12.0 dB"));
}

// The simulator's preamp gives half a decibel per command step, so one knob step is 1 dB; the
// pad takes 20 dB off.
void MixerPagesTest::gainAndPadMoveTheReadOut() {
    SimulatedInterface sim(kModelWren);
    sim::InputSignal quiet;
    quiet.levelDbfs = -70.0;
    QVERIFY(sim->setInputSignal(0, quiet));
    auto page = std::make_unique<wren>();
    auto shows = [&](double dB) {
        return processEventsUntil(
            [&] {
                return std::fabs(page->mic1LevelLabel->text().split(' ')[0].toDouble() - dB) <= 0.5;
            },
            3000);
    };
    QVERIFY2(shows(-70.0), qPrintable(page->mic1LevelLabel->text()));
    page->mic1Knob->setValue(56);
    QVERIFY2(shows(-14.0), qPrintable(page->mic1LevelLabel->text()));
    page->mic1PadButton->setStatus(true);
    QVERIFY2(shows(-34.0), qPrintable(page->mic1LevelLabel->text()));
    QCOMPARE(sim->status().mics.at(0).gain, uint16_t(112));
}

void MixerPagesTest::unwritableStateFileIsNotReportedSaved() {
    SimulatedInterface sim(kModelWren);
    QVERIFY(QDir().mkpath(stateFile("wren"))); // a folder where the file should be
    QtLogCapture log;
    auto page = std::make_unique<wren>();
    QVERIFY(log.startingWith("Failed to write the control states:").size() >= 16);
    QCOMPARE(log.count("控件状态已保存到配置文件"), 0);

    // Once the file can be written again, saves say so again.
    QVERIFY(QDir().rmdir(stateFile("wren")));
    log.clear();
    page->mic2Knob->setValue(30);
    QCOMPARE(log.count("控件状态已保存到配置文件"), 1);
    QSettings file(stateFile("wren"), QSettings::IniFormat);
    QCOMPARE(file.value("Dial/Mic2Value").toInt(), 30);
    QCOMPARE(file.allKeys().size(), 16);
}

void MixerPagesTest::refusedOutputVolumeKeepsThePage_data() {
    modelColumn();
}

void MixerPagesTest::refusedOutputVolumeKeepsThePage() {
    QFETCH(QString, model);
    SimulatedInterface sim(modelCode(model));
    sim->failCommands(kOpOutVolume, 31);
    QtLogCapture log;
    Page page = makePage(model);
    QCOMPARE(log.count("Failed to set output volume."), 1);
    QVERIFY(page.mic);
    // The page goes on as usual: its stored state reaches the device.
    QVERIFY(requestWords(sim->journal()).contains("gain 1=0"));
    QVERIFY(QFile::exists(stateFile(model)));
}

void MixerPagesTest::pageWithoutDeviceIsEmpty_data() {
    modelColumn();
}

void MixerPagesTest::pageWithoutDeviceIsEmpty() {
    QFETCH(QString, model);
    halvern::test::TempRuntimeDir runtime; // no simulator serves it
    const QString dataHome = QString::fromStdString(runtime.path()) + "/data";
    qputenv("XDG_DATA_HOME", dataHome.toLocal8Bit());
    QtLogCapture log;
    halvern::test::StdoutCapture out; // the device reports its sixteen tries there
    Page page = makePage(model);
    out.finish();
    QVERIFY(!page.mic);
    QVERIFY(!page.widget->layout());
    QVERIFY(page.widget->children().isEmpty());
    QVERIFY(log.contains(QStringLiteral("Failed to create device in %1.").arg(model)));
    QVERIFY(!QFile::exists(stateFile(model)));
    qunsetenv("XDG_DATA_HOME");
}

QTEST_MAIN(MixerPagesTest)
#include "mixer_pages_test.moc"
