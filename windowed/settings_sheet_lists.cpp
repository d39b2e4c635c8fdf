// The list pages of the settings sheet: users, file types, shared folders
// and servers.  Each keeps its rows as records and redraws its list from
// them; the numbering of the settings file is the model's, at save time.
#include <QFontDatabase>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QVBoxLayout>
#include <functional>
#include <tuple>

#include "engine/quorvane.h"
#include "windowed/settings_sheet.h"

namespace qv {

namespace {

// A column of buttons beside a list, running the page's commands.
QVBoxLayout* buttonColumn(QWidget* page, std::initializer_list<std::pair<const char*, std::function<void()>>> buttons,
                          std::vector<QPushButton*>* made = nullptr) {
    auto* column = new QVBoxLayout;
    for (const auto& [text, action] : buttons) {
        auto* b = new QPushButton(text, page);
        QObject::connect(b, &QPushButton::clicked, page, action);
        column->addWidget(b);
        if (made) made->push_back(b);
    }
    column->addStretch();
    return column;
}

int currentRow(const QTreeWidget* list) {
    const QTreeWidgetItem* item = list->currentItem();
    return item ? list->indexOfTopLevelItem(const_cast<QTreeWidgetItem*>(item)) : -1;
}

void selectRow(QTreeWidget* list, int row) {
    if (row >= 0 && row < list->topLevelItemCount()) list->setCurrentItem(list->topLevelItem(row));
}

// Buttons that act on a row are of use only while one is selected.
void enableOnSelection(QTreeWidget* list, const std::vector<QPushButton*>& buttons) {
    auto update = [list, buttons] {
        for (QPushButton* b : buttons) b->setEnabled(list->currentItem() != nullptr);
    };
    QObject::connect(list, &QTreeWidget::currentItemChanged, list, update);
    update();
}

QTreeWidgetItem* addRow(QTreeWidget* list, const QStringList& columns, const QStringList& tips = {}) {
    auto* item = new QTreeWidgetItem(list, columns);
    for (int i = 0; i < tips.size(); ++i) item->setToolTip(i, tips[i]);
    return item;
}

}  // namespace

// ---- Users

UsersPage::UsersPage(SettingsSheet& sheet, std::vector<UserRow> users)
    : SheetPageWidget(SheetPage::kUsers, sheet), users_(std::move(users)),
      list_(makeList(this, {"User", "FTP Directory"})) {
    list_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    list_->setColumnWidth(0, 170);
    std::vector<QPushButton*> onRow;
    auto* newButton = new QPushButton("New User", this);
    connect(newButton, &QPushButton::clicked, this, &UsersPage::newUser);
    auto* column = buttonColumn(this,
                                {{"Change Password", [this] { changePassword(); }},
                                 {"Remove User", [this] { removeUser(); }},
                                 {"FTP Options", [this] { ftpOptions(); }},
                                 {"Groups", [this] { editGroups(); }}},
                                &onRow);
    column->insertWidget(0, newButton);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, [this] { ftpOptions(); });
    auto* legend = new QLabel("* FTP super user    + not restricted to the home directory    w can write there", this);
    auto* grid = new QGridLayout(this);
    grid->addWidget(list_, 0, 0);
    grid->addLayout(column, 0, 1);
    grid->addWidget(legend, 1, 0, 1, 2);
    refill(users_.empty() ? -1 : 0);
    enableOnSelection(list_, onRow);
}

QString UsersPage::rowText(const UserRow& u) {
    return QString("%1%2%3  %4")
        .arg(u.ftpSuperUser ? '*' : '.')
        .arg(u.ftpRestrict ? '.' : '+')
        .arg(u.ftpWrite ? 'w' : '.')
        .arg(qstr(u.name));
}

void UsersPage::refill(int select) {
    list_->clear();
    for (const UserRow& u : users_) addRow(list_, {rowText(u), qstr(u.ftpDir)});
    selectRow(list_, select);
}

