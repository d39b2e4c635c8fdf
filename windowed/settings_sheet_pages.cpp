// The simple pages of the settings sheet (General, Logging, Hit Counts,
// Misc, CGI) and what every page shares.
#include "windowed/settings_sheet_pages.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QUrl>
#include <QVBoxLayout>

#include "windowed/settings_sheet.h"

namespace qv {

namespace {

QLineEdit* lineEdit(QWidget* parent, const std::string& text, int maxLength = 255) {
    auto* edit = new QLineEdit(qstr(text), parent);
    edit->setMaxLength(maxLength);
    return edit;
}

QCheckBox* checkBox(QWidget* parent, const char* text, bool on) {
    auto* box = new QCheckBox(text, parent);
    box->setChecked(on);
    return box;
}

QSpinBox* spinBox(QWidget* parent, int value, int low, int high, const QString& suffix = {}) {
    auto* box = new QSpinBox(parent);
    box->setRange(low, high);
    box->setValue(value);
    box->setSuffix(suffix);
    return box;
}

// The boxes under a main box are only of use while it is on.
void followMain(QCheckBox* main, std::initializer_list<QCheckBox*> subs) {
    for (QCheckBox* sub : subs) {
        sub->setEnabled(main->isChecked());
        QObject::connect(main, &QCheckBox::toggled, sub, &QWidget::setEnabled);
    }
}

QVBoxLayout* indented(std::initializer_list<QCheckBox*> boxes) {
    auto* layout = new QVBoxLayout;
    layout->setContentsMargins(24, 0, 0, 0);
    for (QCheckBox* b : boxes) layout->addWidget(b);
    return layout;
}

}  // namespace

// ---- page base

SheetPageWidget::SheetPageWidget(SheetPage page, SettingsSheet& sheet) : sheet_(sheet), page_(page) {}

void SheetPageWidget::markModified() {
    if (modified_) return;
    modified_ = true;
    emit modifiedChanged();
}

void SheetPageWidget::watchControls() {
    // The line edits inside spin and combo boxes report through their box.
    for (QLineEdit* e : findChildren<QLineEdit*>())
        if (!qobject_cast<QComboBox*>(e->parent()) && !qobject_cast<QAbstractSpinBox*>(e->parent()))
            connect(e, &QLineEdit::textChanged, this, &SheetPageWidget::markModified);
    for (QCheckBox* b : findChildren<QCheckBox*>())
        connect(b, &QCheckBox::toggled, this, &SheetPageWidget::markModified);
    for (QSpinBox* s : findChildren<QSpinBox*>())
        connect(s, &QSpinBox::valueChanged, this, &SheetPageWidget::markModified);
    for (QComboBox* c : findChildren<QComboBox*>())
        connect(c, &QComboBox::currentTextChanged, this, &SheetPageWidget::markModified);
}

const SheetPrompts& SheetPageWidget::prompts() const { return sheet_.prompts(); }

QTreeWidget* makeList(QWidget* parent, const QStringList& columns) {
    auto* list = new QTreeWidget(parent);
    list->setColumnCount(static_cast<int>(columns.size()));
    list->setHeaderLabels(columns);
    list->setRootIsDecorated(false);
    list->setUniformRowHeights(true);
    list->setAlternatingRowColors(true);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setAllColumnsShowFocus(true);
    return list;
}

// ---- General

GeneralPage::GeneralPage(SettingsSheet& sheet, const GeneralValues& v)
    : SheetPageWidget(SheetPage::kGeneral, sheet), name(lineEdit(this, v.name, 80)),
      organization(lineEdit(this, v.organization, 80)), email(lineEdit(this, v.email, 80)),
      hostname(lineEdit(this, v.hostname, 99)), ip(lineEdit(this, v.ip, 99)) {
    auto* webmaster = new QGroupBox("Webmaster", this);
    auto* form = new QFormLayout(webmaster);
    form->addRow("Name:", name);
    form->addRow("Organization:", organization);
    form->addRow("E-Mail:", email);
    auto* computer = new QGroupBox("This Computer", this);
    auto* hostForm = new QFormLayout(computer);
    hostForm->addRow("DNS Host Name:", hostname);
    hostForm->addRow("Host IP:", ip);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(webmaster);
    layout->addWidget(computer);
    layout->addStretch();
    watchControls();
}

void GeneralPage::store(SheetValues& values) const {
    values.general = {sstr(name->text()), sstr(organization->text()), sstr(email->text()), sstr(hostname->text()),
                      sstr(ip->text())};
}

// ---- Logging

LoggingPage::LoggingPage(SettingsSheet& sheet, const LoggingValues& v)
    : SheetPageWidget(SheetPage::kLogging, sheet), logdir(lineEdit(this, v.logdir)),
      extended(checkBox(this, "Log to Extended Log File (qvxp.log)", v.extended)),
      extendedServer(checkBox(this, "Include Server Field", v.extendedServer)),
      extendedReferer(checkBox(this, "Include Referer Field", v.extendedReferer)),
      extendedAgent(checkBox(this, "Include User Agent Field", v.extendedAgent)),
      enableFiles(checkBox(this, "Log to Multiple Log Files", v.enableFiles)),
      accessFile(checkBox(this, "Access Log (qvx.log)", v.accessFile)),
      refererFile(checkBox(this, "Referer Log (refer.log)", v.refererFile)),
      agentFile(checkBox(this, "User Agent Log (agent.log)", v.agentFile)),
      errorFile(checkBox(this, "Error Log (error.log)", v.errorFile)) {
    auto* form = new QFormLayout;
    form->addRow("Log File Directory:", logdir);
    auto* extendedGroup = new QGroupBox("Extended Log", this);
    auto* extendedLayout = new QVBoxLayout(extendedGroup);
    extendedLayout->addWidget(extended);
    extendedLayout->addLayout(indented({extendedServer, extendedReferer, extendedAgent}));
    followMain(extended, {extendedServer, extendedReferer, extendedAgent});
    auto* filesGroup = new QGroupBox("Multiple Log Files", this);
    auto* filesLayout = new QVBoxLayout(filesGroup);
    filesLayout->addWidget(enableFiles);
    filesLayout->addLayout(indented({accessFile, refererFile, agentFile, errorFile}));
    followMain(enableFiles, {accessFile, refererFile, agentFile, errorFile});
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    auto* groups = new QHBoxLayout;
    groups->addWidget(extendedGroup);
    groups->addWidget(filesGroup);
    layout->addLayout(groups);
    layout->addStretch();
    watchControls();
}

void LoggingPage::store(SheetValues& values) const {
    LoggingValues& l = values.logging;
    l.logdir = sstr(logdir->text());
    l.extended = extended->isChecked();
    l.extendedServer = extendedServer->isChecked();
    l.extendedReferer = extendedReferer->isChecked();
    l.extendedAgent = extendedAgent->isChecked();
    l.enableFiles = enableFiles->isChecked();
    l.accessFile = accessFile->isChecked();
    l.refererFile = refererFile->isChecked();
    l.agentFile = agentFile->isChecked();
    l.errorFile = errorFile->isChecked();
}

// ---- Hit Counts

HitCountsPage::HitCountsPage(SettingsSheet& sheet, const HitCountValues& v)
    : SheetPageWidget(SheetPage::kHitCounts, sheet),
      countFileHits(checkBox(this, "Automaticly keep track of file hits in the COUNTS.QVX file.", v.countFileHits)),
      addToFileHits(checkBox(this, "Automaticly add new files to the COUNTS.QVX file.", v.addToFileHits)),
      localFileHits(checkBox(this, "Allow hit counts in local access files (ACCESS.QAC).", v.localFileHits)) {
    auto* edit = new QPushButton("Edit COUNTS.QVX", this);
    edit->setToolTip("Open the counts file of the log file directory in the desktop's editor");
    connect(edit, &QPushButton::clicked, this, &HitCountsPage::editCounts);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(countFileHits);
    layout->addWidget(addToFileHits);
    layout->addWidget(localFileHits);
    auto* row = new QHBoxLayout;
    row->addWidget(edit);
    row->addStretch();
    layout->addSpacing(12);
    layout->addLayout(row);
    layout->addStretch();
    watchControls();
}

void HitCountsPage::store(SheetValues& values) const {
    values.hitCounts = {countFileHits->isChecked(), addToFileHits->isChecked(), localFileHits->isChecked()};
}

// The central counts file lives in the log file directory (as the Logging
// page shows it now).
void HitCountsPage::editCounts() {
    const QString path = qstr(sheet_.values().logging.logdir) + "counts.qvx";
    if (!QFileInfo(path).isFile()) {
        prompts().tell(this, QMessageBox::Information, "Sorry",
                       QString("There is no COUNTS.QVX file in the log file directory yet (%1).").arg(path));
        return;
    }
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()));
}

