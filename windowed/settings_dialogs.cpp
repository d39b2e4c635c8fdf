#include "windowed/settings_dialogs.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>
#include <algorithm>

namespace qv {

namespace {

// OK and Cancel under `layout`, wired to the dialog.
void addButtons(QDialog* dialog, QBoxLayout* layout) {
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    layout->addWidget(buttons);
}

QLineEdit* lineEdit(QWidget* parent, const std::string& text, int maxLength) {
    auto* edit = new QLineEdit(qstr(text), parent);
    edit->setMaxLength(maxLength);
    return edit;
}

// Words of the settings file are separated by blanks: none may hold one.
QValidator* noBlanks(QObject* parent) {
    return new QRegularExpressionValidator(QRegularExpression("[^\\s]*"), parent);
}

bool hasBlank(const QString& text) {
    return std::any_of(text.begin(), text.end(), [](QChar c) { return c.isSpace(); });
}

}  // namespace

QString qstr(const std::string& text) { return QString::fromStdString(text); }
std::string sstr(const QString& text) { return text.toStdString(); }

SheetPrompts sheetDialogPrompts() {
    SheetPrompts p;
    p.tell = [](QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text) {
        QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
        box.exec();
    };
    p.ask = [](QWidget* parent, const QString& title, const QString& text) {
        return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
    };
    p.run = [](QDialog& dialog) { return dialog.exec() == QDialog::Accepted; };
    p.chooseFolder = [](QWidget* parent, const QString& title, const QString& start) {
        return QFileDialog::getExistingDirectory(parent, title, start);
    };
    return p;
}

std::optional<QString> chooseRealFolder(QWidget* parent, const SheetPrompts& prompts, const QString& start) {
    const QString chosen = prompts.chooseFolder(parent, "Choose a Folder", start);
    if (chosen.isEmpty()) return std::nullopt;
    if (!QFileInfo(chosen).isDir()) {
        prompts.tell(parent, QMessageBox::Warning, "Sorry", "That is not a real folder.");
        return std::nullopt;
    }
    // Folders in the settings file end in a slash.
    return chosen.endsWith('/') ? chosen : chosen + '/';
}

// ---- New User

UserNameDialog::UserNameDialog(QStringList taken, const SheetPrompts& prompts, QWidget* parent)
    : QDialog(parent), taken_(std::move(taken)), prompts_(prompts), name_(new QLineEdit(this)) {
    setWindowTitle("New User");
    name_->setMaxLength(8);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel("The username can be up to 8 letters and should be unique.", this));
    auto* form = new QFormLayout;
    form->addRow("Username:", name_);
    layout->addLayout(form);
    addButtons(this, layout);
}

void UserNameDialog::accept() {
    const QString name = name_->text();
    if (name.isEmpty()) {
        prompts_.tell(this, QMessageBox::Warning, "Username Empty",
                      "The username must contain at least one character.  Please type a new username.");
        return;
    }
    if (taken_.contains(name, Qt::CaseInsensitive)) {
        prompts_.tell(this, QMessageBox::Warning, "Duplicate Username",
                      "The username already exists.  Please type a new username.");
        return;
    }
    if (!validUserName(sstr(name))) {
        prompts_.tell(this, QMessageBox::Warning, "Invalid Username",
                      "The username cannot contain blanks, control characters or \"=\".  Please type a new "
                      "username.");
        return;
    }
    QDialog::accept();
}

// ---- Change Password

PasswordDialog::PasswordDialog(const QString& user, bool scrambling, const SheetPrompts& prompts, QWidget* parent)
    : QDialog(parent), scrambling_(scrambling), prompts_(prompts), first_(new QLineEdit(this)),
      second_(new QLineEdit(this)) {
    setWindowTitle("Change Password");
    first_->setEchoMode(QLineEdit::Password);
    second_->setEchoMode(QLineEdit::Password);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QString("Type the new password of '%1' twice.").arg(user), this));
    auto* form = new QFormLayout;
    form->addRow("New Password:", first_);
    form->addRow("Confirm Password:", second_);
    layout->addLayout(form);
    addButtons(this, layout);
}

void PasswordDialog::accept() {
    const QString password = first_->text();
    if (password != second_->text()) {
        prompts_.tell(this, QMessageBox::Warning, "Password Missmatch",
                      "The two passwords do not match.  Please enter the same password in each box.");
        return;
    }
    if (password.isEmpty()) {
        if (!prompts_.ask(this, "Password Empty",
                          "The password you just entered was blank.  This could be a security problem.  Do you "
                          "want to leave it blank?"))
            return;
    } else if (auto problem = passwordProblem(sstr(password), scrambling_)) {
        prompts_.tell(this, QMessageBox::Warning, "Invalid Password", qstr(*problem));
        return;
    }
    QDialog::accept();
}