int UsersPage::selected() const { return currentRow(list_); }

QStringList UsersPage::names() const {
    QStringList names;
    for (const UserRow& u : users_) names << qstr(u.name);
    return names;
}

void UsersPage::store(SheetValues& values) const { values.users = users_; }

void UsersPage::newUser() {
    if (static_cast<int>(users_.size()) >= kEditorUsers) {
        prompts().tell(this, QMessageBox::Warning, "Too Many Users",
                       "Sorry.  Too many users.  Current limit is 200 users.");
        return;
    }
    UserNameDialog dialog(names(), prompts(), this);
    if (!prompts().run(dialog)) return;
    UserRow user;
    user.name = sstr(dialog.name());
    users_.push_back(std::move(user));
    refill(static_cast<int>(users_.size()) - 1);
    markModified();
}

void UsersPage::changePassword() {
    const int row = selected();
    if (row < 0) return;
    UserRow& user = users_[static_cast<std::size_t>(row)];
    PasswordDialog dialog(qstr(user.name), sheet_.scrambling(), prompts(), this);
    if (!prompts().run(dialog)) return;
    user.password = sstr(dialog.password());
    markModified();
}

void UsersPage::removeUser() {
    const int row = selected();
    if (row < 0) return;
    const QString name = qstr(users_[static_cast<std::size_t>(row)].name);
    if (!prompts().ask(this, "Delete User", QString("Are you sure that you want to delete the '%1' user?").arg(name)))
        return;
    users_.erase(users_.begin() + row);
    refill(std::min(row, static_cast<int>(users_.size()) - 1));
    markModified();
}

void UsersPage::ftpOptions() {
    const int row = selected();
    if (row < 0) return;
    UserRow& user = users_[static_cast<std::size_t>(row)];
    FtpOptionsDialog dialog(user, sheet_.folderPaths(), this);
    if (!prompts().run(dialog)) return;
    dialog.store(user);
    refill(row);
    markModified();
}

// The groups are written at once, apart from the sheet.
void UsersPage::editGroups() {
    const int row = selected();
    if (row < 0) return;
    GroupsDialog dialog(qstr(users_[static_cast<std::size_t>(row)].name), sheet_.groups(), prompts(), this);
    if (!prompts().run(dialog) || !dialog.changed()) return;
    sheet_.saveGroupsNow(dialog.groups());
}

// ---- File Types

FileTypesPage::FileTypesPage(SettingsSheet& sheet, std::vector<FileTypeRow> types)
    : SheetPageWidget(SheetPage::kFileTypes, sheet), types_(std::move(types)),
      list_(makeList(this, {"Extension", "Gopher Type", "MIME Type", "Icon"})) {
    for (int column = 0; const int width : {80, 90, 200}) list_->setColumnWidth(column++, width);
    std::vector<QPushButton*> onRow;
    auto* newButton = new QPushButton("New Mapping", this);
    connect(newButton, &QPushButton::clicked, this, &FileTypesPage::newMapping);
    auto* column =
        buttonColumn(this, {{"Edit", [this] { editMapping(); }}, {"Remove", [this] { removeMapping(); }}}, &onRow);
    column->insertWidget(0, newButton);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, [this] { editMapping(); });
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(list_);
    layout->addLayout(column);
    refill(types_.empty() ? -1 : 0);
    enableOnSelection(list_, onRow);
}

void FileTypesPage::refill(int select) {
    list_->clear();
    for (const FileTypeRow& t : types_)
        addRow(list_, {qstr(t.extension), QString(QChar(t.gopherType)), qstr(t.mimeType), qstr(t.icon)});
    selectRow(list_, select);
}

void FileTypesPage::store(SheetValues& values) const { values.fileTypes = types_; }