// ---- Misc

MiscPage::MiscPage(SettingsSheet& sheet, const MiscValues& v)
    : SheetPageWidget(SheetPage::kMisc, sheet), tempdir(lineEdit(this, v.tempdir)),
      securityRealm(lineEdit(this, v.securityRealm, 79)),
      dnsMode(checkBox(this, "Do Reverse DNS Lookups", v.dnsMode)),
      dnsUseCache(checkBox(this, "Cache DNS Hits", v.dnsUseCache)),
      httpTimeout(spinBox(this, v.httpReadTimeout, 1, 86400, " s")),
      gopherTimeout(spinBox(this, v.gopherReadTimeout, 1, 86400, " s")),
      ftpTimeout(spinBox(this, v.ftpReadTimeout, 1, 86400, " s")),
      sendBuffer(spinBox(this, v.sendBufferSize, 512, 8192, " bytes")),
      askBeforeQuit(checkBox(this, "Ask before quiting", v.askBeforeQuit)),
      minimize(checkBox(this, "Minimize after start", v.minimize)),
      hide(checkBox(this, "Hide after start", v.hide)),
      startAtLogin(checkBox(this, "Start as 95 service", v.startAtLogin)) {
    startAtLogin->setToolTip("Start qvx_pro when you log in (an entry in ~/.config/autostart)");
    auto* form = new QFormLayout;
    form->addRow("Temp Directory:", tempdir);
    form->addRow("Security Realm:", securityRealm);
    sendBuffer->setSingleStep(512);
    sendBuffer->setMaximumWidth(160);
    form->addRow("Send Buffer Size:", sendBuffer);

    auto* dns = new QGroupBox("DNS", this);
    auto* dnsLayout = new QVBoxLayout(dns);
    dnsLayout->addWidget(dnsMode);
    dnsLayout->addWidget(dnsUseCache);
    dnsLayout->addStretch();
    auto* timeouts = new QGroupBox("Read Time-outs", this);
    auto* timeoutForm = new QFormLayout(timeouts);
    timeoutForm->addRow("HTTP:", httpTimeout);
    timeoutForm->addRow("Gopher:", gopherTimeout);
    timeoutForm->addRow("FTP:", ftpTimeout);
    auto* start = new QGroupBox("Start-up", this);
    auto* startLayout = new QVBoxLayout(start);
    for (QCheckBox* b : {askBeforeQuit, minimize, hide, startAtLogin}) startLayout->addWidget(b);

    auto* row = new QHBoxLayout;
    row->addWidget(dns);
    row->addWidget(timeouts);
    row->addWidget(start);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(row);
    layout->addStretch();
    watchControls();
}

