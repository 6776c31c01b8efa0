// The rotary control of the mixer pages: a self-painted arc knob holding an integer in a
// closed range, changed by drag, wheel, reset gestures and an in-place editor.
#pragma once

#include <QColor>
#include <QPoint>
#include <QRect>
#include <QString>
#include <QWidget>

#include <optional>

class QLineEdit;
class QPainter;

class Knob : public QWidget {
    Q_OBJECT

public:
    explicit Knob(QWidget* parent = nullptr);

    // Configuration, assigned directly by the pages after construction (no signal).
    int value = -80;
    int arcWidth = 7; // pen width of both arcs, also the inset of the arcs and discs
    bool roundCap = true;
    int maximum = 6;
    int minimum = -80; // also the value the reset gestures set
    QColor arcColor{QStringLiteral("#00ffff")};
    bool showText = true; // also enables the editor
    QString fontFamily = QStringLiteral("Segoe UI");
    int fontSize = 12;
    QString suffix = QStringLiteral("dB");
    QColor textColor{QStringLiteral("#ff79c6")};
    bool showTrack = true;
    QColor trackColor{QStringLiteral("#44475a")};
    double knobRatio = 0.8; // disc diameter as a fraction of the inner width
    QColor glowColor;
    QPoint lastPos{0, 0};  // pointer position at the last drag move
    int displayOffset = 0; // shown value = value + displayOffset
    QLineEdit* editor = nullptr;
    QRect textRect; // where the value text was last painted; the editor's hit area
    // Where a double-click away from the text returns the knob; unset: `minimum`. The pages set
    // the default of the knob's stored key.
    std::optional<int> defaultValue;
    QColor focusColor{QStringLiteral("#00ffff")}; // the ring shown while the knob has focus

    void setValue(int v);
    void setGlow(bool enabled, double blurFactor);
    void openEditor();

    // Sweep of the value arc in sixteenths of a degree (0 at minimum, -4320 at maximum).
    int valueSweep() const;
    // The text painted for the current value, e.g. "-80dB".
    QString valueText() const;
    // The value as the editor and a screen reader give it, with a space: "12 dB".
    QString spokenText() const;
    // Changes the value by `steps` and announces it, as one drag step does.
    void stepBy(int steps);

signals:
    void valueChangedSig(int value);

public slots:
    void finishEdit();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    int clamped(long long v) const;
    void changed(); // clamp, announce and repaint after every gesture
    void paintFocusRing(QPainter& painter, double inner);
};