void FileTypesPage::newMapping() {
    if (static_cast<int>(types_.size()) >= kEditorFileTypes) {
        prompts().tell(this, QMessageBox::Warning, "Too Many Entries",
                       "Sorry.  Too many file types.  Current limit is 101 entries.");
        return;
    }
    FileTypeDialog dialog("New Mapping", FileTypeRow {}, prompts(), this);
    if (!prompts().run(dialog)) return;
    types_.push_back(dialog.row());
    refill(static_cast<int>(types_.size()) - 1);
    markModified();
}

void FileTypesPage::editMapping() {
    const int row = currentRow(list_);
    if (row < 0) return;
    FileTypeDialog dialog("Edit Mapping", types_[static_cast<std::size_t>(row)], prompts(), this);
    if (!prompts().run(dialog)) return;
    types_[static_cast<std::size_t>(row)] = dialog.row();
    refill(row);
    markModified();
}

void FileTypesPage::removeMapping() {
    const int row = currentRow(list_);
    if (row < 0) return;
    types_.erase(types_.begin() + row);
    refill(std::min(row, static_cast<int>(types_.size()) - 1));
    markModified();
}

// ---- Shared Folders

namespace {

const QStringList kWebColumns = {"URL Path", "Folder", "Owner", "Access", "Flags"};
const QStringList kFtpColumns = {"URL Path", "Folder", "FTP Owner", "FTP Group", "Rights"};

QString flagLetters(const FolderRow& f) {
    return QString("%1%2%3")
        .arg(!f.cgi ? '.' : f.standardCgi ? 's' : 'C')
        .arg(f.messages ? 'M' : '.')
        .arg(f.listings ? 'D' : '.');
}

}  // namespace

QStringList SharedFoldersPage::webColumns(const FolderRow& f) {
    return {qstr(f.urlPath).left(15), qstr(f.folder).left(13), qstr(f.owner).left(8), qstr(f.access).left(8),
            flagLetters(f)};
}

QStringList SharedFoldersPage::ftpColumns(const FolderRow& f) {
    const QString r = f.ftpRights.size() == 9 ? qstr(f.ftpRights) : QString(".........");
    return {qstr(f.urlPath).left(15), qstr(f.folder).left(13), qstr(f.ftpOwner).left(8).rightJustified(8),
            qstr(f.ftpGroup).left(8).rightJustified(8), r.mid(0, 3) + ' ' + r.mid(3, 3) + ' ' + r.mid(6, 3)};
}

