#include "widgets/knob.h"

#include "widgets/accessibility.h"

#include <QAccessible>
#include <QConicalGradient>
#include <QFontMetrics>
#include <QGraphicsDropShadowEffect>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPen>
#include <QRadialGradient>
#include <QToolTip>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Truncation toward zero that stays defined for NaN and out-of-range doubles, which odd
// member values (a zero range, a huge knobRatio) can produce.
int truncToInt(double d) {
    if (!(d == d))
        return 0;
    d = std::clamp(d, double(std::numeric_limits<int>::min()),
                   double(std::numeric_limits<int>::max()));
    return int(std::trunc(d));
}

} // namespace

Knob::Knob(QWidget* parent) : QWidget(parent) {
    editor = new QLineEdit(this);
    editor->hide();
    connect(editor, &QLineEdit::editingFinished, this, &Knob::finishEdit);
    // Reached by a click or Tab, so that the keys can turn it.
    setFocusPolicy(Qt::StrongFocus);
    halvern::widgets::installControlAccessibility();
    connect(this, &Knob::valueChangedSig, this, [this] {
        QAccessibleValueChangeEvent event(this, qlonglong(value) + displayOffset);
        QAccessible::updateAccessibility(&event);
    });
}

int Knob::clamped(long long v) const {
    v = std::min<long long>(v, maximum);
    v = std::max<long long>(v, minimum);
    return int(v);
}

void Knob::changed() {
    value = clamped(value);
    emit valueChangedSig(value);
    update();
}

void Knob::setValue(int v) {
    value = clamped(v);
    emit valueChangedSig(value);
    update();
}

void Knob::setGlow(bool enabled, double blurFactor) {
    if (!enabled)
        return;
    auto* effect = new QGraphicsDropShadowEffect(this);
    effect->setBlurRadius(width() * blurFactor);
    effect->setXOffset(0);
    effect->setYOffset(0);
    effect->setColor(glowColor);
    setGraphicsEffect(effect);
}

int Knob::valueSweep() const {
    const double range = double(maximum) - double(minimum);
    if (range <= 0)
        return 0; // a degenerate range has no angle to map to
    double span = (double(value) - double(minimum)) * 270.0 / range;
    span = std::clamp(span, 0.0, 270.0); // value may have been assigned out of range
    return -truncToInt(span * 16);
}

QString Knob::valueText() const {
    // The stored value 0 reads "0" whatever the offset.
    const QString number =
        value == 0 ? QStringLiteral("0") : QString::number(qlonglong(value) + displayOffset);
    return number + suffix;
}

QString Knob::spokenText() const {
    return QString::number(qlonglong(value) + displayOffset) + QLatin1Char(' ') + suffix;
}

void Knob::stepBy(int steps) {
    value = clamped(static_cast<long long>(value) + steps);
    changed();
}

void Knob::openEditor() {
    editor->setText(QString::number(qlonglong(value) + displayOffset));
    const int dx = truncToInt(textRect.width() * 0.025);
    const int dy = truncToInt(textRect.height() * 0.025);
    editor->setGeometry(textRect.adjusted(dx, dy, -dx, -dy));
    editor->show();
    editor->setFocus(Qt::OtherFocusReason);
    editor->selectAll();
}

void Knob::finishEdit() {
    QString text = editor->text();
    if (text.endsWith(suffix))
        text.chop(suffix.size());
    bool ok = false;
    const int number = text.toInt(&ok, 10);
    if (ok)
        value = clamped(static_cast<long long>(number) - displayOffset);

    editor->hide();
    emit valueChangedSig(value);
    update();
}

void Knob::mousePressEvent(QMouseEvent* event) {
    // Accepted even without Control, so that the drag that follows reaches this knob.
    if (event->modifiers() & Qt::ControlModifier) {
        value = minimum;
        changed();
    }
}

void Knob::mouseDoubleClickEvent(QMouseEvent* event) {
    if (showText && textRect.contains(event->position().toPoint())) {
        openEditor();
        return;
    }
    value = defaultValue.value_or(minimum);
    changed();
}

