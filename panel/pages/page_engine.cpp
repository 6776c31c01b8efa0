#include "page_engine.h"

#include "settings/ini_file.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QStandardPaths>
#include <QVBoxLayout>

namespace halvern::pages {

namespace {
constexpr const char* kSectionStyle = "font-weight: bold; font-size: 12px; color: white;";
constexpr const char* kLevelStyle = "color: #888888; font-size: 8px;";
constexpr const char* kPhoneCaptionStyle = "font-size: 10px; color: white;";
constexpr const char* kLevelPlaceholder = "-160 dB";
constexpr const char* kKnobColor = "#00ff7f";
constexpr const char* kGainArcColor = "#f1fa8c";
constexpr const char* kOutputButtonColor = "#00FFFF";
constexpr const char* kInactiveText = "#8a95aa";
constexpr const char* kButtonFace = "#1b1e23";
constexpr int kSilentDb = -80;
constexpr int kDimDb = 20;

QLabel* centredLabel(QWidget* page, const QString& text, const char* style) {
    auto* label = new QLabel(text, page);
    label->setAlignment(Qt::AlignCenter);
    label->setStyleSheet(QString::fromLatin1(style));
    return label;
}

QLabel* levelLabel(QWidget* page) {
    return centredLabel(page, QString::fromLatin1(kLevelPlaceholder), kLevelStyle);
}

LevelMeter* levelMeter(QWidget* page, const QString& name) {
    auto* meter = new LevelMeter(page);
    meter->setFixedSize(80, 6);
    meter->setAccessibleName(name);
    return meter;
}

// Made without a parent and then handed to the page, as the pages have always done.
Button* pageButton(QWidget* page, const QString& text, const char* accent) {
    auto* b = new Button(text);
    b->setParent(page);
    b->setMinimumWidth(80);
    b->setMaximumWidth(80);
    b->borderRadius = 3;
    b->inactiveTextColor = QString::fromLatin1(kInactiveText);
    b->activeBackground = QString::fromLatin1(kButtonFace);
    b->inactiveBackground = QString::fromLatin1(kButtonFace);
    b->activeTextColor = QString::fromLatin1(accent);
    b->glowColor = QString::fromLatin1(accent);
    b->updateStyle();
    return b;
}

Knob* bigKnob(QWidget* page, int minimum, int maximum, int value) {
    auto* k = new Knob(page);
    k->setGeometry(10, 10, 120, 120);
    k->setFixedSize(120, 120);
    k->maximum = maximum;
    k->minimum = minimum;
    k->value = value;
    k->textColor = QColor(QString::fromLatin1(kKnobColor));
    k->glowColor = QColor(QString::fromLatin1(kKnobColor));
    return k;
}

// The success line of a pad or phantom switch names the channel.
void switchMic(bool ok, const char* what, int channel) {
    if (ok)
        qDebug().noquote() << QStringLiteral("Mic %1 switched for channel %2.")
                                  .arg(QLatin1String(what))
                                  .arg(channel);
    else
        qDebug().noquote() << QStringLiteral("Failed to switch mic %1.").arg(QLatin1String(what));
}
} // namespace

QString translated(const PageModel& model, const char* text) {
    return QCoreApplication::translate(model.context, text);
}

// ---------------------------------------------------------------------------------------------
// Layout

QHBoxLayout* addPageRow(QWidget* page) {
    auto* row = new QHBoxLayout(page);
    row->setAlignment(Qt::AlignCenter);
    row->setContentsMargins(0, 0, 0, 0);
    return row;
}

MicColumn addMicColumn(QHBoxLayout* row, QWidget* page, const PageModel& model, const char* title,
                       std::initializer_list<ColumnButton> buttons) {
    MicColumn out;
    auto* column = new QVBoxLayout;
    column->setContentsMargins(10, 10, 20, 10);
    column->addWidget(centredLabel(page, translated(model, title), kSectionStyle));
    out.knob = bigKnob(page, 0, model.micMaximum, 0);
    out.knob->displayOffset = model.micDisplayOffset;
    out.knob->arcColor = QColor(QString::fromLatin1(kGainArcColor));
    out.knob->setAccessibleName(translated(model, title) + ' ' + translated(model, "Gain"));
    column->addWidget(out.knob);
    out.meter = levelMeter(page, translated(model, title));
    column->addWidget(out.meter, 0, Qt::AlignHCenter);
    out.level = levelLabel(page);
    column->addWidget(out.level);
    column->addWidget(centredLabel(page, translated(model, "Gain"), model.captionStyle));
    auto* stack = new QVBoxLayout;
    stack->setAlignment(Qt::AlignCenter);
    for (const ColumnButton& button : buttons) {
        const QString text =
            button.translated ? translated(model, button.text) : QString::fromLatin1(button.text);
        out.buttons.push_back(pageButton(page, text, button.accent));
        stack->addWidget(out.buttons.back());
    }
    column->addLayout(stack);
    row->addLayout(column);
    // Without a stretch of its own the column would spread its rows over the page's height;
    // held at the top, its title lines up with the output columns'.
    if (model.micColumnStretch)
        column->addStretch();
    else
        row->setAlignment(column, Qt::AlignTop);
    return out;
}

void addSeparator(QHBoxLayout* row, QWidget* page) {
    auto* line = new QFrame(page);
    line->setFrameShape(QFrame::VLine);
    line->setFrameShadow(QFrame::Sunken);
    line->setFixedWidth(1);
    line->setStyleSheet(QStringLiteral("background-color: #555555;"));
    row->addWidget(line);
}

OutputColumn addOutputColumn(QHBoxLayout* row, QWidget* page, const PageModel& model,
                             const OutputModel& output) {
    OutputColumn out;
    auto* column = new QVBoxLayout;
    column->setAlignment(Qt::AlignCenter);
    column->setContentsMargins(20, 10, 10, 10);
    const QString title = output.titleTranslated ? translated(model, output.title)
                                                 : QString::fromLatin1(output.title);
    column->addWidget(centredLabel(page, title, kSectionStyle));

    auto* knobRow = new QHBoxLayout;
    out.volume = bigKnob(page, kSilentDb, 6, kSilentDb);
    out.volume->setAccessibleName(title + ' ' + translated(model, "Volume"));
    knobRow->addWidget(out.volume);
    column->addLayout(knobRow);
    column->addWidget(centredLabel(page, translated(model, "Volume"), model.captionStyle));

    auto* buttons = new QHBoxLayout;
    buttons->setAlignment(Qt::AlignCenter);
    out.mute = pageButton(page, QStringLiteral("MUTE"), kOutputButtonColor);
    out.dim = pageButton(page, QStringLiteral("DIM"), kOutputButtonColor);
    for (Button* b : {out.mute, out.dim}) {
        b->setMinimumHeight(40);
        buttons->addWidget(b);
    }
    column->addLayout(buttons);

    if (output.phoneCaption) {
        auto* phoneRow = new QHBoxLayout;
        phoneRow->setAlignment(Qt::AlignCenter);
        phoneRow->setSpacing(8);
        out.phone = new Knob(page);
        out.phone->setGeometry(10, 10, 80, 80);
        out.phone->setFixedSize(70, 70);
        out.phone->maximum = 6;
        out.phone->minimum = kSilentDb;
        out.phone->value = kSilentDb;
        out.phone->arcWidth = 3;
        out.phone->fontSize = 10;
        out.phone->textColor = QColor(QString::fromLatin1(kKnobColor));
        out.phone->glowColor = QColor(QString::fromLatin1(kKnobColor));
        const QString caption = translated(model, output.phoneCaption);
        out.phone->setAccessibleName(caption);
        phoneRow->addWidget(out.phone);
        auto* texts = new QVBoxLayout;
        texts->setAlignment(Qt::AlignCenter);
        out.phoneMeter = levelMeter(page, caption);
        texts->addWidget(out.phoneMeter, 0, Qt::AlignHCenter);
        out.phoneLevel = levelLabel(page);
        texts->addWidget(out.phoneLevel);
        texts->addWidget(
            centredLabel(page, translated(model, output.phoneCaption), kPhoneCaptionStyle));
        phoneRow->addLayout(texts);
        column->addLayout(phoneRow);
    }
    column->addStretch();
    row->addLayout(column);
    return out;
}

// ---------------------------------------------------------------------------------------------
// Device operations

bool openPageDevice(AudioBusDevice& device, const PageModel& model) {
    if (!device.open()) {
        qDebug() << model.openFailure;
        return false;
    }
    // A refusal is logged and the page is built all the same: an empty page on a device that
    // answers would leave the window blank for as long as it stays plugged in.
    bool ok = true;
    for (uint8_t channel : model.fullVolumeOutputs)
        ok = device.setOutVolume(channel, 100) && ok;
    if (!ok)
        qDebug() << "Failed to set output volume.";
    return true;
}

void setInitialMatrix(protocol::MixerMatrix& matrix, const PageModel& model) {
    for (std::size_t k = 0; k < protocol::MixerMatrix::kOutputGains; ++k)
        matrix.setOutputGain(k, 1.0);
    for (const Cell& c : model.initialCells)
        matrix.setCell(c.m, c.r, c.c, 1.0);
}

void setMicGain(AudioBusDevice& device, int channel, int value) {
    if (device.setMicVolume(uint8_t(channel), uint16_t(value * 2)))
        qDebug() << "Mic volume set to:" << value;
    else
        qDebug() << "Failed to set mic volume.";
}

void switchMicPad(AudioBusDevice& device, int channel, bool status) {
    qDebug() << "Mic 20dB Button Clicked" << int(status);
    switchMic(device.setMic20dB(uint8_t(channel), status), "20dB", channel);
}

void switchMicPhantom(AudioBusDevice& device, int channel, bool status) {
    qDebug() << "Mic 48V Button Clicked" << int(status);
    switchMic(device.setMic48V(uint8_t(channel), status), "48V", channel);
}

void setDirect(AudioBusDevice& device, protocol::MixerMatrix& matrix, const PageModel& model,
               int channel, bool status) {
    const double g = status ? 1.0 : 0.0;
    if (channel >= 1 && std::size_t(channel) <= model.directCells.size())
        for (const Cell& c : model.directCells[std::size_t(channel) - 1])
            matrix.setCell(c.m, c.r, c.c, g);
    if (device.writeMixerMatrix(matrix))
        qDebug() << "Monitor Mic set to:" << int(status);
    else
        qDebug() << "Failed to set Monitor Mic.";
}

int effectiveLevel(int value, bool muted, bool dimmed) {
    if (muted)
        return kSilentDb;
    return dimmed ? value - kDimDb : value;
}

void setOutputVolume(AudioBusDevice& device, protocol::MixerMatrix& matrix,
                     const OutputModel& output, int value, bool muted, bool dimmed) {
    if (output.report == VolumeReport::ChangeAndLevel)
        qDebug() << output.changedText << value;
    const int level = effectiveLevel(value, muted, dimmed);
    const double gain = AudioBusDevice::dbToGain(level);
    for (uint8_t k : output.gains)
        matrix.setOutputGain(k, gain);
    const bool ok = device.writeMixerMatrix(matrix);
    if (!ok)
        qDebug() << output.failText;
    else if (output.report == VolumeReport::ChangeAndLevel)
        qDebug() << output.setText << level;
    else if (output.report == VolumeReport::Gain)
        qDebug() << output.setText << gain;
}

void muteOutput(const OutputModel& output, bool& muted, bool status, const Knob& knob,
                const std::function<void(int)>& volumeHandler) {
    muted = status;
    volumeHandler(muted && output.muteRunsMinimum ? kSilentDb : knob.value);
    if (const char* line = muted ? output.muteOnText : output.muteOffText)
        qDebug() << line;
}

void dimOutput(const OutputModel& output, bool& dimmed, bool status, const Knob& knob,
               const std::function<void(int)>& volumeHandler) {
    dimmed = status;
    volumeHandler(knob.value);
    if (const char* line = dimmed ? output.dimOnText : output.dimOffText)
        qDebug() << line;
}

void setPhoneMix(AudioBusDevice& device, protocol::MixerMatrix& matrix, const OutputModel& output,
                 int value) {
    const double g = AudioBusDevice::dbToGain(value);
    for (const Cell& c : output.phoneCells)
        matrix.setCell(c.m, c.r, c.c, g);
    if (device.writeMixerMatrix(matrix))
        qDebug() << output.phoneSetText << g;
    else
        qDebug() << output.phoneFailText;
}

// ---------------------------------------------------------------------------------------------
// Level read-outs

int32_t meanLevel(int32_t a, int32_t b) {
    return int32_t((int64_t(a) + int64_t(b)) / 2);
}

QString levelText(int32_t meterValue) {
    return QString::number(AudioBusDevice::sampleToDb(meterValue), 'f', 1) + QStringLiteral(" dB");
}

// ---------------------------------------------------------------------------------------------
// State file

QSettings* openStateFile(QWidget* page, const PageModel& model) {
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QDir().mkpath(dir);
    return new QSettings(dir + QString::fromLatin1(model.fileName), QSettings::IniFormat, page);
}

void syncStates(QSettings& settings, const PageModel& model) {
    if (!panel::syncSettings(settings))
        qDebug() << "Failed to write the control states:" << settings.fileName()
                 << settings.status();
    else if (model.logSaves)
        qDebug() << "控件状态已保存到配置文件";
}

bool storedSwitch(const QVariant& stored, bool fallback) {
    if (stored.typeId() == QMetaType::Bool)
        return stored.toBool();
    const QString text = stored.toString().trimmed();
    if (text == QLatin1String("1") || text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
        return true;
    if (text == QLatin1String("0") ||
        text.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0)
        return false;
    return fallback;
}

int storedNumber(const QVariant& stored, int fallback) {
    bool ok = false;
    const int value = stored.typeId() == QMetaType::QString ? stored.toString().trimmed().toInt(&ok)
                                                            : stored.toInt(&ok);
    return ok ? value : fallback;
}

void logStatesLoaded() {
    qDebug() << "已从配置文件加载控件状态";
}

} // namespace halvern::pages