SharedFoldersPage::SharedFoldersPage(SettingsSheet& sheet, std::vector<FolderRow> folders)
    : SheetPageWidget(SheetPage::kSharedFolders, sheet), urlPath(new QLineEdit(this)), folder(new QLineEdit(this)),
      owner(new QComboBox(this)), access(new QComboBox(this)), cgi(new QCheckBox("CGI", this)),
      messages(new QCheckBox("Messages", this)), listings(new QCheckBox("DIR Listings", this)),
      webView(new QRadioButton("Web View", this)), ftpView(new QRadioButton("FTP View", this)),
      folders_(std::move(folders)), list_(makeList(this, kWebColumns)) {
    for (int column = 0; const int width : {140, 140, 90, 90}) list_->setColumnWidth(column++, width);
    urlPath->setMaxLength(255);
    folder->setMaxLength(255);
    webView->setChecked(true);
    connect(ftpView, &QRadioButton::toggled, this, &SharedFoldersPage::setFtpView);

    std::vector<QPushButton*> onRow;
    auto* addButton = new QPushButton("Add Folder", this);
    connect(addButton, &QPushButton::clicked, this, &SharedFoldersPage::addFolder);
    auto* column =
        buttonColumn(this, {{"Remove", [this] { removeFolder(); }}, {"Rights", [this] { editRights(); }}}, &onRow);
    column->insertWidget(0, addButton);
    column->addWidget(webView);
    column->addWidget(ftpView);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, [this] { editRights(); });

    auto* browse = new QPushButton("...", this);
    browse->setMaximumWidth(32);
    connect(browse, &QPushButton::clicked, this, &SharedFoldersPage::chooseFolder);
    auto* folderRow = new QHBoxLayout;
    folderRow->addWidget(folder, 1);
    folderRow->addWidget(browse);
    auto* details = new QGroupBox("Selected Folder", this);
    auto* form = new QFormLayout;
    form->addRow("URL Path:", urlPath);
    form->addRow("Folder:", folderRow);
    auto* choices = new QHBoxLayout;
    choices->addWidget(owner, 1);
    choices->addWidget(new QLabel("Access:", this));
    choices->addWidget(access, 1);
    form->addRow("Owner:", choices);
    auto* flags = new QHBoxLayout;
    for (QCheckBox* b : {cgi, messages, listings}) flags->addWidget(b);
    flags->addStretch();
    form->addRow("", flags);
    details->setLayout(form);
    onRow.push_back(browse);

    auto* grid = new QGridLayout(this);
    grid->addWidget(list_, 0, 0);
    grid->addLayout(column, 0, 1);
    grid->addWidget(details, 1, 0, 1, 2);
    grid->setRowStretch(0, 1);

    refreshChoices();
    connect(list_, &QTreeWidget::currentItemChanged, this, &SharedFoldersPage::showSelected);
    for (QLineEdit* e : {urlPath, folder}) connect(e, &QLineEdit::textChanged, this, &SharedFoldersPage::editSelected);
    for (QComboBox* c : {owner, access})
        connect(c, &QComboBox::currentTextChanged, this, &SharedFoldersPage::editSelected);
    for (QCheckBox* b : {cgi, messages, listings})
        connect(b, &QCheckBox::toggled, this, &SharedFoldersPage::editSelected);
    refill(folders_.empty() ? -1 : 0);
    showSelected();
    enableOnSelection(list_, onRow);
}

int SharedFoldersPage::selected() const { return currentRow(list_); }

QStringList SharedFoldersPage::urlPaths() const {
    QStringList paths;
    for (const FolderRow& f : folders_)
        if (!f.urlPath.empty()) paths << qstr(f.urlPath);
    return paths;
}

void SharedFoldersPage::store(SheetValues& values) const { values.folders = folders_; }

void SharedFoldersPage::refill(int select) {
    filling_ = true;
    list_->clear();
    const bool ftp = ftpView->isChecked();
    for (const FolderRow& f : folders_) {
        const QStringList full = {qstr(f.urlPath), qstr(f.folder), qstr(ftp ? f.ftpOwner : f.owner),
                                  qstr(ftp ? f.ftpGroup : f.access)};
        addRow(list_, ftp ? ftpColumns(f) : webColumns(f), full);
    }
    filling_ = false;
    selectRow(list_, select);
    showSelected();
}

// The details show the selected row, and edit it as they change.
void SharedFoldersPage::showSelected() {
    if (filling_) return;
    filling_ = true;
    const int row = selected();
    const FolderRow shown = row >= 0 ? folders_[static_cast<std::size_t>(row)] : FolderRow {};
    urlPath->setText(qstr(shown.urlPath));
    folder->setText(qstr(shown.folder));
    for (auto [box, text] : {std::pair {owner, shown.owner}, std::pair {access, shown.access}}) {
        // A name the choices lack (a user of an external file, say) stays.
        if (box->findText(qstr(text)) < 0) box->addItem(qstr(text));
        box->setCurrentText(qstr(text));
    }
    cgi->setChecked(shown.cgi);
    messages->setChecked(shown.messages);
    listings->setChecked(shown.listings);
    for (QWidget* w : std::initializer_list<QWidget*> {urlPath, folder, owner, access, cgi, messages, listings})
        w->setEnabled(row >= 0);
    filling_ = false;
}