void MiscPage::store(SheetValues& values) const {
    MiscValues& m = values.misc;
    m.tempdir = sstr(tempdir->text());
    m.securityRealm = sstr(securityRealm->text());
    m.dnsMode = dnsMode->isChecked();
    m.dnsUseCache = dnsUseCache->isChecked();
    m.httpReadTimeout = httpTimeout->value();
    m.gopherReadTimeout = gopherTimeout->value();
    m.ftpReadTimeout = ftpTimeout->value();
    m.sendBufferSize = sendBuffer->value();
    m.askBeforeQuit = askBeforeQuit->isChecked();
    m.minimize = minimize->isChecked();
    m.hide = hide->isChecked();
    m.startAtLogin = startAtLogin->isChecked();
}

// ---- CGI

CgiPage::CgiPage(SettingsSheet& sheet, const CgiValues& v)
    : SheetPageWidget(SheetPage::kCgi, sheet), compiler(lineEdit(this, v.perlCompiler)),
      directory(lineEdit(this, v.perlDir)), gmtOffset(lineEdit(this, v.gmtOffset, 15)),
      debugMode(checkBox(this, "CGI Debug Mode", v.debugMode)) {
    auto* perl = new QGroupBox("Perl", this);
    auto* form = new QFormLayout(perl);
    form->addRow("Compiler:", compiler);
    form->addRow("Directory:", directory);
    auto* other = new QFormLayout;
    gmtOffset->setMaximumWidth(120);
    other->addRow("GMT Offset:", gmtOffset);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(perl);
    layout->addLayout(other);
    layout->addWidget(debugMode);
    layout->addStretch();
    watchControls();
}

void CgiPage::store(SheetValues& values) const {
    values.cgi = {sstr(compiler->text()), sstr(directory->text()), sstr(gmtOffset->text()), debugMode->isChecked()};
}

}  // namespace qv
