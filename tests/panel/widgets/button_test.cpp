// The toggle button: presses, setStatus, the style sheet and the glow.

#include "widgets/button.h"

#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {

QList<bool> states(const QSignalSpy& spy) {
    QList<bool> out;
    for (const auto& args : spy)
        out << args.at(0).toBool();
    return out;
}

// A "48V" button as the pages configure it.
std::unique_ptr<Button> phantomButton() {
    auto b = std::make_unique<Button>(QStringLiteral("48V"));
    b->activeTextColor = "#ff1111";
    b->glowColor = "#ff1111";
    b->inactiveTextColor = "#8a95aa";
    b->activeBackground = "#1b1e23";
    b->inactiveBackground = "#1b1e23";
    b->borderRadius = 3;
    b->setMinimumWidth(80);
    b->setMaximumWidth(80);
    b->updateStyle();
    return b;
}

} // namespace

class ButtonTest : public QObject {
    Q_OBJECT

private slots:
    void constructedOffWithDisabledGlow();
    void anyMouseButtonToggles_data();
    void anyMouseButtonToggles();
    void twoPressesEmitTrueThenFalse();
    void pressIsNeverAClick();
    void setStatusReEmits();
    void styleSheetFollowsState();
    void defaultColoursInTheTemplate();
    void glowColourFollowsUpdateStyle();
};

void ButtonTest::constructedOffWithDisabledGlow() {
    Button b(QStringLiteral("MIC"));
    QCOMPARE(b.text(), QStringLiteral("MIC"));
    QVERIFY(!b.status);
    QCOMPARE(b.cursor().shape(), Qt::PointingHandCursor);
    QVERIFY(b.glow);
    QCOMPARE(b.graphicsEffect(), b.glow.data());
    QVERIFY(!b.glow->isEnabled());
    QVERIFY(b.styleSheet().isEmpty()); // the creator styles it after setting the colours
}

void ButtonTest::anyMouseButtonToggles_data() {
    QTest::addColumn<Qt::MouseButton>("button");
    QTest::newRow("left") << Qt::LeftButton;
    QTest::newRow("right") << Qt::RightButton;
    QTest::newRow("middle") << Qt::MiddleButton;
}

void ButtonTest::anyMouseButtonToggles() {
    QFETCH(Qt::MouseButton, button);
    auto b = phantomButton();
    QSignalSpy spy(b.get(), &Button::pressed);
    QTest::mousePress(b.get(), button);
    QVERIFY(b->status);
    QVERIFY(b->glow->isEnabled());
    QTest::mouseRelease(b.get(), button);
    QVERIFY(b->status); // the release does nothing
    QCOMPARE(states(spy), (QList<bool>{true}));
}

void ButtonTest::twoPressesEmitTrueThenFalse() {
    auto b = phantomButton();
    QSignalSpy spy(b.get(), &Button::pressed);
    QTest::mouseClick(b.get(), Qt::LeftButton);
    QTest::mouseClick(b.get(), Qt::LeftButton);
    QVERIFY(!b->status);
    QVERIFY(!b->glow->isEnabled());
    QCOMPARE(states(spy), (QList<bool>{true, false}));
}

void ButtonTest::pressIsNeverAClick() {
    auto b = phantomButton();
    QAbstractButton* base = b.get();
    QSignalSpy clicked(base, &QAbstractButton::clicked);
    QSignalSpy basePressed(base, &QAbstractButton::pressed);
    QTest::mousePress(b.get(), Qt::LeftButton);
    QVERIFY(!b->isDown());
    QTest::mouseRelease(b.get(), Qt::LeftButton);
    QCOMPARE(clicked.count(), 0);
    QCOMPARE(basePressed.count(), 0);
}

void ButtonTest::setStatusReEmits() {
    auto b = phantomButton();
    QSignalSpy spy(b.get(), &Button::pressed);
    b->setStatus(true);
    b->setStatus(true);
    QVERIFY(b->status);
    QVERIFY(b->glow->isEnabled());
    b->setStatus(false);
    b->setStatus(false);
    QVERIFY(!b->glow->isEnabled());
    QCOMPARE(states(spy), (QList<bool>{true, true, false, false}));
}

void ButtonTest::styleSheetFollowsState() {
    auto b = phantomButton();
    const QString off = QStringLiteral(
        "QPushButton {   color: #8a95aa;   background-color: #1b1e23;   border-radius: 3px;}"
        "QPushButton:pressed {   background-color: #1b1e23;}");
    const QString on = QStringLiteral(
        "QPushButton {   color: #ff1111;   background-color: #1b1e23;   border-radius: 3px;}"
        "QPushButton:pressed {   background-color: #1b1e23;}");
    QCOMPARE(b->styleSheet(), off);
    b->setStatus(true);
    QCOMPARE(b->styleSheet(), on);
    QTest::mousePress(b.get(), Qt::LeftButton);
    QCOMPARE(b->styleSheet(), off);
}

void ButtonTest::defaultColoursInTheTemplate() {
    // The defaults differ in background, so the pressed rule shows it follows %2.
    Button b(QStringLiteral("X"));
    b.borderRadius = 12;
    b.updateStyle();
    QCOMPARE(b.styleSheet(),
             QStringLiteral(
                 "QPushButton {   color: #00ff7f;   background-color: #1b1e23;   border-radius: "
                 "12px;}QPushButton:pressed {   background-color: #1b1e23;}"));
    b.setStatus(true);
    QCOMPARE(b.styleSheet(),
             QStringLiteral(
                 "QPushButton {   color: #000000;   background-color: #00ff7f;   border-radius: "
                 "12px;}QPushButton:pressed {   background-color: #00ff7f;}"));
    // A colour text that looks like a marker is put in as it is.
    b.activeTextColor = "%4";
    b.updateStyle();
    QVERIFY(b.styleSheet().startsWith(QStringLiteral("QPushButton {   color: %4;")));
}

void ButtonTest::glowColourFollowsUpdateStyle() {
    auto b = phantomButton();
    QCOMPARE(b->glow->color(), QColor("#ff1111"));
    b->glowColor = "#00FFFF";
    QCOMPARE(b->glow->color(), QColor("#ff1111")); // only parsed when restyled
    b->updateStyle();
    QCOMPARE(b->glow->color(), QColor("#00ffff"));
    QVERIFY(!b->glow->isEnabled());
}

QTEST_MAIN(ButtonTest)
#include "button_test.moc"