void Knob::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton))
        return;
    // One step per axis and event, however far the pointer went.
    const QPoint pos = event->position().toPoint();
    const int y = pos.y();
    if (lastPos.y() > y && value < maximum)
        value += 1;
    else if (lastPos.y() < y && value > minimum)
        value -= 1;

    const int x = pos.x();
    if (lastPos.x() < x && value < maximum)
        value = std::min(value + 1, maximum);
    else if (lastPos.x() > x && value > minimum)
        value = std::max(value - 1, minimum);

    lastPos = QPoint(x, y);
    changed();
    QToolTip::showText(event->globalPosition().toPoint(), spokenText(), this);
}

void Knob::mouseReleaseEvent(QMouseEvent* event) {
    QToolTip::hideText();
    event->accept();
}

void Knob::wheelEvent(QWheelEvent* event) {
    if (event->angleDelta().y() > 0) {
        if (value < maximum)
            value += 1;
    } else if (value > minimum) {
        value -= 1;
    }
    changed();
    event->accept();
}

void Knob::keyPressEvent(QKeyEvent* event) {
    constexpr int kPage = 6;
    switch (event->key()) {
    case Qt::Key_Up:
        return stepBy(1);
    case Qt::Key_Down:
        return stepBy(-1);
    case Qt::Key_PageUp:
        return stepBy(kPage);
    case Qt::Key_PageDown:
        return stepBy(-kPage);
    case Qt::Key_Home:
        value = minimum;
        return changed();
    case Qt::Key_End:
        value = maximum;
        return changed();
    default:
        QWidget::keyPressEvent(event); // Tab and the rest go on to the page
    }
}

// A ring in the gap between the track and the disc, clear of both.
void Knob::paintFocusRing(QPainter& painter, double inner) {
    const double p = arcWidth;
    const double arcInside = 1.5 * p;
    const double discEdge = p + (1 - knobRatio) * inner * 0.5;
    const double inset = (arcInside + discEdge) / 2;
    const double width = std::clamp((discEdge - arcInside) / 3, 1.0, 2.5);
    QPen ring(focusColor, width, Qt::DotLine);
    painter.setPen(ring);
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(QRectF(inset, inset, this->width() - 2 * inset, height() - 2 * inset));
}

void Knob::paintEvent(QPaintEvent*) {
    const int w = width();
    const int h = height();
    const int p = arcWidth;
    const double inner = double(w) - 2.0 * p;
    const QRectF arcRect(p, p, double(w) - 2.0 * p, double(h) - 2.0 * p);

    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setFont(QFont(fontFamily, fontSize));

    QPen pen;
    pen.setWidth(p);
    if (roundCap)
        pen.setCapStyle(Qt::RoundCap);

    if (showTrack) {
        pen.setColor(trackColor);
        painter.setPen(pen);
        painter.drawArc(arcRect, 225 * 16, -270 * 16);
    }

    QConicalGradient arcGradient(w / 2, h / 2, 270);
    arcGradient.setColorAt(0.0, arcColor);
    arcGradient.setColorAt(1.0, arcColor);
    pen.setBrush(arcGradient);
    painter.setPen(pen);
    painter.drawArc(arcRect, 225 * 16, valueSweep());
    if (hasFocus())
        paintFocusRing(painter, inner);

    const int d = truncToInt(knobRatio * inner);

    // Both discs are lit from the widget's top-left corner.
    QRadialGradient shadow(0, 0, 0.6 * inner);
    shadow.setColorAt(0.0, Qt::white);
    shadow.setColorAt(1.0, QColor(20, 20, 20));
    pen.setBrush(shadow);
    pen.setWidth(0);
    painter.setPen(pen);
    painter.setBrush(shadow);
    int o = truncToInt((1 - knobRatio) * inner * 0.5 + 0.02 * knobRatio * inner) + p;
    painter.drawEllipse(o, o, d, d);

    QRadialGradient body(0, 0, 0.5 * inner);
    body.setColorAt(0.0, Qt::white);
    body.setColorAt(1.0, QColor(30, 30, 30));
    pen.setBrush(body);
    pen.setWidth(0);
    painter.setPen(pen);
    painter.setBrush(body);
    o = truncToInt((1 - knobRatio) * inner * 0.5) + p;
    painter.drawEllipse(o, o, d, d);

    if (showText) {
        pen.setColor(textColor);
        painter.setPen(pen);
        const QString text = valueText();
        textRect = painter.fontMetrics().boundingRect(QRect(0, 0, w, h), Qt::AlignCenter, text);
        painter.drawText(textRect, Qt::AlignCenter, text);
    }
}
