#include "windowed/main_frame.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMenu>
#include <QMessageBox>
#include <QStatusBar>
#include <mutex>

#include "engine/output.h"
#include "windowed/log_queue.h"
#include "windowed/pause_dialog.h"

namespace qv {

namespace {

// Texts moved from the queue to the window per turn of the event loop, so
// a flood of them never holds up the window for long.
constexpr std::size_t kTextsPerDrain = 500;
constexpr int kReAddTicks = 10;

// The frame that receives the engine's output.  The sinks are plain
// functions called on any thread; they only post to the frame, under the
// mutex that its destructor takes before it goes.
std::mutex frameMutex;
MainFrame* outputFrame = nullptr;
LogQueue logQueue(MainFrame::kLogQueueTexts);

int queueDebugText(std::string_view text) {
    if (!logQueue.push(text)) return 1;
    std::lock_guard lock(frameMutex);
    if (outputFrame) QMetaObject::invokeMethod(outputFrame, &MainFrame::drainLog, Qt::QueuedConnection);
    return 1;
}

void postStatusText(std::string_view text) {
    const QString status = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())).trimmed();
    std::lock_guard lock(frameMutex);
    // Posted with the frame as context: should the frame go first, the
    // call goes with it.
    if (outputFrame)
        QMetaObject::invokeMethod(
            outputFrame, [frame = outputFrame, status] { frame->setStatusText(status); }, Qt::QueuedConnection);
}

}  // namespace

FramePrompts dialogPrompts() {
    FramePrompts p;
    p.confirmQuit = [](QWidget* parent) {
        return QMessageBox::question(parent, "Really Quit Quorvane?", "Press OK to quit Quorvane.",
                                     QMessageBox::Ok | QMessageBox::Cancel) == QMessageBox::Ok;
    };
    p.editPausedPage = [](QWidget* parent, const QString& page) -> std::optional<QString> {
        PauseDialog dialog(page, parent);
        if (dialog.exec() != QDialog::Accepted) return std::nullopt;
        return dialog.page();
    };
    return p;
}

MainFrame::MainFrame(Engine& engine, FramePrompts prompts, QWidget* parent)
    : QMainWindow(parent),
      engine_(engine),
      prompts_(std::move(prompts)),
      area_(new QMdiArea(this)),
      log_(new LogWindow),
      counts_(new CountBar(this)),
      status_(new QLabel("Ready", this)),
      idleIcon_(":/icons/idle.png"),
      servingIcon_(":/icons/serving.png") {
    setWindowTitle("Quorvane Pro");
    setWindowIcon(servingIcon_);
    setCentralWidget(area_);
    area_->addSubWindow(log_);
    log_->setWindowIcon(idleIcon_);
    log_->showMaximized();
    buildMenus();
    buildToolBar();
    addToolBarBreak();
    addToolBar(counts_);
    statusBar()->addWidget(status_, 1);
    counts_->showCounts(connectionCounts(engine_));
    {
        std::lock_guard lock(frameMutex);
        outputFrame = this;
    }
    setDebugSink(queueDebugText);
    setStatusSink(postStatusText);
    // Texts queued before this frame (for a frame before it) ask for no
    // take of their own.
    QMetaObject::invokeMethod(this, &MainFrame::drainLog, Qt::QueuedConnection);
    connect(&timer_, &QTimer::timeout, this, &MainFrame::tick);
    timer_.start(kTickMs);
    buildTray();
    resize(820, 560);
}

MainFrame::~MainFrame() {
    stopEngine();
    setDebugSink(nullptr);
    setStatusSink(nullptr);
    std::lock_guard lock(frameMutex);
    outputFrame = nullptr;
    // What the engine printed last has no window left to go to.
    logQueue.take(kLogQueueTexts);
}

void MainFrame::startEngine() {
    starter_ = std::thread([this] {
        startServers(engine_);
        QMetaObject::invokeMethod(this, [this] { applyStartOptions(); }, Qt::QueuedConnection);
    });
}

void MainFrame::applyStartOptions() {
    if (optionNumber(engine_, "minimize").value_or(0)) showMinimized();
    if (optionNumber(engine_, "hide").value_or(0)) hideFrame();
    setStatusText("Ready");
    emit engineStarted();
}

void MainFrame::stopEngine() {
    if (starter_.joinable()) starter_.join();
    if (stopped_) return;
    stopped_ = true;
    signalShutdown(engine_);
    stopServers(engine_);
}

void MainFrame::drainLog() {
    LogQueue::Batch batch = logQueue.take(kTextsPerDrain);
    for (const std::string& text : batch.texts) log_->append(text);
    if (batch.dropped)
        log_->append("\r\n*** " + std::to_string(batch.dropped) + " lines dropped ***\r\n");
    if (batch.more) QMetaObject::invokeMethod(this, &MainFrame::drainLog, Qt::QueuedConnection);
}

void MainFrame::setStatusText(const QString& text) { status_->setText(text); }

void MainFrame::tick() {
    if (!quitting_) {
        const ConnectionCounts now = connectionCounts(engine_);
        if (tray_.update(now.open)) applyTray();
        counts_->showCounts(now);
    }
    ticks_ = (ticks_ + 1) % kReAddTicks;
    // Adding the icon again brings it back after the notification area
    // restarted; showing a shown icon does no harm.
    if (ticks_ == 0 && trayIcon_ && !quitting_ && !closing_) trayIcon_->show();
}

void MainFrame::buildTray() {
    // Without a notification area the window must never be hidden: it
    // could not be brought back.  "Hide" then minimises.
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        hideAction_->setEnabled(false);
        return;
    }
    trayIcon_ = new QSystemTrayIcon(idleIcon_, this);
    trayIcon_->setToolTip(QString::fromStdString(tray_.tip()));
    auto* menu = new QMenu(this);
    menu->addAction("E&xit Quorvane", this, &QWidget::close);
    menu->addAction("&About Quorvane...", this, &MainFrame::about);
    menu->addAction("&Hide Quorvane", this, &MainFrame::hideFrame);
    menu->addAction("&Show Quorvane", this, &MainFrame::showFrame);
    connect(trayIcon_, &QSystemTrayIcon::activated, this, [menu](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::Context) menu->popup(QCursor::pos());
    });
    trayIcon_->show();
}

void MainFrame::applyTray() {
    if (!trayIcon_) return;
    trayIcon_->setToolTip(QString::fromStdString(tray_.tip()));
    trayIcon_->setIcon(tray_.picture() == TrayPicture::kServing ? servingIcon_ : idleIcon_);
}

void MainFrame::hideFrame() {
    if (trayIcon_)
        hide();
    else
        showMinimized();
}

void MainFrame::showFrame() {
    showNormal();
    raise();
    activateWindow();
}

void MainFrame::quitWithoutAsking() { quit(); }

void MainFrame::closeEvent(QCloseEvent* event) {
    if (quitting_) {
        event->accept();
        return;
    }
    closing_ = true;
    if (optionNumber(engine_, "ask_before_quit").value_or(1) && !prompts_.confirmQuit(this)) {
        closing_ = false;
        event->ignore();
        return;
    }
    quit();
    event->accept();
}

void MainFrame::quit() {
    if (quitting_) return;
    quitting_ = true;
    timer_.stop();
    stopEngine();
    drainLog();
    if (trayIcon_) trayIcon_->hide();
    hide();
    emit finished();
}

}  // namespace qv
