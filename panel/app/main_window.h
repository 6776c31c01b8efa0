// The panel's only top-level window: finds the connected interface, shows its mixer page with
// the model and firmware in the title, and falls back to a status label when it goes away.
#pragma once

#include <QMainWindow>

#include <cstdint>

class AudioBusDevice;
class QCloseEvent;
class QLabel;
class QTimer;
class QVBoxLayout;
class Settings;

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    void setSettingsDialog(Settings* dialog);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void detectDevice();    // every 1000 ms while no page is connected
    void checkConnection(); // every 400 ms while a page is shown
    void clearBaseLayout();
    void addStatusLabel(const QString& text);
    void replaceDevice(); // a new own connection, opened
    void releaseDevice(); // closes and forgets the own connection, if any

    uint32_t pid = 0;
    QVBoxLayout* baseLayout = nullptr;
    QTimer* detectTimer = nullptr;
    QTimer* pollTimer = nullptr;
    AudioBusDevice* device = nullptr;
    Settings* settingsDialog = nullptr;
    QLabel* statusLabel = nullptr;
    uint32_t errorCount = 0;
};
