// "Quorvane Pro - Settings": the tabbed settings editor of qvx_pro.  Nine
// pages (settings_sheet_pages.h); OK and Apply save every changed page in
// one batch and then signal the reset once, so every running engine reloads.
#pragma once

#include <QDialog>
#include <QDialogButtonBox>
#include <QTabWidget>
#include <array>
#include <functional>

#include "windowed/settings_dialogs.h"
#include "windowed/settings_model.h"
#include "windowed/settings_sheet_pages.h"

namespace qv {

struct SheetSetup {
    std::string iniPath;
    // Signals the reset event (every engine reloads).
    std::function<void()> signalReset;
    std::string autostartPath = autostartEntryPath();
    std::string program;  // the autostart entry's program; empty: this program
    SheetPrompts prompts = sheetDialogPrompts();
};

class SettingsSheet : public QDialog {
    Q_OBJECT
public:
    SettingsSheet(SheetValues values, SheetSetup setup, SheetPage first = SheetPage::kGeneral,
                  QWidget* parent = nullptr);

    // Saves the changed pages: true when saved (or nothing was changed).
    bool apply();
    void accept() override;

    // The values as the pages show them now.
    SheetValues values() const;
    bool modified(SheetPage page) const { return pageAt(page)->modified(); }

    QTabWidget* tabs() { return tabs_; }
    QDialogButtonBox* buttons() { return buttons_; }
    SheetPageWidget* pageWidget(SheetPage page) { return pageAt(page); }
    GeneralPage* general() { return general_; }
    LoggingPage* logging() { return logging_; }
    HitCountsPage* hitCounts() { return hitCounts_; }
    MiscPage* misc() { return misc_; }
    UsersPage* users() { return users_; }
    FileTypesPage* fileTypes() { return fileTypes_; }
    SharedFoldersPage* sharedFolders() { return folders_; }
    CgiPage* cgi() { return cgi_; }
    ServersPage* servers() { return servers_; }

    // What the pages share.
    const SheetPrompts& prompts() const { return setup_.prompts; }
    const SheetValues& saved() const { return values_; }
    QStringList userNames() const;
    QStringList groupNames() const;
    QStringList folderPaths() const;
    QStringList hostRestrictions() const;
    bool scrambling() const { return values_.scramblePasswords; }
    const std::vector<GroupRow>& groups() const { return values_.groups; }
    // Writes the groups at once and signals the reset; false (after the
    // message) when the file could not be written.
    bool saveGroupsNow(const std::vector<GroupRow>& groups);
    void showSaveError(int err);

protected:
    void showEvent(QShowEvent* event) override;

private:
    SheetPageWidget* pageAt(SheetPage page) const { return pages_[static_cast<std::size_t>(page)]; }
    void pageShown(int index);
    void updateApply();

    SheetValues values_;
    SheetSetup setup_;
    QTabWidget* tabs_;
    QDialogButtonBox* buttons_;
    std::array<SheetPageWidget*, kSheetPages> pages_ {};
    GeneralPage* general_ = nullptr;
    LoggingPage* logging_ = nullptr;
    HitCountsPage* hitCounts_ = nullptr;
    MiscPage* misc_ = nullptr;
    UsersPage* users_ = nullptr;
    FileTypesPage* fileTypes_ = nullptr;
    SharedFoldersPage* folders_ = nullptr;
    CgiPage* cgi_ = nullptr;
    ServersPage* servers_ = nullptr;
    bool scrambleWarned_ = false;
};

}  // namespace qv
