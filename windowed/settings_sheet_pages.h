// The nine pages of the settings sheet.  Each page fills its controls from
// the values read at opening, sets its modified flag on any change, and
// copies its controls back into a SheetValues when the sheet saves.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTreeWidget>
#include <QWidget>

#include "windowed/settings_dialogs.h"
#include "windowed/settings_model.h"

namespace qv {

class SettingsSheet;

class SheetPageWidget : public QWidget {
    Q_OBJECT
public:
    SheetPageWidget(SheetPage page, SettingsSheet& sheet);
    SheetPage page() const { return page_; }
    bool modified() const { return modified_; }
    void clearModified() { modified_ = false; }
    // Copies the page's controls into `values`.
    virtual void store(SheetValues& values) const = 0;

public slots:
    void markModified();

signals:
    void modifiedChanged();

protected:
    // Every line edit, check box and spin box of the page sets the flag
    // when it changes (call after filling them).
    void watchControls();
    const SheetPrompts& prompts() const;

    SettingsSheet& sheet_;

private:
    SheetPage page_;
    bool modified_ = false;
};

// A list of the page: no tree, whole rows selected.
QTreeWidget* makeList(QWidget* parent, const QStringList& columns);

class GeneralPage : public SheetPageWidget {
    Q_OBJECT
public:
    GeneralPage(SettingsSheet& sheet, const GeneralValues& v);
    void store(SheetValues& values) const override;
    QLineEdit *name, *organization, *email, *hostname, *ip;
};

class LoggingPage : public SheetPageWidget {
    Q_OBJECT
public:
    LoggingPage(SettingsSheet& sheet, const LoggingValues& v);
    void store(SheetValues& values) const override;
    QLineEdit* logdir;
    QCheckBox *extended, *extendedServer, *extendedReferer, *extendedAgent;
    QCheckBox *enableFiles, *accessFile, *refererFile, *agentFile, *errorFile;
};

class HitCountsPage : public SheetPageWidget {
    Q_OBJECT
public:
    HitCountsPage(SettingsSheet& sheet, const HitCountValues& v);
    void store(SheetValues& values) const override;
    QCheckBox *countFileHits, *addToFileHits, *localFileHits;

private:
    void editCounts();
};

class MiscPage : public SheetPageWidget {
    Q_OBJECT
public:
    MiscPage(SettingsSheet& sheet, const MiscValues& v);
    void store(SheetValues& values) const override;
    QLineEdit *tempdir, *securityRealm;
    QCheckBox *dnsMode, *dnsUseCache;
    QSpinBox *httpTimeout, *gopherTimeout, *ftpTimeout, *sendBuffer;
    QCheckBox *askBeforeQuit, *minimize, *hide, *startAtLogin;
};

class CgiPage : public SheetPageWidget {
    Q_OBJECT
public:
    CgiPage(SettingsSheet& sheet, const CgiValues& v);
    void store(SheetValues& values) const override;
    QLineEdit *compiler, *directory, *gmtOffset;
    QCheckBox* debugMode;
};

class UsersPage : public SheetPageWidget {
    Q_OBJECT
public:
    UsersPage(SettingsSheet& sheet, std::vector<UserRow> users);
    void store(SheetValues& values) const override;
    const std::vector<UserRow>& users() const { return users_; }
    QStringList names() const;
    QTreeWidget* list() { return list_; }
    // The buttons' commands, on the selected user.
    void newUser();
    void changePassword();
    void removeUser();
    void ftpOptions();
    void editGroups();
    // "*+w  name" as the list shows it.
    static QString rowText(const UserRow& user);

private:
    void refill(int select);
    int selected() const;

    std::vector<UserRow> users_;
    QTreeWidget* list_;
};

class FileTypesPage : public SheetPageWidget {
    Q_OBJECT
public:
    FileTypesPage(SettingsSheet& sheet, std::vector<FileTypeRow> types);
    void store(SheetValues& values) const override;
    QTreeWidget* list() { return list_; }
    void newMapping();
    void editMapping();
    void removeMapping();

private:
    void refill(int select);

    std::vector<FileTypeRow> types_;
    QTreeWidget* list_;
};

class SharedFoldersPage : public SheetPageWidget {
    Q_OBJECT
public:
    SharedFoldersPage(SettingsSheet& sheet, std::vector<FolderRow> folders);
    void store(SheetValues& values) const override;
    const std::vector<FolderRow>& folders() const { return folders_; }
    QStringList urlPaths() const;
    QTreeWidget* list() { return list_; }
    void addFolder();
    void removeFolder();
    void chooseFolder();  // "..."
    void editRights();
    void setFtpView(bool ftp);
    // The row as the web view and the FTP view show it, a column a field.
    static QStringList webColumns(const FolderRow& folder);
    static QStringList ftpColumns(const FolderRow& folder);
    // Owner and access choices offered now (users and groups may change).
    void refreshChoices();

    QLineEdit *urlPath, *folder;
    QComboBox *owner, *access;
    QCheckBox *cgi, *messages, *listings;
    QRadioButton *webView, *ftpView;

private:
    void refill(int select);
    void showSelected();
    void editSelected();
    int selected() const;

    std::vector<FolderRow> folders_;
    QTreeWidget* list_;
    bool filling_ = false;
};

class ServersPage : public SheetPageWidget {
    Q_OBJECT
public:
    ServersPage(SettingsSheet& sheet, const ServersValues& v);
    void store(SheetValues& values) const override;
    QTreeWidget* list() { return list_; }
    void newServer();
    void editServer();
    void removeServer();

    QLineEdit *webdir, *ftpdir, *gopherdir;
    QSpinBox *httpPort, *ftpPort, *gopherPort;

private:
    void refill(int select);

    std::vector<ServerRow> servers_;
    QTreeWidget* list_;
};

}  // namespace qv
