// The on/off switch of the mixer pages: a push button styled from a fixed style-sheet template
// that toggles on every mouse press and glows while on.
#pragma once

#include <QGraphicsDropShadowEffect>
#include <QPointer>
#include <QPushButton>
#include <QString>

class Button : public QPushButton {
    Q_OBJECT

public:
    explicit Button(const QString& text, QWidget* parent = nullptr);

    // Configuration, assigned directly by the pages before updateStyle().
    int borderRadius = 3;
    QString activeTextColor = QStringLiteral("#000000");
    QString inactiveTextColor = QStringLiteral("#00ff7f");
    QString glowColor = QStringLiteral("#00ff7f");
    QString activeBackground = QStringLiteral("#00ff7f");
    QString inactiveBackground = QStringLiteral("#1b1e23");
    bool status = false;
    // Installed as the graphics effect, so the button owns it; guarded because replacing the
    // effect from outside would delete it.
    QPointer<QGraphicsDropShadowEffect> glow;

    // The style sheet for the current state.
    QString styleText() const;
    void updateStyle();
    void setStatus(bool s);
    // What a mouse press does: flips the state and announces it.
    void press();

signals:
    // Shadows QAbstractButton::pressed(); carries the new state.
    void pressed(bool status);

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    void setGlowEnabled(bool on);
};
