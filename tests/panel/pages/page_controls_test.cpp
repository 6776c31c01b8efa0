// The pages' knobs under the keyboard and the double-click, and their level bars, against the
// simulated interface: a key sends what a drag step sends and stores the same key.
#include "panel_support.h"

#include "pages/kite.h"
#include "pages/tern.h"
#include "pages/wren.h"
#include "widgets/knob.h"
#include "widgets/level_meter.h"

#include <QAccessible>
#include <QLabel>
#include <QSettings>
#include <QStandardPaths>
#include <QToolTip>
#include <QtTest>

#include <cmath>
#include <cstring>
#include <memory>

using namespace halvern;
using namespace halvern::protocol;
using halvern::test::processEventsUntil;
using halvern::test::SimulatedInterface;

namespace {

// What the page sent for its controls: device commands and matrix writes, without the polls.
std::vector<std::vector<uint8_t>> controlRequests(const std::vector<sim::JournalEntry>& journal) {
    std::vector<std::vector<uint8_t>> out;
    for (const auto& e : journal)
        if (e.code == IOCTL_DEVICE_SEND_COMMAND || e.code == IOCTL_MIXER_SET_MATRIX)
            out.push_back(e.input);
    return out;
}

// The gain commands among them, as "gain <channel>=<value>".
QStringList gainWords(const std::vector<std::vector<uint8_t>>& requests) {
    QStringList out;
    for (const auto& r : requests) {
        if (r.size() != CommandPacket::kSize)
            continue;
        CommandPacket p;
        std::memcpy(p.bytes, r.data(), CommandPacket::kSize);
        if (p.opcode() == kOpMicVolume)
            out << QStringLiteral("gain %1=%2").arg(p.param2()).arg(p.value());
    }
    return out;
}

Knob* knobNamed(wren& page, const QString& name) {
    return name == "mic1"      ? page.mic1Knob
           : name == "speaker" ? page.speakerKnob
                               : page.phoneToSpeakerKnob;
}

// Straight up (moves > 0) or down, one step per move.
void drag(Knob* knob, int moves) {
    QPoint at(60, 60);
    knob->lastPos = at;
    for (int i = 0; i < std::abs(moves); ++i) {
        at.ry() += moves > 0 ? -5 : 5;
        QMouseEvent e(QEvent::MouseMove, QPointF(at), knob->mapToGlobal(QPointF(at)), Qt::NoButton,
                      Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(knob, &e);
    }
}

int storedValue(const char* key) {
    QSettings file(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + "/wren.ini",
                   QSettings::IniFormat);
    return file.value(key, 999).toInt();
}

} // namespace

class PageControlsTest : public QObject {
    Q_OBJECT

private slots:
    void knobGestures_data();
    void knobGestures();
    void toneIntoClipStaysLitUntilClicked_data();
    void toneIntoClipStaysLitUntilClicked();
};

void PageControlsTest::knobGestures_data() {
    QTest::addColumn<QString>("knob");
    QTest::addColumn<int>("start");
    QTest::addColumn<QList<int>>("keys"); // none: a double-click away from the text
    QTest::addColumn<int>("expected");
    QTest::addColumn<int>("dragMoves"); // the drag that sends the same; 0: no such drag
    QTest::addColumn<QStringList>("gains");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("spoken");
    const QList<int> up4 = {Qt::Key_Up, Qt::Key_Up, Qt::Key_Up, Qt::Key_Up};
    QTest::newRow("mic up four steps")
        << "mic1" << 0 << up4 << 4 << 4
        << QStringList{"gain 1=2", "gain 1=4", "gain 1=6", "gain 1=8"} << "Dial/Mic1Value"
        << "MIC1 Gain"
        << "13 dB";
    QTest::newRow("mic down at the floor") << "mic1" << 0 << QList<int>{Qt::Key_Down} << 0 << -1
                                           << QStringList{"gain 1=0"} << "Dial/Mic1Value"
                                           << "MIC1 Gain"
                                           << "9 dB";
    QTest::newRow("mic page up") << "mic1" << 10 << QList<int>{Qt::Key_PageUp} << 16 << 0
                                 << QStringList{"gain 1=32"} << "Dial/Mic1Value"
                                 << "MIC1 Gain"
                                 << "25 dB";
    QTest::newRow("mic end") << "mic1" << 10 << QList<int>{Qt::Key_End} << 56 << 0
                             << QStringList{"gain 1=112"} << "Dial/Mic1Value"
                             << "MIC1 Gain"
                             << "65 dB";
    QTest::newRow("speaker page down twice")
        << "speaker" << -20 << QList<int>{Qt::Key_PageDown, Qt::Key_PageDown} << -32 << 0
        << QStringList{} << "Dial/SpeakerValue"
        << "SPEAKER Volume"
        << "-32 dB";
    QTest::newRow("speaker home") << "speaker" << -20 << QList<int>{Qt::Key_Home} << -80 << 0
                                  << QStringList{} << "Dial/SpeakerValue"
                                  << "SPEAKER Volume"
                                  << "-80 dB";
    QTest::newRow("speaker down") << "speaker" << -20 << QList<int>{Qt::Key_Down} << -21 << -1
                                  << QStringList{} << "Dial/SpeakerValue"
                                  << "SPEAKER Volume"
                                  << "-21 dB";
    // A double-click returns each knob to its key's default: the phone mix to 0 dB, not to the
    // bottom of its range.
    QTest::newRow("phone double-click")
        << "phone" << -20 << QList<int>{} << 0 << 0 << QStringList{} << "Dial/OtgToSPValue"
        << "Phone To SP Volume"
        << "0 dB";
    QTest::newRow("mic double-click")
        << "mic1" << 30 << QList<int>{} << 0 << 0 << QStringList{"gain 1=0"} << "Dial/Mic1Value"
        << "MIC1 Gain"
        << "9 dB";
}

void PageControlsTest::knobGestures() {
    QFETCH(QString, knob);
    QFETCH(int, start);
    QFETCH(QList<int>, keys);
    QFETCH(int, expected);
    QFETCH(int, dragMoves);
    QFETCH(QStringList, gains);
    QFETCH(QString, key);
    QFETCH(QString, name);
    QFETCH(QString, spoken);
    SimulatedInterface sim(kModelWren);
    auto page = std::make_unique<wren>();
    page->show();
    page->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(page.get()));
    Knob* k = knobNamed(*page, knob);
    k->setValue(start);
    sim->clearJournal();

