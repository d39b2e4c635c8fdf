// The main window's menus, toolbar and the commands behind them.
#include <QMenuBar>
#include <QMessageBox>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>
#include <algorithm>
#include <cstring>

#include "engine/output.h"
#include "windowed/main_frame.h"
#include "windowed/settings_sheet.h"

namespace qv {

namespace {

struct OptionSwitch {
    const char* text;
    const char* key;
};

// View menu switches kept in [Options] of the settings file.
constexpr OptionSwitch kOptionSwitches[] = {
    {"Co&nnects", "view_connects"},
    {"Co&mmands", "view_commands"},
    {"&File Paths", "view_files"},
    {"C&losings", "view_closing"},
};

QString fromView(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QAction* MainFrame::addCommand(QMenu* menu, const QString& text, std::function<void()> action) {
    QAction* a = menu->addAction(text);
    connect(a, &QAction::triggered, this, [action = std::move(action)] { action(); });
    return a;
}

QAction* MainFrame::addOptionSwitch(QMenu* menu, const QString& text, const char* key) {
    QAction* a = menu->addAction(text);
    a->setCheckable(true);
    a->setStatusTip(QString("Turn the %1 setting on or off, at once and in the settings file").arg(key));
    connect(a, &QAction::triggered, this, [this, key](bool on) { toggleOption(key, on); });
    // The settings may change under the menu (a reload): it shows them as
    // they are whenever it opens.
    connect(menu, &QMenu::aboutToShow, a, [this, a, key] { a->setChecked(optionNumber(engine_, key).value_or(0)); });
    return a;
}

void MainFrame::buildMenus() {
    QMenu* file = menuBar()->addMenu("&File");
    addCommand(file, "Cycle &Log Files", [this] { cycleLogs(); })->setStatusTip("Start new request logs");
    pauseAction_ = addCommand(file, "Paus&e the Server...", [this] { pauseOrResume(); });
    pauseAction_->setCheckable(true);
    pauseAction_->setStatusTip("Pause the server (new clients get a message), or resume it");
    hideAction_ = addCommand(file, "&Hide", [this] { hideFrame(); });
    addCommand(file, "&Show", [this] { showFrame(); });
    file->addSeparator();
    addCommand(file, "E&xit", [this] { close(); })->setStatusTip("Stop the servers and quit");

    QMenu* edit = menuBar()->addMenu("&Edit");
    addCommand(edit, "Copy Screen &Log", [this] { log_->copyAll(); })->setStatusTip("Copy the whole log");
    addCommand(edit, "&Reset Screen Log", [this] { log_->clear(); })->setStatusTip("Empty the log window");
    edit->addSeparator();
    addCommand(edit, "Settings...", [this] { openSettings(0); })->setStatusTip("Edit the settings");
    addCommand(edit, "Users...", [this] { openSettings(4); })->setStatusTip("Edit the users");
    addCommand(edit, "Shared Folders...", [this] { openSettings(6); })->setStatusTip("Edit the shared folders");

    QMenu* view = menuBar()->addMenu("&View");
    QAction* toolbar = view->addAction("&Toolbar");
    QAction* countBar = counts_->toggleViewAction();
    countBar->setText("Hit Count Bar");
    view->addAction(countBar);
    QAction* statusBarShown = view->addAction("&Status Bar");
    statusBarShown->setCheckable(true);
    statusBarShown->setChecked(true);
    connect(statusBarShown, &QAction::toggled, statusBar(), &QWidget::setVisible);
    connect(view, &QMenu::aboutToShow, toolbar, [this, toolbar] {
        toolbar->setCheckable(true);
        toolbar->setChecked(tools_ && tools_->isVisible());
    });
    connect(toolbar, &QAction::triggered, this, [this](bool on) { tools_->setVisible(on); });
    view->addSeparator();
    QAction* headers = view->addAction("HTTP Request Headers");
    headers->setCheckable(true);
    connect(headers, &QAction::toggled, this, [this](bool on) { showRequestHeaders(engine_, on); });
    addOptionSwitch(view, "CGI Information", "debug_cgi");
    QAction* ftp = view->addAction("FTP Commands");
    ftp->setCheckable(true);
    connect(ftp, &QAction::toggled, this, [this](bool on) { showFtpCommands(engine_, on); });
    view->addSeparator();
    for (const OptionSwitch& s : kOptionSwitches) addOptionSwitch(view, s.text, s.key);
    view->addSeparator();
    addCommand(view, "Current Open Connections", [this] { printConnections(); });
    addCommand(view, "Current DNS Cache", [this] { showDnsCache(); });

    QMenu* help = menuBar()->addMenu("&Help");
    addCommand(help, "&Help Topics", [this] { helpTopics(); });
    addCommand(help, "&About QVX_Pro...", [this] { about(); });
}

void MainFrame::buildToolBar() {
    tools_ = addToolBar("Toolbar");
    tools_->setObjectName("Toolbar");
    QStyle* s = style();
    tools_->addAction(s->standardIcon(QStyle::SP_MediaPause), "Pause or resume the server", this,
                      [this] { pauseOrResume(); });
    tools_->addAction(s->standardIcon(QStyle::SP_BrowserReload), "Cycle the log files", this, [this] { cycleLogs(); });
    tools_->addSeparator();
    tools_->addAction(s->standardIcon(QStyle::SP_FileDialogDetailedView), "Current open connections", this,
                      [this] { printConnections(); });
    tools_->addAction(s->standardIcon(QStyle::SP_DriveNetIcon), "Current DNS cache", this, [this] { showDnsCache(); });
    tools_->addAction(s->standardIcon(QStyle::SP_DialogResetButton), "Reset the screen log", this,
                      [this] { log_->clear(); });
    tools_->addSeparator();
    tools_->addAction(s->standardIcon(QStyle::SP_MessageBoxInformation), "About", this, [this] { about(); });
}

void MainFrame::cycleLogs() { cycleLogFiles(engine_); }

void MainFrame::pauseOrResume() {
    if (isPaused(engine_)) {
        debugPrint("\r\n*** Server Resuming ***\r\n");
        setPaused(engine_, false);
    } else if (auto page = prompts_.editPausedPage(this, QString::fromStdString(pausedPage(engine_)))) {
        setPausedPage(engine_, page->toStdString());
        debugPrint("\r\n*** Server Paused ***\r\n");
        setPaused(engine_, true);
    }
    pauseAction_->setChecked(isPaused(engine_));
}

void MainFrame::printConnections() {
    const std::string report = connectionReport(engine_);
    std::size_t start = 0;
    while (start < report.size()) {
        const std::size_t end = report.find("\r\n", start);
        const std::size_t next = end == std::string::npos ? report.size() : end + 2;
        debugPrint(std::string_view(report).substr(start, next - start));
        start = next;
    }
}

void MainFrame::showDnsCache() {
    if (!dns_) dns_ = new DnsCacheWindow(engine_, this);
    else dns_->refresh();
    dns_->show();
    dns_->raise();
}

void MainFrame::openSettings(int page) {
    if (!settings_) {
        SheetSetup setup;
        setup.iniPath = settingsFilePath(engine_);
        setup.signalReset = [this] { signalReset(engine_); };
        settings_ = new SettingsSheet(readSheet(setup.iniPath, setup.autostartPath), std::move(setup),
                                      static_cast<SheetPage>(std::clamp(page, 0, kSheetPages - 1)), this);
        settings_->setAttribute(Qt::WA_DeleteOnClose);
        settings_->open();
        return;
    }
    settings_->tabs()->setCurrentIndex(page);
    settings_->raise();
    settings_->activateWindow();
}

SettingsSheet* MainFrame::settingsSheet() { return settings_; }

void MainFrame::toggleOption(const char* key, bool on) {
    const int err = setOptionSwitch(engine_, key, on);
    if (err != 0)
        debugPrint(std::string("*** Unable to write ") + key + " to the settings file: " + std::strerror(err) +
                   "\r\n");
}

void MainFrame::about() {
    QMessageBox::about(this, "About QVX_Pro", "<b>Quorvane Pro</b><br>Release " + fromView(kVersionText));
}

void MainFrame::helpTopics() {
    QMessageBox::information(
        this, "Quorvane Pro Help",
        "<p><b>File</b>: cycle the request logs, pause the server (new clients get the message you give) "
        "or resume it, hide the window (the notification-area icon brings it back), quit.</p>"
        "<p><b>Edit</b>: copy or empty the log window; the settings, users and shared folders.</p>"
        "<p><b>View</b>: the bars; what the log shows (request headers, CGI information, FTP commands, "
        "connections, commands, file paths, closings); the open connections and the host-name cache.</p>"
        "<p>The settings live in quorvane.ini in the settings folder ($QUORVANE_ETC, else /etc/quorvane).</p>");
}

}  // namespace qv
