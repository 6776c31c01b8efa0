// What a screen reader learns from the knob and the button, and that its actions go through
// the controls' own paths.

#include "widgets/button.h"
#include "widgets/knob.h"

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QSignalSpy>
#include <QTest>

class AccessibilityTest : public QObject {
    Q_OBJECT

private slots:
    void knobNameValueAndSteps();
    void buttonNameCheckedAndToggle();
};

void AccessibilityTest::knobNameValueAndSteps() {
    Knob k;
    k.minimum = 0;
    k.maximum = 56;
    k.displayOffset = 9;
    k.value = 3;
    k.setAccessibleName("MIC1 Gain");
    QSignalSpy spy(&k, &Knob::valueChangedSig);
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(&k);
    QVERIFY(a);
    QCOMPARE(a->role(), QAccessible::Dial);
    QCOMPARE(a->text(QAccessible::Name), QString("MIC1 Gain"));
    QCOMPARE(a->text(QAccessible::Value), QString("12 dB"));
    QAccessibleValueInterface* v = a->valueInterface();
    QVERIFY(v);
    QCOMPARE(v->minimumValue().toInt(), 9);
    QCOMPARE(v->maximumValue().toInt(), 65);
    QCOMPARE(v->currentValue().toInt(), 12);

    // Setting and stepping through the interface announce like a knob gesture, clamped.
    v->setCurrentValue(100);
    QCOMPARE(k.value, 56);
    a->actionInterface()->doAction(QAccessibleActionInterface::decreaseAction());
    QCOMPARE(k.value, 55);
    QCOMPARE(spy.count(), 2);
    QTest::keyClick(&k, Qt::Key_Home);
    QCOMPARE(a->text(QAccessible::Value), QString("9 dB"));
}

void AccessibilityTest::buttonNameCheckedAndToggle() {
    Button b("48V");
    QSignalSpy spy(&b, &Button::pressed);
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(&b);
    QVERIFY(a);
    QCOMPARE(a->text(QAccessible::Name), QString("48V"));
    QVERIFY(a->state().checkable);
    QVERIFY(!a->state().checked);
    b.setStatus(true);
    QVERIFY(a->state().checked);
    // The toggle action is a mouse press: the state flips and the page hears of it.
    a->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
    QCOMPARE(b.status, false);
    QVERIFY(!a->state().checked);
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(1).at(0).toBool(), false);
}

QTEST_MAIN(AccessibilityTest)
#include "accessibility_test.moc"
