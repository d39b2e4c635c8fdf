// The small dialogs of the settings editor's list pages (new user,
// password, FTP options, groups, file type, FTP rights, server kind and
// server properties), and the prompts they and the sheet put to the user.
// Every message box and every modal dialog goes through SheetPrompts, so
// tests answer them without a user.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QSpinBox>
#include <functional>
#include <optional>

#include "windowed/settings_model.h"

namespace qv {

struct SheetPrompts {
    // A message with an OK button: QMessageBox::Warning or Information.
    std::function<void(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text)> tell;
    // A Yes/No question; true for Yes.
    std::function<bool(QWidget* parent, const QString& title, const QString& text)> ask;
    // Runs a dialog modally; true when it was accepted.
    std::function<bool(QDialog& dialog)> run;
    // A folder picked in a chooser titled `title`, or "" when cancelled.
    std::function<QString(QWidget* parent, const QString& title, const QString& start)> chooseFolder;
};
// Message boxes, exec() and the desktop's folder chooser.
SheetPrompts sheetDialogPrompts();

// The folder chooser "Choose a Folder"; a choice that is no folder gets
// "That is not a real folder." and counts as no choice.
std::optional<QString> chooseRealFolder(QWidget* parent, const SheetPrompts& prompts, const QString& start);

QString qstr(const std::string& text);
std::string sstr(const QString& text);

// "New User": a name of up to 8 letters, checked against the names in use.
class UserNameDialog : public QDialog {
    Q_OBJECT
public:
    UserNameDialog(QStringList taken, const SheetPrompts& prompts, QWidget* parent);
    QLineEdit* nameEdit() { return name_; }
    QString name() const { return name_->text(); }
    void accept() override;

private:
    QStringList taken_;
    const SheetPrompts& prompts_;
    QLineEdit* name_;
};

// "Change Password": the new password typed twice.
class PasswordDialog : public QDialog {
    Q_OBJECT
public:
    PasswordDialog(const QString& user, bool scrambling, const SheetPrompts& prompts, QWidget* parent);
    QLineEdit* firstEdit() { return first_; }
    QLineEdit* secondEdit() { return second_; }
    QString password() const { return first_->text(); }
    void accept() override;

private:
    bool scrambling_;
    const SheetPrompts& prompts_;
    QLineEdit* first_;
    QLineEdit* second_;
};

// "FTP Options for '<user>'": home folder and the three FTP switches.
class FtpOptionsDialog : public QDialog {
    Q_OBJECT
public:
    FtpOptionsDialog(const UserRow& user, const QStringList& folders, QWidget* parent);
    void store(UserRow& user) const;
    QComboBox* homeBox() { return home_; }
    QCheckBox* writeBox() { return write_; }
    QCheckBox* restrictBox() { return restrict_; }
    QCheckBox* superBox() { return super_; }

private:
    QComboBox* home_;
    QCheckBox* write_;
    QCheckBox* restrict_;
    QCheckBox* super_;
};

// "Groups for '<user>'": the groups the user belongs to and the others,
// moved between the two lists; "New" adds a group (at most kEditorGroups).
class GroupsDialog : public QDialog {
    Q_OBJECT
public:
    GroupsDialog(const QString& user, std::vector<GroupRow> groups, const SheetPrompts& prompts, QWidget* parent);
    const std::vector<GroupRow>& groups() const { return groups_; }
    bool changed() const { return changed_; }
    QListWidget* memberList() { return member_; }
    QListWidget* otherList() { return other_; }
    QLineEdit* newNameEdit() { return newName_; }
    void join();       // the selected groups of the other list
    void leave();      // the selected groups of the member list
    void addGroup();   // the name typed in newNameEdit()

private:
    void fill();
    GroupRow* find(const QString& name);

    std::string user_;
    std::vector<GroupRow> groups_;
    const SheetPrompts& prompts_;
    bool changed_ = false;
    QListWidget* member_;
    QListWidget* other_;
    QLineEdit* newName_;
};

// "New Mapping" / "Edit Mapping": one row of the file types.
class FileTypeDialog : public QDialog {
    Q_OBJECT
public:
    FileTypeDialog(const QString& title, const FileTypeRow& row, const SheetPrompts& prompts, QWidget* parent);
    FileTypeRow row() const;
    QLineEdit* extensionEdit() { return extension_; }
    QLineEdit* gopherEdit() { return gopher_; }
    QLineEdit* mimeEdit() { return mime_; }
    QLineEdit* iconEdit() { return icon_; }
    void accept() override;

private:
    const SheetPrompts& prompts_;
    QLineEdit* extension_;
    QLineEdit* gopher_;
    QLineEdit* mime_;
    QLineEdit* icon_;
};

// "FTP Rights for '<path>'": FTP owner and group of a shared folder and
// the letters r, w, l for owner, group and everyone.
class RightsDialog : public QDialog {
    Q_OBJECT
public:
    RightsDialog(const FolderRow& folder, const QStringList& users, const QStringList& groups, QWidget* parent);
    void store(FolderRow& folder) const;
    QComboBox* ownerBox() { return owner_; }
    QComboBox* groupBox() { return group_; }
    // who: 0 owner, 1 group, 2 everyone; what: 0 r, 1 w, 2 l.
    QCheckBox* letterBox(int who, int what) { return letters_[who * 3 + what]; }

private:
    QComboBox* owner_;
    QComboBox* group_;
    QCheckBox* letters_[9];
};

// "What kind of server do you want to add?"
class ServerKindDialog : public QDialog {
    Q_OBJECT
public:
    explicit ServerKindDialog(QWidget* parent);
    QComboBox* kindBox() { return kind_; }
    // The type text written for the kind chosen ("httpd", "gopherd", ...).
    std::string typeText() const;

private:
    QComboBox* kind_;
};

// "Server Properties": one row of the server table.
class ServerDialog : public QDialog {
    Q_OBJECT
public:
    ServerDialog(const ServerRow& row, const SheetPrompts& prompts, QWidget* parent);
    ServerRow row() const;
    QComboBox* typeBox() { return type_; }
    QLineEdit* portEdit() { return port_; }
    QLineEdit* dirEdit() { return dir_; }
    QLineEdit* logdirEdit() { return logdir_; }
    QLineEdit* hostEdit() { return host_; }
    QLineEdit* ipEdit() { return ip_; }
    QLineEdit* aliasEdit() { return alias_; }
    void accept() override;

private:
    const SheetPrompts& prompts_;
    QComboBox* type_;
    QLineEdit* port_;
    QLineEdit* dir_;
    QLineEdit* logdir_;
    QLineEdit* host_;
    QLineEdit* ip_;
    QLineEdit* alias_;
};

}  // namespace qv
