// qvx_pro's main window: the "Log Window" in a multiple-document area, the
// menus, toolbar, status bar and "Hit Count Bar", the notification-area
// icon, and the engine it runs.  Every diagnostic text of the engine comes
// to the log window through a queue (log_queue.h); the counts and the icon
// follow the engine every 500 ms.
#pragma once

#include <QAction>
#include <QLabel>
#include <QMainWindow>
#include <QMdiArea>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <functional>
#include <optional>
#include <thread>

#include "engine/quorvane.h"
#include "windowed/count_bar.h"
#include "windowed/dns_cache_window.h"
#include "windowed/log_window.h"
#include "windowed/tray_state.h"

namespace qv {

class SettingsSheet;

// The questions the frame asks its user; tests give answers of their own.
struct FramePrompts {
    // True when the user confirms quitting.
    std::function<bool(QWidget* parent)> confirmQuit;
    // The paused page as the user edited it, or nothing when cancelled.
    std::function<std::optional<QString>(QWidget* parent, const QString& page)> editPausedPage;
};
FramePrompts dialogPrompts();

class MainFrame : public QMainWindow {
    Q_OBJECT
public:
    // Texts queued for the log window at most; more are dropped and counted.
    static constexpr std::size_t kLogQueueTexts = 20000;
    static constexpr int kTickMs = 500;

    // Installs the engine's output sinks for the frame's lifetime.
    explicit MainFrame(Engine& engine, FramePrompts prompts = dialogPrompts(), QWidget* parent = nullptr);
    ~MainFrame() override;

    // Starts the engine's servers on a thread of their own, so a slow
    // start never freezes the window; the start-up options (minimize,
    // hide) apply when it has run.
    void startEngine();

    // The commands of the menus, the toolbar and the tray menu.
    void cycleLogs();
    void pauseOrResume();
    void hideFrame();
    void showFrame();
    void printConnections();
    void showDnsCache();
    // Opens the settings editor at page `page` (0 General, 4 Users, 6
    // Shared Folders, ...), read afresh from the settings file; an open
    // one switches to that page.
    void openSettings(int page);
    void toggleOption(const char* key, bool on);
    void about();
    void helpTopics();
    // Stops the engine and ends the program without the quit question (the
    // system asked: SIGTERM at logout or from a service manager).
    void quitWithoutAsking();

    // The timer's work: counts, the icon, and every tenth tick the icon
    // added again.
    void tick();

    LogWindow& logWindow() { return *log_; }
    CountBar& countBar() { return *counts_; }
    const TrayState& trayState() const { return tray_; }
    DnsCacheWindow* dnsCacheWindow() { return dns_; }
    SettingsSheet* settingsSheet();
    bool trayShown() const { return trayIcon_ != nullptr; }
    bool engineStopped() const { return stopped_; }

signals:
    // The user confirmed quitting and the engine has stopped.
    void finished();
    // The engine's start-up has run.
    void engineStarted();

public slots:
    void drainLog();
    void setStatusText(const QString& text);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildMenus();
    void buildToolBar();
    void buildTray();
    void applyTray();
    void applyStartOptions();
    void stopEngine();
    void quit();
    QAction* addCommand(QMenu* menu, const QString& text, std::function<void()> action);
    QAction* addOptionSwitch(QMenu* menu, const QString& text, const char* key);

    Engine& engine_;
    FramePrompts prompts_;
    QMdiArea* area_;
    LogWindow* log_;
    CountBar* counts_;
    QToolBar* tools_ = nullptr;
    QLabel* status_;
    QTimer timer_;
    int ticks_ = 0;
    TrayState tray_;
    QSystemTrayIcon* trayIcon_ = nullptr;
    QIcon idleIcon_, servingIcon_;
    QPointer<DnsCacheWindow> dns_;
    QPointer<SettingsSheet> settings_;
    QAction* pauseAction_ = nullptr;
    QAction* hideAction_ = nullptr;
    std::thread starter_;
    bool closing_ = false;
    bool quitting_ = false;
    bool stopped_ = false;
};

}  // namespace qv
