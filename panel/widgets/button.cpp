#include "widgets/button.h"

#include "widgets/accessibility.h"

#include <QAccessible>
#include <QColor>
#include <QMouseEvent>

namespace {
const QString kStyleTemplate =
    QStringLiteral("QPushButton {   color: %1;   background-color: %2;   border-radius: %3px;}"
                   "QPushButton:pressed {   background-color: %4;}");
} // namespace

Button::Button(const QString& text, QWidget* parent) : QPushButton(parent) {
    glow = new QGraphicsDropShadowEffect(this);
    setText(text);
    setCursor(Qt::PointingHandCursor);
    glow->setBlurRadius(width() * 0.01);
    glow->setXOffset(0);
    glow->setYOffset(0);
    glow->setColor(QColor::fromString(glowColor));
    setGraphicsEffect(glow);
    glow->setEnabled(false);
    halvern::widgets::installControlAccessibility();
    connect(this, &Button::pressed, this, [this] {
        QAccessible::State changed;
        changed.checked = true;
        QAccessibleStateChangeEvent event(this, changed);
        QAccessible::updateAccessibility(&event);
    });
}

QString Button::styleText() const {
    const QString& background = status ? activeBackground : inactiveBackground;
    // One pass over the template, so that a colour string can never be taken for a marker.
    return kStyleTemplate.arg(status ? activeTextColor : inactiveTextColor, background,
                              QString::number(borderRadius), background);
}

void Button::setGlowEnabled(bool on) {
    if (glow)
        glow->setEnabled(on);
}

void Button::updateStyle() {
    setStyleSheet(styleText());
    setGlowEnabled(status);
    if (glow)
        glow->setColor(QColor::fromString(glowColor));
}

void Button::setStatus(bool s) {
    status = s;
    setGlowEnabled(s);
    updateStyle();
    emit pressed(status);
}

void Button::press() {
    status = !status;
    setGlowEnabled(status);
    updateStyle();
    emit pressed(status);
}

void Button::mousePressEvent(QMouseEvent* event) {
    // Every button toggles; the base press handling is skipped on purpose, so the button is
    // never held down and emits no clicked().
    press();
    event->accept();
}