void SharedFoldersPage::editSelected() {
    const int row = selected();
    if (filling_ || row < 0) return;
    FolderRow& f = folders_[static_cast<std::size_t>(row)];
    f.urlPath = sstr(urlPath->text());
    f.folder = sstr(folder->text());
    f.owner = sstr(owner->currentText());
    f.access = sstr(access->currentText());
    if (!cgi->isChecked()) f.standardCgi = false;
    f.cgi = cgi->isChecked();
    f.messages = messages->isChecked();
    f.listings = listings->isChecked();
    QTreeWidgetItem* item = list_->topLevelItem(row);
    const QStringList columns = ftpView->isChecked() ? ftpColumns(f) : webColumns(f);
    for (int i = 0; i < columns.size(); ++i) item->setText(i, columns[i]);
    markModified();
}

void SharedFoldersPage::refreshChoices() {
    const bool wasFilling = filling_;
    filling_ = true;
    owner->clear();
    owner->addItems(QStringList {"Anybody", "Nobody"} + sheet_.userNames() + sheet_.groupNames());
    access->clear();
    access->addItems(QStringList {"Anywhere"} + sheet_.hostRestrictions());
    filling_ = wasFilling;
    if (!wasFilling) showSelected();
}

void SharedFoldersPage::setFtpView(bool ftp) {
    list_->setHeaderLabels(ftp ? kFtpColumns : kWebColumns);
    refill(selected());
}

void SharedFoldersPage::addFolder() {
    if (static_cast<int>(folders_.size()) >= kEditorFolders) {
        prompts().tell(this, QMessageBox::Warning, "Too Many Aliases",
                       "Sorry.  Too many aliases.  Current limit is 111 entries.");
        return;
    }
    // A new row is empty (and not saved) until it has a URL path.
    folders_.push_back(FolderRow {});
    refill(static_cast<int>(folders_.size()) - 1);
    urlPath->setFocus();
    markModified();
}

void SharedFoldersPage::removeFolder() {
    const int row = selected();
    if (row < 0) return;
    folders_.erase(folders_.begin() + row);
    refill(std::min(row, static_cast<int>(folders_.size()) - 1));
    markModified();
}

void SharedFoldersPage::chooseFolder() {
    if (selected() < 0) return;
    if (auto chosen = chooseRealFolder(this, prompts(), folder->text())) folder->setText(*chosen);
}

void SharedFoldersPage::editRights() {
    const int row = selected();
    if (row < 0) return;
    FolderRow& f = folders_[static_cast<std::size_t>(row)];
    RightsDialog dialog(f, sheet_.userNames(), sheet_.groupNames(), this);
    if (!prompts().run(dialog)) return;
    dialog.store(f);
    refill(row);
    markModified();
}

// ---- Servers

namespace {

// The port a new server of the type starts with.
std::string defaultPort(const std::string& type, const ServersPage& page) {
    switch (type.empty() ? 0 : type[0]) {
        case 'h': return std::to_string(page.httpPort->value());
        case 'f': return std::to_string(page.ftpPort->value());
        case 'g': return std::to_string(page.gopherPort->value());
        default: break;
    }
    for (const Protocol& p : builtinProtocols())
        if (p.typeLetter == type[0]) return std::to_string(p.defaultPort);
    return "";
}

}  // namespace

