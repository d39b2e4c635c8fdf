#include "windowed/settings_sheet.h"

#include <QCoreApplication>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cstring>

#include "engine/output.h"

namespace qv {

// ---- the sheet

SettingsSheet::SettingsSheet(SheetValues values, SheetSetup setup, SheetPage first, QWidget* parent)
    : QDialog(parent), values_(std::move(values)), setup_(std::move(setup)), tabs_(new QTabWidget(this)),
      buttons_(new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply, this)) {
    setWindowTitle("Quorvane Pro - Settings");
    if (setup_.program.empty()) setup_.program = sstr(QCoreApplication::applicationFilePath());
    // Created in tab order: a page may ask about those before it (the
    // shared folders offer the users as owners).
    general_ = new GeneralPage(*this, values_.general);
    logging_ = new LoggingPage(*this, values_.logging);
    hitCounts_ = new HitCountsPage(*this, values_.hitCounts);
    misc_ = new MiscPage(*this, values_.misc);
    users_ = new UsersPage(*this, values_.users);
    fileTypes_ = new FileTypesPage(*this, values_.fileTypes);
    folders_ = new SharedFoldersPage(*this, values_.folders);
    cgi_ = new CgiPage(*this, values_.cgi);
    servers_ = new ServersPage(*this, values_.servers);
    pages_ = {general_, logging_, hitCounts_, misc_, users_, fileTypes_, folders_, cgi_, servers_};
    for (SheetPageWidget* p : pages_) {
        tabs_->addTab(p, pageTitle(p->page()));
        connect(p, &SheetPageWidget::modifiedChanged, this, &SettingsSheet::updateApply);
    }
    tabs_->setCurrentIndex(static_cast<int>(first));
    connect(tabs_, &QTabWidget::currentChanged, this, &SettingsSheet::pageShown);
    connect(buttons_, &QDialogButtonBox::accepted, this, &SettingsSheet::accept);
    connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons_->button(QDialogButtonBox::Apply), &QPushButton::clicked, this, &SettingsSheet::apply);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    layout->addWidget(buttons_);
    updateApply();
    resize(760, 500);
}

SheetValues SettingsSheet::values() const {
    SheetValues v = values_;
    for (SheetPageWidget* p : pages_) p->store(v);
    return v;
}

QStringList SettingsSheet::userNames() const {
    QStringList names;
    if (users_)
        names = users_->names();
    else
        for (const UserRow& u : values_.users) names << qstr(u.name);
    return names;
}

QStringList SettingsSheet::groupNames() const {
    QStringList names;
    for (const GroupRow& g : values_.groups) names << qstr(g.name);
    return names;
}

QStringList SettingsSheet::folderPaths() const { return folders_ ? folders_->urlPaths() : QStringList(); }

QStringList SettingsSheet::hostRestrictions() const {
    QStringList names;
    for (const std::string& h : values_.hostRestrictions) names << qstr(h);
    return names;
}

void SettingsSheet::showSaveError(int err) {
    debugPrint("*** Unable to write " + setup_.iniPath + ": " + std::strerror(err) + "\r\n");
    setup_.prompts.tell(this, QMessageBox::Warning, "Quorvane Pro - Error saving changes",
                        "Unable to update ini file.  File may be busy, disk may be full or locked.");
}

bool SettingsSheet::saveGroupsNow(const std::vector<GroupRow>& groups) {
    if (const int err = saveGroups(setup_.iniPath, groups)) {
        showSaveError(err);
        return false;
    }
    values_.groups = groups;
    if (setup_.signalReset) setup_.signalReset();
    // The shared folders offer groups as owners.
    folders_->refreshChoices();
    return true;
}

bool SettingsSheet::apply() {
    std::vector<SheetPage> changed;
    for (SheetPageWidget* p : pages_)
        if (p->modified()) changed.push_back(p->page());
    if (changed.empty()) return true;
    SheetValues v = values();
    if (const int err = saveSheet(setup_.iniPath, v, changed)) {
        showSaveError(err);
        return false;
    }
    // The start-at-login box lives outside the settings file.
    if (misc_->modified() && v.misc.startAtLogin != values_.misc.startAtLogin) {
        if (const int err = setStartAtLogin(setup_.autostartPath, setup_.program, v.misc.startAtLogin)) {
            setup_.prompts.tell(this, QMessageBox::Warning, "Quorvane Pro - Error saving changes",
                                QString("Unable to update %1: %2")
                                    .arg(qstr(setup_.autostartPath), QString::fromLocal8Bit(std::strerror(err))));
            v.misc.startAtLogin = values_.misc.startAtLogin;
        }
    }
    values_ = std::move(v);
    for (SheetPageWidget* p : pages_) p->clearModified();
    updateApply();
    if (setup_.signalReset) setup_.signalReset();
    const bool restart = std::find(changed.begin(), changed.end(), SheetPage::kGeneral) != changed.end() ||
                         std::find(changed.begin(), changed.end(), SheetPage::kServers) != changed.end();
    if (restart)
        setup_.prompts.tell(this, QMessageBox::Information, "Quorvane Pro - Changes",
                            "You will have to restart Quorvane Pro for some of the changes to take effect.");
    return true;
}

void SettingsSheet::accept() {
    if (apply()) QDialog::accept();
}

void SettingsSheet::updateApply() {
    bool any = false;
    for (SheetPageWidget* p : pages_) any = any || (p && p->modified());
    buttons_->button(QDialogButtonBox::Apply)->setEnabled(any);
}

void SettingsSheet::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    pageShown(tabs_->currentIndex());
}

void SettingsSheet::pageShown(int index) {
    if (index == static_cast<int>(SheetPage::kSharedFolders)) folders_->refreshChoices();
    if (index != static_cast<int>(SheetPage::kUsers) || !values_.unknownScrambleVersion || scrambleWarned_) return;
    scrambleWarned_ = true;
    setup_.prompts.tell(this, QMessageBox::Warning, "Password Scramble Version Error",
                        "Error!  The passwords have been scrambled with an unknown version of Quorvane.  Please use "
                        "an updated version of this program.");
}

}  // namespace qv