// ---- FTP Options

FtpOptionsDialog::FtpOptionsDialog(const UserRow& user, const QStringList& folders, QWidget* parent)
    : QDialog(parent), home_(new QComboBox(this)),
      write_(new QCheckBox("User can write to Home Directory", this)),
      restrict_(new QCheckBox("Restrict to Home Directory", this)),
      super_(new QCheckBox("User is FTP Super User", this)) {
    setWindowTitle(QString("FTP Options for '%1'").arg(qstr(user.name)));
    home_->setEditable(true);
    home_->addItem("");
    home_->addItems(folders);
    home_->setCurrentText(qstr(user.ftpDir));
    home_->lineEdit()->setPlaceholderText("(no home directory)");
    home_->setMinimumContentsLength(24);
    write_->setChecked(user.ftpWrite);
    restrict_->setChecked(user.ftpRestrict);
    super_->setChecked(user.ftpSuperUser);
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    form->addRow("Home Directory:", home_);
    layout->addLayout(form);
    layout->addWidget(write_);
    layout->addWidget(restrict_);
    layout->addWidget(super_);
    addButtons(this, layout);
}

void FtpOptionsDialog::store(UserRow& user) const {
    user.ftpDir = sstr(home_->currentText().trimmed());
    user.ftpWrite = write_->isChecked();
    user.ftpRestrict = restrict_->isChecked();
    user.ftpSuperUser = super_->isChecked();
}

// ---- Groups

GroupsDialog::GroupsDialog(const QString& user, std::vector<GroupRow> groups, const SheetPrompts& prompts,
                           QWidget* parent)
    : QDialog(parent), user_(sstr(user)), groups_(std::move(groups)), prompts_(prompts),
      member_(new QListWidget(this)), other_(new QListWidget(this)), newName_(new QLineEdit(this)) {
    setWindowTitle(QString("Groups for '%1'").arg(user));
    member_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    other_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    newName_->setValidator(noBlanks(newName_));
    newName_->setMaxLength(16);
    auto* joinButton = new QPushButton("<< Add", this);
    auto* leaveButton = new QPushButton("Remove >>", this);
    auto* newButton = new QPushButton("New", this);
    connect(joinButton, &QPushButton::clicked, this, &GroupsDialog::join);
    connect(leaveButton, &QPushButton::clicked, this, &GroupsDialog::leave);
    connect(newButton, &QPushButton::clicked, this, &GroupsDialog::addGroup);
    connect(other_, &QListWidget::itemDoubleClicked, this, &GroupsDialog::join);
    connect(member_, &QListWidget::itemDoubleClicked, this, &GroupsDialog::leave);

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel("Member of:", this), 0, 0);
    grid->addWidget(new QLabel("Not a member of:", this), 0, 2);
    grid->addWidget(member_, 1, 0);
    auto* middle = new QVBoxLayout;
    middle->addStretch();
    middle->addWidget(joinButton);
    middle->addWidget(leaveButton);
    middle->addStretch();
    grid->addLayout(middle, 1, 1);
    grid->addWidget(other_, 1, 2);
    auto* newRow = new QHBoxLayout;
    newRow->addWidget(new QLabel("New Group:", this));
    newRow->addWidget(newName_, 1);
    newRow->addWidget(newButton);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addLayout(newRow);
    addButtons(this, layout);
    fill();
    resize(420, 300);
}

void GroupsDialog::fill() {
    member_->clear();
    other_->clear();
    for (const GroupRow& g : groups_) {
        const bool in = std::find(g.members.begin(), g.members.end(), user_) != g.members.end();
        (in ? member_ : other_)->addItem(qstr(g.name));
    }
}

GroupRow* GroupsDialog::find(const QString& name) {
    for (GroupRow& g : groups_)
        if (qstr(g.name) == name) return &g;
    return nullptr;
}

void GroupsDialog::join() {
    for (QListWidgetItem* item : other_->selectedItems())
        if (GroupRow* g = find(item->text())) {
            g->members.push_back(user_);
            changed_ = true;
        }
    fill();
}