ServersPage::ServersPage(SettingsSheet& sheet, const ServersValues& v)
    : SheetPageWidget(SheetPage::kServers, sheet), webdir(new QLineEdit(qstr(v.webdir), this)),
      ftpdir(new QLineEdit(qstr(v.ftpdir), this)), gopherdir(new QLineEdit(qstr(v.gopherdir), this)),
      httpPort(new QSpinBox(this)), ftpPort(new QSpinBox(this)), gopherPort(new QSpinBox(this)),
      servers_(v.servers),
      list_(makeList(this, {"Server", "Directory", "Host", "Port", "Log Dir", "Virtual Alias", "Address"})) {
    for (int column = 0; const int width : {60, 130, 80, 50, 90, 90}) list_->setColumnWidth(column++, width);
    std::vector<QPushButton*> onRow;
    auto* newButton = new QPushButton("New", this);
    connect(newButton, &QPushButton::clicked, this, &ServersPage::newServer);
    auto* column = buttonColumn(
        this, {{"Properties", [this] { editServer(); }}, {"Remove", [this] { removeServer(); }}}, &onRow);
    column->insertWidget(0, newButton);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, [this] { editServer(); });

    auto* defaults = new QGroupBox("Default Home Directories", this);
    auto* grid = new QGridLayout(defaults);
    const std::tuple<const char*, QLineEdit*, QSpinBox*, int> rows[] = {
        {"Web:", webdir, httpPort, v.httpPort}, {"FTP:", ftpdir, ftpPort, v.ftpPort},
        {"Gopher:", gopherdir, gopherPort, v.gopherPort}};
    int r = 0;
    for (const auto& [label, dir, port, value] : rows) {
        dir->setMaxLength(255);
        port->setRange(0, 65535);
        port->setValue(value);
        grid->addWidget(new QLabel(label, defaults), r, 0);
        grid->addWidget(dir, r, 1);
        grid->addWidget(new QLabel("Port:", defaults), r, 2);
        grid->addWidget(port, r, 3);
        ++r;
    }
    grid->setColumnStretch(1, 1);

    auto* top = new QHBoxLayout;
    top->addWidget(list_);
    top->addLayout(column);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top, 1);
    layout->addWidget(defaults);
    refill(servers_.empty() ? -1 : 0);
    enableOnSelection(list_, onRow);
    watchControls();
}

void ServersPage::refill(int select) {
    list_->clear();
    for (const ServerRow& s : servers_)
        addRow(list_, {qstr(s.type), qstr(s.dir), qstr(s.host), qstr(s.port), qstr(s.logdir), qstr(s.virtualAlias),
                       qstr(s.ip)});
    selectRow(list_, select);
}

void ServersPage::store(SheetValues& values) const {
    ServersValues& s = values.servers;
    s.webdir = sstr(webdir->text());
    s.ftpdir = sstr(ftpdir->text());
    s.gopherdir = sstr(gopherdir->text());
    s.httpPort = httpPort->value();
    s.ftpPort = ftpPort->value();
    s.gopherPort = gopherPort->value();
    s.servers = servers_;
}

void ServersPage::newServer() {
    if (static_cast<int>(servers_.size()) >= kEditorServers) {
        prompts().tell(this, QMessageBox::Warning, "Too Many Servers",
                       "Sorry.  Too many servers.  Send us an e-mail if you need more.");
        return;
    }
    ServerKindDialog kind(this);
    if (!prompts().run(kind)) return;
    ServerRow row;
    row.type = kind.typeText();
    row.port = defaultPort(row.type, *this);
    ServerDialog dialog(row, prompts(), this);
    if (!prompts().run(dialog)) return;
    servers_.push_back(dialog.row());
    refill(static_cast<int>(servers_.size()) - 1);
    markModified();
}

void ServersPage::editServer() {
    const int row = currentRow(list_);
    if (row < 0) return;
    ServerDialog dialog(servers_[static_cast<std::size_t>(row)], prompts(), this);
    if (!prompts().run(dialog)) return;
    servers_[static_cast<std::size_t>(row)] = dialog.row();
    refill(row);
    markModified();
}

void ServersPage::removeServer() {
    const int row = currentRow(list_);
    if (row < 0) return;
    if (!prompts().ask(this, "Remove Server?", "Are you sure you want to remove the selected server?")) return;
    servers_.erase(servers_.begin() + row);
    refill(std::min(row, static_cast<int>(servers_.size()) - 1));
    markModified();
}

}  // namespace qv
