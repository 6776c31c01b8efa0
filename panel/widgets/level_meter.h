// A level bar beside a page's read-out text: fed with the page's polled readings, it rises at
// once, falls at a steady rate between readings, holds the highest recent reading as a peak mark
// and lights a clip mark that stays on until the user clicks the meter.
#pragma once

#include <QTimer>
#include <QWidget>

#include <functional>

class LevelMeter : public QWidget {
    Q_OBJECT

public:
    // Milliseconds on a monotonic clock; tests hand in a fake one.
    using Clock = std::function<qint64()>;

    static constexpr double kFloorDb = -60.0; // the empty bar
    static constexpr double kFallDbPerSecond = 20.0;
    static constexpr qint64 kPeakHoldMs = 1500;
    static constexpr double kClipDb = -0.5; // a reading at or above lights the clip mark

    explicit LevelMeter(QWidget* parent = nullptr);

    void setClock(Clock clock);
    // A new reading in dBFS (minus infinity and NaN read as silence).
    void setLevel(double dbfs);
    void resetClip();

    // The state at the clock's present time.
    double displayedDb() const;
    double peakDb() const;
    bool clipped() const { return clipped_; }
    // Whether the bar is still falling, so that frames are being drawn.
    bool moving() const;
    bool animating() const { return frames_.isActive(); }

    QSize sizeHint() const override { return {80, 6}; }
    QSize minimumSizeHint() const override { return {24, 4}; }

signals:
    void clipChanged(bool clipped);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    double displayedAt(qint64 now) const;
    double peakAt(qint64 now) const;
    void frame();

    Clock clock_;
    double target_ = kFloorDb;   // the last reading, within the bar's range
    double fallFrom_ = kFloorDb; // where the bar stood when it started falling
    qint64 fallStart_ = 0;
    double peak_ = kFloorDb;
    qint64 peakSince_ = 0;
    bool clipped_ = false;
    QTimer frames_;   // runs only while the bar falls
    QTimer peakHold_; // one repaint when the held peak is released
};
