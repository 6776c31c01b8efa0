#include "widgets/accessibility.h"

#include "widgets/button.h"
#include "widgets/knob.h"

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QAccessibleWidget>

namespace halvern::widgets {

namespace {

// The label the page gave the control, else what it shows.
QString nameOf(const QWidget* w, const QString& fallback) {
    return w->accessibleName().isEmpty() ? fallback : w->accessibleName();
}

class KnobAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit KnobAccessible(Knob* knob) : QAccessibleWidget(knob, QAccessible::Dial) {}

    Knob* knob() const { return static_cast<Knob*>(widget()); }

    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name)
            return nameOf(knob(), QString());
        if (t == QAccessible::Value)
            return knob()->spokenText();
        return QAccessibleWidget::text(t);
    }

    // Values as the knob shows them, offset included.
    QVariant currentValue() const override {
        return qlonglong(knob()->value) + knob()->displayOffset;
    }
    void setCurrentValue(const QVariant& v) override {
        knob()->stepBy(int(v.toLongLong() - currentValue().toLongLong()));
    }
    QVariant maximumValue() const override {
        return qlonglong(knob()->maximum) + knob()->displayOffset;
    }
    QVariant minimumValue() const override {
        return qlonglong(knob()->minimum) + knob()->displayOffset;
    }
    QVariant minimumStepSize() const override { return 1; }

    QStringList actionNames() const override {
        return QAccessibleWidget::actionNames() << QAccessibleActionInterface::increaseAction()
                                                << QAccessibleActionInterface::decreaseAction();
    }
    void doAction(const QString& name) override {
        if (name == QAccessibleActionInterface::increaseAction())
            knob()->stepBy(1);
        else if (name == QAccessibleActionInterface::decreaseAction())
            knob()->stepBy(-1);
        else
            QAccessibleWidget::doAction(name);
    }
};

class ButtonAccessible : public QAccessibleWidget {
public:
    explicit ButtonAccessible(Button* button) : QAccessibleWidget(button, QAccessible::Button) {}

    Button* button() const { return static_cast<Button*>(widget()); }

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name)
            return nameOf(button(), button()->text());
        return QAccessibleWidget::text(t);
    }

    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.checkable = true;
        s.checked = button()->status;
        return s;
    }

    QStringList actionNames() const override {
        return QAccessibleWidget::actionNames() << QAccessibleActionInterface::toggleAction()
                                                << QAccessibleActionInterface::pressAction();
    }
    // Either action does what a mouse press does.
    void doAction(const QString& name) override {
        if (name == QAccessibleActionInterface::toggleAction() ||
            name == QAccessibleActionInterface::pressAction())
            button()->press();
        else
            QAccessibleWidget::doAction(name);
    }
};

QAccessibleInterface* controlFactory(const QString& className, QObject* object) {
    if (!object || !object->isWidgetType())
        return nullptr;
    if (className == QLatin1String("Knob"))
        return new KnobAccessible(static_cast<Knob*>(object));
    if (className == QLatin1String("Button"))
        return new ButtonAccessible(static_cast<Button*>(object));
    return nullptr;
}

} // namespace

void installControlAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(controlFactory);
        return true;
    }();
    (void)installed;
}

} // namespace halvern::widgets