void GroupsDialog::leave() {
    for (QListWidgetItem* item : member_->selectedItems())
        if (GroupRow* g = find(item->text())) {
            std::erase(g->members, user_);
            changed_ = true;
        }
    fill();
}

void GroupsDialog::addGroup() {
    const QString name = newName_->text().trimmed();
    if (name.isEmpty()) return;
    if (static_cast<int>(groups_.size()) >= kEditorGroups) {
        prompts_.tell(this, QMessageBox::Warning, "Sorry", "Too many groups");
        return;
    }
    if (find(name) || hasBlank(name) || name.contains(',')) {
        prompts_.tell(this, QMessageBox::Warning, "Sorry",
                      "That group already exists, or its name holds a blank or a comma.");
        return;
    }
    // A new group starts with the user in it: a group without members
    // would have no use.
    groups_.push_back({sstr(name), {user_}});
    changed_ = true;
    newName_->clear();
    fill();
}

// ---- File types

FileTypeDialog::FileTypeDialog(const QString& title, const FileTypeRow& row, const SheetPrompts& prompts,
                               QWidget* parent)
    : QDialog(parent), prompts_(prompts), extension_(lineEdit(this, row.extension, 16)),
      gopher_(lineEdit(this, std::string(1, row.gopherType), 1)), mime_(lineEdit(this, row.mimeType, 80)),
      icon_(lineEdit(this, row.icon, 120)) {
    setWindowTitle(title);
    for (QLineEdit* e : {extension_, gopher_, mime_, icon_}) e->setValidator(noBlanks(e));
    extension_->setPlaceholderText("HTM, TXT, ... or * for any other");
    mime_->setPlaceholderText("text/html");
    icon_->setPlaceholderText("/gifs/page.gif");
    gopher_->setMaximumWidth(40);
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    form->addRow("Extension:", extension_);
    form->addRow("Gopher Type:", gopher_);
    form->addRow("MIME Type:", mime_);
    form->addRow("Icon URL:", icon_);
    layout->addLayout(form);
    addButtons(this, layout);
    resize(360, sizeHint().height());
}

FileTypeRow FileTypeDialog::row() const {
    FileTypeRow r;
    r.extension = sstr(extension_->text().trimmed());
    const QString type = gopher_->text();
    r.gopherType = type.isEmpty() ? '9' : type.at(0).toLatin1();
    r.mimeType = sstr(mime_->text().trimmed());
    r.icon = sstr(icon_->text().trimmed());
    return r;
}

void FileTypeDialog::accept() {
    if (extension_->text().trimmed().isEmpty() || mime_->text().trimmed().isEmpty()) {
        prompts_.tell(this, QMessageBox::Warning, "Sorry", "A file type needs an extension and a MIME type.");
        return;
    }
    QDialog::accept();
}

// ---- FTP rights

RightsDialog::RightsDialog(const FolderRow& folder, const QStringList& users, const QStringList& groups,
                           QWidget* parent)
    : QDialog(parent), owner_(new QComboBox(this)), group_(new QComboBox(this)) {
    setWindowTitle(QString("FTP Rights for '%1'").arg(qstr(folder.urlPath)));
    owner_->setEditable(true);
    owner_->addItem("");
    owner_->addItems(users);
    owner_->setCurrentText(qstr(folder.ftpOwner));
    owner_->lineEdit()->setPlaceholderText("(nobody)");
    group_->setEditable(true);
    group_->addItem("");
    group_->addItems(groups);
    group_->setCurrentText(qstr(folder.ftpGroup));
    group_->lineEdit()->setPlaceholderText("(nobody)");
    for (QComboBox* box : {owner_, group_}) {
        box->lineEdit()->setValidator(noBlanks(box));
        box->lineEdit()->setMaxLength(16);
        box->setMinimumContentsLength(16);
    }
    auto* form = new QFormLayout;
    form->addRow("FTP Owner:", owner_);
    form->addRow("FTP Group:", group_);

    auto* rights = new QGroupBox("Rights", this);
    auto* grid = new QGridLayout(rights);
    const char* whats[] = {"Read (r)", "Write (w)", "List (l)"};
    const char* whos[] = {"Owner", "Group", "Everyone"};
    for (int what = 0; what < 3; ++what)
        grid->addWidget(new QLabel(whats[what], rights), 0, what + 1, Qt::AlignHCenter);
    const std::string letters = folder.ftpRights.size() == 9 ? folder.ftpRights : std::string(9, '.');
    for (int who = 0; who < 3; ++who) {
        grid->addWidget(new QLabel(whos[who], rights), who + 1, 0);
        for (int what = 0; what < 3; ++what) {
            auto* box = new QCheckBox(rights);
            box->setChecked(letters[static_cast<std::size_t>(who * 3 + what)] == "rwl"[what]);
            letters_[who * 3 + what] = box;
            grid->addWidget(box, who + 1, what + 1, Qt::AlignHCenter);
        }
    }
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(rights);
    addButtons(this, layout);
}