    if (keys.isEmpty()) {
        QTest::mouseDClick(k, Qt::LeftButton, Qt::NoModifier, QPoint(4, 4));
    } else {
        QTest::mouseClick(k, Qt::LeftButton);
        QVERIFY(k->hasFocus());
        for (int key : keys) // to whichever widget has the focus
            QTest::keyClick(static_cast<QWidget*>(nullptr), Qt::Key(key));
    }
    const auto sent = controlRequests(sim->journal());
    QCOMPARE(k->value, expected);
    QCOMPARE(storedValue(qPrintable(key)), expected);
    QCOMPARE(gainWords(sent), gains);
    QCOMPARE(int(sent.size()), std::max<int>(1, int(keys.size())));
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(k);
    QCOMPARE(a->text(QAccessible::Name), name);
    QCOMPARE(a->text(QAccessible::Value), spoken);

    if (dragMoves != 0) {
        k->setValue(start);
        sim->clearJournal();
        drag(k, dragMoves);
        QVERIFY(controlRequests(sim->journal()) == sent);
        QCOMPARE(QToolTip::text(), spoken); // the exact value while dragging
    }
}

void PageControlsTest::toneIntoClipStaysLitUntilClicked_data() {
    QTest::addColumn<QString>("model");
    QTest::addColumn<int>("meters"); // one beside each level text
    QTest::newRow("wren") << "wren" << 4;
    QTest::newRow("tern") << "tern" << 2;
    QTest::newRow("kite") << "kite" << 1;
}

// The simulator's tone is -12 dBFS and one knob step is 1 dB: 12 steps reach full scale.
void PageControlsTest::toneIntoClipStaysLitUntilClicked() {
    QFETCH(QString, model);
    QFETCH(int, meters);
    SimulatedInterface sim(model == "wren"   ? kModelWren
                           : model == "tern" ? kModelTern
                                             : kModelKite);
    sim::InputSignal tone;
    tone.levelDbfs = -12.0;
    QVERIFY(sim->setInputSignal(0, tone));
    std::unique_ptr<QWidget> page;
    Knob* knob = nullptr;
    LevelMeter* meter = nullptr;
    QLabel* text = nullptr;
    if (model == "wren") {
        auto* w = new wren;
        page.reset(w), knob = w->mic1Knob, meter = w->mic1Meter, text = w->mic1LevelLabel;
    } else if (model == "tern") {
        auto* t = new tern;
        page.reset(t), knob = t->micKnob, meter = t->micMeter, text = t->micLevelLabel;
    } else {
        auto* k = new kite;
        page.reset(k), knob = k->micKnob, meter = k->micMeter, text = k->micLevelLabel;
    }
    QCOMPARE(page->findChildren<LevelMeter*>().size(), meters);
    auto reads = [&](const QString& t) {
        return processEventsUntil([&] { return text->text() == t; }, 3000);
    };
    QVERIFY2(reads("-12.0 dB"), qPrintable(text->text()));
    QVERIFY(!meter->clipped());
    QVERIFY(std::fabs(meter->displayedDb() + 12.0) < 0.5);

    knob->setValue(12);
    QVERIFY2(reads("0.0 dB"), qPrintable(text->text()));
    QVERIFY(meter->clipped());
    knob->setValue(0);
    QVERIFY2(reads("-12.0 dB"), qPrintable(text->text()));
    QVERIFY(processEventsUntil([&] { return !meter->moving(); }, 3000));
    QVERIFY(meter->clipped()); // still lit, long after the loud readings

    QTest::mouseClick(meter, Qt::LeftButton);
    QVERIFY(!meter->clipped());
    processEventsUntil([] { return false; }, 600); // another poll, still quiet
    QVERIFY(!meter->clipped());
}

QTEST_MAIN(PageControlsTest)
#include "page_controls_test.moc"
