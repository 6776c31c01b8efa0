#include "widgets/level_meter.h"

#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace {

// Colours of the page's visual style: the bar green, then yellow and orange near full scale;
// the peak mark cyan; the clip mark red; the empty parts the button face with a grey edge.
const QColor kSafe{QStringLiteral("#00ff7f")};
const QColor kHot{QStringLiteral("#f1fa8c")};
const QColor kNearFull{QStringLiteral("#ff7f00")};
const QColor kPeak{QStringLiteral("#00ffff")};
const QColor kClip{QStringLiteral("#ff1111")};
const QColor kFace{QStringLiteral("#1b1e23")};
const QColor kEdge{QStringLiteral("#888888")};
constexpr double kHotDb = -18.0;
constexpr double kNearFullDb = -6.0;

qint64 steadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

double withinRange(double dbfs) {
    if (!(dbfs > LevelMeter::kFloorDb))
        return LevelMeter::kFloorDb; // also minus infinity and NaN
    return std::min(dbfs, 0.0);
}

} // namespace

LevelMeter::LevelMeter(QWidget* parent) : QWidget(parent), clock_(steadyMs) {
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    setCursor(Qt::PointingHandCursor);
    connect(&frames_, &QTimer::timeout, this, &LevelMeter::frame);
    peakHold_.setSingleShot(true);
    connect(&peakHold_, &QTimer::timeout, this, qOverload<>(&QWidget::update));
}

void LevelMeter::setClock(Clock clock) {
    clock_ = clock ? std::move(clock) : Clock(steadyMs);
    fallStart_ = peakSince_ = clock_();
}

double LevelMeter::displayedAt(qint64 now) const {
    const double fallen = fallFrom_ - kFallDbPerSecond * double(now - fallStart_) / 1000.0;
    return std::max(target_, fallen);
}

double LevelMeter::peakAt(qint64 now) const {
    const double bar = displayedAt(now);
    return now - peakSince_ < kPeakHoldMs ? std::max(peak_, bar) : bar;
}

double LevelMeter::displayedDb() const {
    return displayedAt(clock_());
}

double LevelMeter::peakDb() const {
    return peakAt(clock_());
}

bool LevelMeter::moving() const {
    return displayedDb() > target_;
}

void LevelMeter::setLevel(double dbfs) {
    const qint64 now = clock_();
    // The peak before this reading, so that one equal to it holds the mark again.
    const double peak = peakAt(now);
    const double level = withinRange(dbfs);
    // Rises at once; falls from wherever the bar stands now.
    fallFrom_ = std::max(level, displayedAt(now));
    fallStart_ = now;
    target_ = level;
    if (level >= peak) {
        peak_ = level;
        peakSince_ = now;
        peakHold_.start(int(kPeakHoldMs));
    }
    if (dbfs >= kClipDb && !clipped_) {
        clipped_ = true;
        emit clipChanged(true);
    }
    if (moving()) {
        const QScreen* s = screen();
        const double hz = s && s->refreshRate() > 1 ? s->refreshRate() : 60.0;
        frames_.start(std::max(1, int(1000.0 / hz)));
    } else {
        frames_.stop();
    }
    update();
}

void LevelMeter::frame() {
    if (!moving())
        frames_.stop();
    update();
}

void LevelMeter::resetClip() {
    if (!clipped_)
        return;
    clipped_ = false;
    emit clipChanged(false);
    update();
}

void LevelMeter::mousePressEvent(QMouseEvent* event) {
    resetClip();
    event->accept();
}

void LevelMeter::paintEvent(QPaintEvent*) {
    const qint64 now = clock_();
    QPainter painter(this);
    const int h = height();
    const int led = h; // a square clip mark at the right end
    const int gap = std::max(2, h / 2);
    const QRectF bar(0.5, 0.5, std::max(1, width() - led - gap) - 1.0, h - 1.0);
    auto xOf = [&](double db) { return bar.left() + bar.width() * (db - kFloorDb) / -kFloorDb; };

    painter.setPen(kEdge);
    painter.setBrush(kFace);
    painter.drawRect(bar);

    // Each zone of the lit part in its own colour.
    const double level = displayedAt(now);
    const double lit = xOf(level);
    const struct {
        double from, to;
        const QColor& color;
    } zones[] = {
        {kFloorDb, kHotDb, kSafe}, {kHotDb, kNearFullDb, kHot}, {kNearFullDb, 0.0, kNearFull}};
    for (const auto& z : zones) {
        const double left = xOf(z.from);
        const double right = std::min(lit, xOf(z.to));
        if (right > left)
            painter.fillRect(QRectF(left, bar.top(), right - left, bar.height()), z.color);
    }

    const double peak = peakAt(now);
    if (peak > level && peak > kFloorDb) {
        const double x = std::min(xOf(peak), bar.right() - 2.0);
        painter.fillRect(QRectF(x, bar.top(), 2.0, bar.height()), kPeak);
    }

    const QRectF mark(width() - led + 0.5, 0.5, led - 1.0, h - 1.0);
    painter.setPen(clipped_ ? kClip : kEdge);
    painter.setBrush(clipped_ ? kClip : kFace);
    painter.drawRect(mark);
}
