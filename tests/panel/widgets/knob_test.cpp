// The rotary knob: gestures, bounds, the editor and what painting leaves behind.

#include "widgets/knob.h"

#include <QApplication>
#include <QGraphicsDropShadowEffect>
#include <QLineEdit>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTest>
#include <QWheelEvent>

#include <memory>

namespace {

void move(Knob& k, QPoint to, Qt::MouseButtons held = Qt::LeftButton) {
    QMouseEvent e(QEvent::MouseMove, QPointF(to), k.mapToGlobal(QPointF(to)), Qt::NoButton, held,
                  Qt::NoModifier);
    QApplication::sendEvent(&k, &e);
}

bool wheel(Knob& k, QPoint angleDelta) {
    QWheelEvent e(QPointF(10, 10), k.mapToGlobal(QPointF(10, 10)), QPoint(), angleDelta,
                  Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    e.setAccepted(false);
    QApplication::sendEvent(&k, &e);
    return e.isAccepted();
}

QList<int> values(const QSignalSpy& spy) {
    QList<int> out;
    for (const auto& args : spy)
        out << args.at(0).toInt();
    return out;
}

// A gain knob as the page with the display offset configures it.
std::unique_ptr<Knob> gainKnob(int value) {
    auto k = std::make_unique<Knob>();
    k->setFixedSize(120, 120);
    k->minimum = 0;
    k->maximum = 56;
    k->displayOffset = 9;
    k->value = value;
    return k;
}

} // namespace

class KnobTest : public QObject {
    Q_OBJECT

private slots:
    void dragStepsOncePerEventWhateverTheDistance();
    void dragDiagonals_data();
    void dragDiagonals();
    void dragAtBoundsStillEmits();
    void dragNeedsTheLeftButton();
    void wheelStepsAndHorizontalWheelLowers();
    void ctrlClickResetsPlainClickDoesNot();
    void doubleClickOutsideTextResets();
    void doubleClickOnTextOpensEditorWithOffset();
    void doubleClickBeforeFirstPaintResets();
    void textShowsOffsetExceptAtZero();
    void typedEntry_data();
    void typedEntry();
    void editorReturnAppliesOnce();
    void setValueClampsAndAlwaysEmits();
    void sweepFollowsTheRange();
    void paintsValueArcOverTrack();
    void degenerateRangeIsSafe();
    void glowOnlyWhenEnabled();
};

void KnobTest::dragStepsOncePerEventWhateverTheDistance() {
    Knob k;
    k.value = -40;
    QSignalSpy spy(&k, &Knob::valueChangedSig);
    k.lastPos = QPoint(60, 100);
    move(k, QPoint(60, 50)); // 50 px up
    QCOMPARE(k.value, -39);
    QCOMPARE(k.lastPos, QPoint(60, 50));
    move(k, QPoint(60, 51)); // 1 px down
    QCOMPARE(k.value, -40);
    move(k, QPoint(60, 51)); // no movement: re-announced, unchanged
    QCOMPARE(k.value, -40);
    QCOMPARE(values(spy), (QList<int>{-39, -40, -40}));
}

void KnobTest::dragDiagonals_data() {
    QTest::addColumn<QPoint>("to");
    QTest::addColumn<int>("expected");
    // from (50, 50) at value -40
    QTest::newRow("up-right") << QPoint(90, 10) << -38;
    QTest::newRow("up-left") << QPoint(10, 10) << -40;
    QTest::newRow("down-right") << QPoint(90, 90) << -40;
    QTest::newRow("down-left") << QPoint(10, 90) << -42;
    QTest::newRow("right") << QPoint(51, 50) << -39;
}

void KnobTest::dragDiagonals() {
    QFETCH(QPoint, to);
    QFETCH(int, expected);
    Knob k;
    k.value = -40;
    k.lastPos = QPoint(50, 50);
    move(k, to);
    QCOMPARE(k.value, expected);
}

void KnobTest::dragAtBoundsStillEmits() {
    Knob k;
    k.value = 6;
    QSignalSpy spy(&k, &Knob::valueChangedSig);
    k.lastPos = QPoint(50, 50);
    move(k, QPoint(60, 40)); // up-right at maximum
    QCOMPARE(k.value, 6);
    k.value = 5;
    move(k, QPoint(70, 30)); // up-right one below maximum: the second step is held off
    QCOMPARE(k.value, 6);
    k.value = -80;
    move(k, QPoint(60, 40)); // down-left at minimum
    QCOMPARE(k.value, -80);
    QCOMPARE(values(spy), (QList<int>{6, 6, -80}));
}

void KnobTest::dragNeedsTheLeftButton() {
    Knob k;
    k.value = 0;
    QSignalSpy spy(&k, &Knob::valueChangedSig);
    k.lastPos = QPoint(50, 50);
    move(k, QPoint(50, 10), Qt::RightButton);
    move(k, QPoint(50, 10), Qt::NoButton);
    QCOMPARE(k.value, 0);
    QCOMPARE(k.lastPos, QPoint(50, 50));
    QCOMPARE(spy.count(), 0);
    move(k, QPoint(50, 10), Qt::LeftButton | Qt::RightButton);
    QCOMPARE(k.value, 1);
}

void KnobTest::wheelStepsAndHorizontalWheelLowers() {
    Knob k;
    k.value = 0;
    QSignalSpy spy(&k, &Knob::valueChangedSig);
    QVERIFY(wheel(k, QPoint(0, 720))); // six notches in one event: one step
    QCOMPARE(k.value, 1);
    QVERIFY(wheel(k, QPoint(0, -1)));
    QCOMPARE(k.value, 0);
    QVERIFY(wheel(k, QPoint(120, 0))); // horizontal only
    QCOMPARE(k.value, -1);
    k.value = -80;
    QVERIFY(wheel(k, QPoint(0, -120)));
    QCOMPARE(k.value, -80);
    QCOMPARE(values(spy), (QList<int>{1, 0, -1, -80}));
}

void KnobTest::ctrlClickResetsPlainClickDoesNot() {
    Knob k;
    k.resize(120, 120);
    k.value = 3;
    QSignalSpy spy(&k, &Knob::valueChangedSig);
    QTest::mousePress(&k, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    QTest::mouseRelease(&k, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    QCOMPARE(k.value, 3);
    QCOMPARE(spy.count(), 0);
    QTest::mousePress(&k, Qt::LeftButton, Qt::ControlModifier, QPoint(10, 10));
    QCOMPARE(k.value, -80);
    QCOMPARE(values(spy), (QList<int>{-80}));
}

void KnobTest::doubleClickOutsideTextResets() {
    auto k = gainKnob(30);
    k->grab(); // paints, so the text rectangle is known
    QVERIFY(!k->textRect.isEmpty());
    QSignalSpy spy(k.get(), &Knob::valueChangedSig);
    QTest::mouseDClick(k.get(), Qt::LeftButton, Qt::NoModifier, QPoint(2, 2));
    QCOMPARE(k->value, 0);
    QVERIFY(k->editor->isHidden());
    QCOMPARE(values(spy), (QList<int>{0}));
}

void KnobTest::doubleClickOnTextOpensEditorWithOffset() {
    auto k = gainKnob(10);
    k->grab();
    QSignalSpy spy(k.get(), &Knob::valueChangedSig);
    QTest::mouseDClick(k.get(), Qt::LeftButton, Qt::NoModifier, k->textRect.center());
    QVERIFY(k->editor->isVisibleTo(k.get()));
    QCOMPARE(k->editor->text(), QStringLiteral("19"));
    QCOMPARE(k->editor->selectedText(), QStringLiteral("19"));
    QVERIFY(k->textRect.contains(k->editor->geometry()));
    QCOMPARE(k->value, 10);
    QCOMPARE(spy.count(), 0);

    // No text, no editor: the same double-click resets.
    k->editor->hide();
    k->showText = false;
    QTest::mouseDClick(k.get(), Qt::LeftButton, Qt::NoModifier, k->textRect.center());
    QVERIFY(k->editor->isHidden());
    QCOMPARE(k->value, 0);
}

void KnobTest::doubleClickBeforeFirstPaintResets() {
    auto k = gainKnob(10);
    QVERIFY(k->editor->isHidden()); // created hidden, as the knob's own child
    QCOMPARE(k->editor->parentWidget(), k.get());
    QVERIFY(k->textRect.isNull());
    QSignalSpy spy(k.get(), &Knob::valueChangedSig);
    QTest::mouseDClick(k.get(), Qt::LeftButton, Qt::NoModifier, QPoint(60, 60));
    QVERIFY(k->editor->isHidden());
    QCOMPARE(k->value, 0);
    QCOMPARE(spy.count(), 1);
}

void KnobTest::textShowsOffsetExceptAtZero() {
    auto k = gainKnob(10);
    QCOMPARE(k->valueText(), QStringLiteral("19dB"));
    k->value = 0;
    QCOMPARE(k->valueText(), QStringLiteral("0dB"));
    k->grab();
    QTest::mouseDClick(k.get(), Qt::LeftButton, Qt::NoModifier, k->textRect.center());
    QCOMPARE(k->editor->text(), QStringLiteral("9"));
    k->suffix.clear();
    k->value = -12;
    k->displayOffset = 0;
    QCOMPARE(k->valueText(), QStringLiteral("-12"));
}

void KnobTest::typedEntry_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("expected");
    // gain knob 0..56, offset 9, value 10 (shows 19)
    QTest::newRow("with suffix") << "25dB" << 16;
    QTest::newRow("bare number") << "25" << 16;
    QTest::newRow("not a number") << "abc" << 10;
    QTest::newRow("suffix in wrong case") << "25 db" << 10;
    QTest::newRow("empty") << "" << 10;
    QTest::newRow("above range") << "1000" << 56;
    QTest::newRow("below range") << "-5dB" << 0;
    QTest::newRow("beyond int") << "99999999999" << 10;
    QTest::newRow("int minimum") << "-2147483648" << 0;
}

void KnobTest::typedEntry() {
    QFETCH(QString, typed);
    QFETCH(int, expected);
    auto k = gainKnob(10);
    k->grab();
    k->openEditor();
    QSignalSpy spy(k.get(), &Knob::valueChangedSig);
    k->editor->setText(typed);
    k->finishEdit();
    QCOMPARE(k->value, expected);
    QVERIFY(k->editor->isHidden());
    QCOMPARE(values(spy), (QList<int>{expected})); // also after a failed conversion
}

void KnobTest::editorReturnAppliesOnce() {
    auto k = gainKnob(10);
    k->show();
    k->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(k.get()));
    QTRY_VERIFY(!k->textRect.isNull());
    QTest::mouseDClick(k.get(), Qt::LeftButton, Qt::NoModifier, k->textRect.center());
    QVERIFY(k->editor->hasFocus());
    QSignalSpy spy(k.get(), &Knob::valueChangedSig);
    QTest::keyClicks(k->editor, "30dB"); // replaces the selected text
    QTest::keyClick(k->editor, Qt::Key_Return);
    QCoreApplication::processEvents();
    QCOMPARE(k->value, 21);
    QVERIFY(k->editor->isHidden());
    QCOMPARE(values(spy), (QList<int>{21}));
}

void KnobTest::setValueClampsAndAlwaysEmits() {
    Knob k;
    QSignalSpy spy(&k, &Knob::valueChangedSig);
    k.setValue(100);
    QCOMPARE(k.value, 6);
    k.setValue(6);
    k.setValue(-1000);
    QCOMPARE(k.value, -80);
    k.setValue(-12);
    QCOMPARE(values(spy), (QList<int>{6, 6, -80, -12}));
}

void KnobTest::sweepFollowsTheRange() {
    Knob k;
    k.value = -80;
    QCOMPARE(k.valueSweep(), 0);
    k.value = 6;
    QCOMPARE(k.valueSweep(), -4320);
    k.value = -37; // half way: 135 degrees
    QCOMPARE(k.valueSweep(), -2160);
    k.value = 500; // assigned out of range: never more than the track
    QCOMPARE(k.valueSweep(), -4320);
}

void KnobTest::paintsValueArcOverTrack() {
    // The top of the track (12 o'clock) is half way along the 270-degree arc.
    Knob k;
    k.setFixedSize(120, 120);
    const QPoint top(60, k.arcWidth);
    k.value = -80;
    QCOMPARE(k.grab().toImage().pixelColor(top), k.trackColor);
    k.value = 6;
    QCOMPARE(k.grab().toImage().pixelColor(top), k.arcColor);
    k.showTrack = false;
    k.value = -80;
    QVERIFY(k.grab().toImage().pixelColor(top) != k.trackColor);
}

void KnobTest::degenerateRangeIsSafe() {
    Knob k;
    k.setFixedSize(70, 70);
    k.minimum = 5;
    k.maximum = 5;
    k.value = 5;
    QCOMPARE(k.valueSweep(), 0);
    QVERIFY(!k.grab().isNull());
    k.setValue(9);
    QCOMPARE(k.value, 5);
    k.knobRatio = 1e300; // nonsense ratio: painting must still be defined
    QVERIFY(!k.grab().isNull());
}

void KnobTest::glowOnlyWhenEnabled() {
    Knob k;
    k.setFixedSize(120, 120);
    k.glowColor = QColor("#00ff7f");
    k.setGlow(false, 0.5);
    QVERIFY(k.graphicsEffect() == nullptr);
    k.setGlow(true, 0.25);
    auto* glow = qobject_cast<QGraphicsDropShadowEffect*>(k.graphicsEffect());
    QVERIFY(glow != nullptr);
    QCOMPARE(glow->blurRadius(), 30.0);
    QCOMPARE(glow->offset(), QPointF(0, 0));
    QCOMPARE(glow->color(), QColor("#00ff7f"));
    k.setGlow(false, 1.0); // an existing glow stays
    QCOMPARE(k.graphicsEffect(), glow);
}

QTEST_MAIN(KnobTest)
#include "knob_test.moc"