void RightsDialog::store(FolderRow& folder) const {
    folder.ftpOwner = sstr(owner_->currentText().trimmed());
    folder.ftpGroup = sstr(group_->currentText().trimmed());
    std::string letters(9, '.');
    for (int i = 0; i < 9; ++i)
        if (letters_[i]->isChecked()) letters[static_cast<std::size_t>(i)] = "rwl"[i % 3];
    folder.ftpRights = letters;
}

// ---- Servers

namespace {

struct ServerKind {
    const char* name;
    const char* type;
};
constexpr ServerKind kServerKinds[] = {
    {"web", "httpd"}, {"gopher", "gopherd"}, {"ftp", "ftpd"}, {"talk", "talk"}, {"mail", "mail"}};

}  // namespace

ServerKindDialog::ServerKindDialog(QWidget* parent) : QDialog(parent), kind_(new QComboBox(this)) {
    setWindowTitle("New Server");
    for (const ServerKind& k : kServerKinds) kind_->addItem(k.name);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel("What kind of server do you want to add?", this));
    layout->addWidget(kind_);
    addButtons(this, layout);
}

std::string ServerKindDialog::typeText() const { return kServerKinds[std::max(0, kind_->currentIndex())].type; }

ServerDialog::ServerDialog(const ServerRow& row, const SheetPrompts& prompts, QWidget* parent)
    : QDialog(parent), prompts_(prompts), type_(new QComboBox(this)), port_(lineEdit(this, row.port, 7)),
      dir_(lineEdit(this, row.dir, 258)), logdir_(lineEdit(this, row.logdir, 258)),
      host_(lineEdit(this, row.host, 89)), ip_(lineEdit(this, row.ip, 30)),
      alias_(lineEdit(this, row.virtualAlias, 258)) {
    setWindowTitle("Server Properties");
    type_->setEditable(true);
    for (const ServerKind& k : kServerKinds) type_->addItem(k.type);
    type_->setCurrentText(qstr(row.type));
    type_->lineEdit()->setMaxLength(7);
    port_->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), port_));
    for (QLineEdit* e : {dir_, logdir_, host_, ip_, alias_}) e->setValidator(noBlanks(e));
    dir_->setPlaceholderText("(the default home directory)");
    logdir_->setPlaceholderText("(the log file directory)");
    host_->setPlaceholderText("(the DNS host name)");
    ip_->setPlaceholderText("(every address)");
    auto folderRow = [this](QLineEdit* edit) {
        auto* line = new QHBoxLayout;
        line->addWidget(edit, 1);
        auto* browse = new QPushButton("...", this);
        browse->setMaximumWidth(32);
        connect(browse, &QPushButton::clicked, this, [this, edit] {
            if (auto chosen = chooseRealFolder(this, prompts_, edit->text())) edit->setText(*chosen);
        });
        line->addWidget(browse);
        return line;
    };
    auto* form = new QFormLayout;
    form->addRow("Server Type:", type_);
    form->addRow("Port:", port_);
    form->addRow("Home Directory:", folderRow(dir_));
    form->addRow("Log Directory:", folderRow(logdir_));
    form->addRow("Host Name:", host_);
    form->addRow("Address:", ip_);
    form->addRow("Virtual Alias:", alias_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    addButtons(this, layout);
    resize(420, sizeHint().height());
}

ServerRow ServerDialog::row() const {
    return {sstr(type_->currentText().trimmed()), sstr(port_->text()),  sstr(dir_->text()), sstr(logdir_->text()),
            sstr(host_->text()),                  sstr(ip_->text()),    sstr(alias_->text())};
}

void ServerDialog::accept() {
    const QString type = type_->currentText().trimmed();
    if (type.isEmpty() || hasBlank(type) || type.startsWith('n', Qt::CaseInsensitive)) {
        prompts_.tell(this, QMessageBox::Warning, "Sorry",
                      "Please give the server a type: httpd, gopherd, ftpd, talk or mail.");
        return;
    }
    QDialog::accept();
}

}  // namespace qv
