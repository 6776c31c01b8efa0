// The level bar against a fake clock: rise, fall, peak hold and the clip mark.

#include "widgets/level_meter.h"

#include <QSignalSpy>
#include <QTest>

#include <cmath>
#include <limits>

namespace {

bool near(double a, double b) {
    return std::fabs(a - b) < 1e-6;
}

} // namespace

class LevelMeterTest : public QObject {
    Q_OBJECT

private slots:
    void ballistics_data();
    void ballistics();
    void clipStaysLitUntilClicked();
    void framesOnlyWhileFalling();
};

void LevelMeterTest::ballistics_data() {
    // Readings as (time in ms, dBFS); the state is read at `at`.
    QTest::addColumn<QList<QPointF>>("readings");
    QTest::addColumn<int>("at");
    QTest::addColumn<double>("bar");
    QTest::addColumn<double>("peak");
    QTest::addColumn<bool>("clipped");
    QTest::addColumn<bool>("moving");
    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("rises at once")
        << QList<QPointF>{{0, -40}, {100, -10}} << 100 << -10.0 << -10.0 << false << false;
    QTest::newRow("falls 20 dB a second")
        << QList<QPointF>{{0, -10}, {500, -40}} << 1000 << -20.0 << -10.0 << false << true;
    QTest::newRow("stops at the reading")
        << QList<QPointF>{{0, -10}, {500, -40}} << 2100 << -40.0 << -40.0 << false << false;
    QTest::newRow("keeps falling from where it stands")
        << QList<QPointF>{{0, -10}, {500, -40}, {1000, -30}} << 1250 << -25.0 << -10.0 << false
        << true;
    QTest::newRow("peak held 1.5 s")
        << QList<QPointF>{{0, -3}, {500, -40}} << 1499 << -22.98 << -3.0 << false << true;
    QTest::newRow("peak released to the bar")
        << QList<QPointF>{{0, -3}, {500, -40}} << 1500 << -23.0 << -23.0 << false << true;
    QTest::newRow("an equal reading holds the peak again")
        << QList<QPointF>{{0, -6}, {1000, -6}, {1200, -30}} << 2400 << -30.0 << -6.0 << false
        << false;
    QTest::newRow("clips at -0.5")
        << QList<QPointF>{{0, -0.5}} << 0 << -0.5 << -0.5 << true << false;
    QTest::newRow("not just below")
        << QList<QPointF>{{0, -0.51}} << 0 << -0.51 << -0.51 << false << false;
    QTest::newRow("clip outlasts quiet readings")
        << QList<QPointF>{{0, 0}, {500, -40}, {10000, -50}} << 10500 << -50.0 << -50.0 << true
        << false;
    QTest::newRow("silence is the floor") << QList<QPointF>{{0, -inf}} << 0 << LevelMeter::kFloorDb
                                          << LevelMeter::kFloorDb << false << false;
    QTest::newRow("below the floor") << QList<QPointF>{{0, -90}} << 0 << LevelMeter::kFloorDb
                                     << LevelMeter::kFloorDb << false << false;
}

void LevelMeterTest::ballistics() {
    QFETCH(QList<QPointF>, readings);
    QFETCH(int, at);
    QFETCH(double, bar);
    QFETCH(double, peak);
    QFETCH(bool, clipped);
    QFETCH(bool, moving);
    qint64 now = 0;
    LevelMeter meter;
    meter.setClock([&] { return now; });
    for (const QPointF& r : readings) {
        now = qint64(r.x());
        meter.setLevel(r.y());
    }
    now = at;
    QVERIFY2(near(meter.displayedDb(), bar), qPrintable(QString::number(meter.displayedDb())));
    QVERIFY2(near(meter.peakDb(), peak), qPrintable(QString::number(meter.peakDb())));
    QCOMPARE(meter.clipped(), clipped);
    QCOMPARE(meter.moving(), moving);
}

void LevelMeterTest::clipStaysLitUntilClicked() {
    qint64 now = 0;
    LevelMeter meter;
    meter.setClock([&] { return now; });
    meter.resize(80, 6);
    QSignalSpy spy(&meter, &LevelMeter::clipChanged);
    meter.setLevel(0.0);
    meter.setLevel(0.0); // already lit: no second announcement
    now = 60000;
    meter.setLevel(-50.0);
    QVERIFY(meter.clipped());
    QTest::mouseClick(&meter, Qt::LeftButton);
    QVERIFY(!meter.clipped());
    meter.setLevel(-1.0);
    QVERIFY(!meter.clipped());
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(1).at(0).toBool(), false);
}

void LevelMeterTest::framesOnlyWhileFalling() {
    qint64 now = 0;
    LevelMeter meter;
    meter.setClock([&] { return now; });
    meter.setLevel(-20.0);
    QVERIFY(!meter.animating()); // a steady or rising bar draws once
    now = 500;
    meter.setLevel(-30.0);
    QVERIFY(meter.animating());
    now = 1000; // the bar has reached the reading: the next frame stops the frames
    QTRY_VERIFY_WITH_TIMEOUT(!meter.animating(), 2000);
}

QTEST_MAIN(LevelMeterTest)
#include "level_meter_test.moc"
