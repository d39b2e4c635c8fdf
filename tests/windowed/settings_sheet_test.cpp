// The settings editor over a real engine: what confirming writes (and does
// not), the reload it signals, numbered lists renumbered with their extra
// keys, escaped folder names read back by the engine, a settings file that
// cannot be written, the dialogs' checks, the Edit menu, and screenshots of
// every page filled from the sample settings.
#include <gtest/gtest.h>

#include <QMenuBar>
#include <filesystem>

#include "engine/platform/profile.h"
#include "tests/windowed/windowed_test_support.h"
#include "windowed/settings_sheet.h"

namespace qv {
namespace {

using test::waitUntil;

constexpr const char* kServer =
    "[Multi]\nserver1=http\nip1=127.0.0.1\nport1=0\nserver2=none\n";

struct Told {
    QMessageBox::Icon icon;
    QString title, text;
};

// Answers every question of the sheet and keeps what it was told.
struct Answers {
    std::vector<Told> told;
    std::vector<QString> asked;
    bool answer = true;
    std::function<bool(QDialog&)> dialog = [](QDialog&) { return false; };
    QString folder;

    SheetPrompts prompts() {
        SheetPrompts p;
        p.tell = [this](QWidget*, QMessageBox::Icon icon, const QString& title, const QString& text) {
            told.push_back({icon, title, text});
        };
        p.ask = [this](QWidget*, const QString& title, const QString&) {
            asked.push_back(title);
            return answer;
        };
        p.run = [this](QDialog& d) { return dialog(d); };
        p.chooseFolder = [this](QWidget*, const QString&, const QString&) { return folder; };
        return p;
    }
    bool toldTitle(const QString& title) const {
        return std::any_of(told.begin(), told.end(), [&](const Told& t) { return t.title == title; });
    }
};

// Presses OK in a dialog: true when its checks let it close.
bool pressOk(QDialog& d) {
    d.accept();
    return d.result() == QDialog::Accepted;
}

struct SettingsSheetTest : ::testing::Test, test::FrameFixture {
    Answers answers;
    int resets = 0;
    std::unique_ptr<SettingsSheet> sheet;

    std::string ini() const { return settingsFilePath(*engine); }
    std::string value(const char* section, const std::string& key) const {
        return ProfileFile(ini()).getString(section, key, "<none>", 1024);
    }
    void open(SheetPage page = SheetPage::kGeneral, std::string path = {}) {
        SheetSetup setup;
        setup.iniPath = path.empty() ? ini() : path;
        setup.signalReset = [this] {
            ++resets;
            signalReset(*engine);
        };
        setup.autostartPath = etc.file("autostart/quorvane.desktop");
        setup.prompts = answers.prompts();
        sheet = std::make_unique<SettingsSheet>(readSheet(ini(), setup.autostartPath), std::move(setup), page);
        sheet->show();
    }
};

TEST_F(SettingsSheetTest, ConfirmingWithoutChangesWritesNothingAndSignalsNothing) {
    start(std::string("[Users]\nUser1=ann pw\n[Aliases]\nAlias1=/a ") + etc.path() + "/ Anybody Anywhere . . D\n" +
          kServer);
    const std::string before = test::readFile(ini());
    open();
    // Visiting every page fills its controls; that alone changes nothing.
    for (int i = 0; i < kSheetPages; ++i) {
        sheet->tabs()->setCurrentIndex(i);
        QCoreApplication::processEvents();
    }
    EXPECT_FALSE(sheet->buttons()->button(QDialogButtonBox::Apply)->isEnabled());
    sheet->accept();
    EXPECT_EQ(sheet->result(), QDialog::Accepted);
    EXPECT_EQ(test::readFile(ini()), before);
    EXPECT_EQ(resets, 0);
    EXPECT_TRUE(answers.told.empty());
}

TEST_F(SettingsSheetTest, OneChangedFieldWritesItsPageOnlyAndTheEngineReloads) {
    start(std::string("http_read_timeout=60\n") + kServer);
    ASSERT_EQ(optionNumber(*engine, "http_read_timeout"), 60);
    open(SheetPage::kMisc);
    sheet->misc()->httpTimeout->setValue(75);
    EXPECT_TRUE(sheet->modified(SheetPage::kMisc));
    EXPECT_FALSE(sheet->modified(SheetPage::kGeneral));
    ASSERT_TRUE(sheet->apply());
    EXPECT_EQ(resets, 1);
    EXPECT_FALSE(sheet->modified(SheetPage::kMisc));
    EXPECT_EQ(value("Options", "http_read_timeout"), "75");
    // Keys of the pages left alone are not written.
    EXPECT_EQ(value("Registration", "name"), "<none>");
    EXPECT_EQ(value("Logging", "extended"), "<none>");
    EXPECT_TRUE(waitUntil([&] { return optionNumber(*engine, "http_read_timeout") == 75; }));
    // The Misc page needs no restart.
    EXPECT_FALSE(answers.toldTitle("Quorvane Pro - Changes"));
    // A second apply with nothing changed does nothing.
    EXPECT_TRUE(sheet->apply());
    EXPECT_EQ(resets, 1);

    // General and Servers take effect at the next start, and say so; two
    // pages saved together signal once.
    sheet->general()->name->setText("Site Owner");
    sheet->cgi()->debugMode->setChecked(true);
    ASSERT_TRUE(sheet->apply());
    EXPECT_EQ(resets, 2);
    ASSERT_EQ(answers.told.size(), 1u);
    EXPECT_EQ(answers.told[0].title, "Quorvane Pro - Changes");
    EXPECT_EQ(answers.told[0].icon, QMessageBox::Information);
    EXPECT_EQ(answers.told[0].text, "You will have to restart Quorvane Pro for some of the changes to take effect.");
    EXPECT_EQ(value("Registration", "name"), "Site Owner");
    EXPECT_EQ(value("CGI", "Debug_Mode"), "Yes");
}

TEST_F(SettingsSheetTest, DeletingUserTwoOfThreeRenumbersTheThird) {
    start(std::string("[Users]\nUser1=ann pa\nUser2=bob pb\nFTPDir2=/bob\nFTPDirWrite2=1\nUser3=cy pc\n"
                      "FTPDir3=/cy\nFTPSuperUser3=1\n") +
          kServer);
    open(SheetPage::kUsers);
    UsersPage* users = sheet->users();
    ASSERT_EQ(users->list()->topLevelItemCount(), 3);
    EXPECT_EQ(users->list()->topLevelItem(1)->text(0), ".+w  bob");
    EXPECT_EQ(users->list()->topLevelItem(2)->text(0), "*+.  cy");
    users->list()->setCurrentItem(users->list()->topLevelItem(1));
    answers.answer = false;
    users->removeUser();
    EXPECT_EQ(users->users().size(), 3u);
    answers.answer = true;
    users->removeUser();
    EXPECT_EQ(answers.asked, (std::vector<QString> {"Delete User", "Delete User"}));
    ASSERT_TRUE(sheet->apply());
    EXPECT_EQ(value("Users", "User2"), "cy pc");
    EXPECT_EQ(value("Users", "FTPDir2"), "/cy");
    EXPECT_EQ(value("Users", "FTPSuperUser2"), "1");
    EXPECT_EQ(value("Users", "FTPDirWrite2"), "0");
    for (const char* key : {"User3", "FTPDir3", "FTPSuperUser3", "FTPDirWrite3"})
        EXPECT_EQ(value("Users", key), "<none>") << key;
}

TEST_F(SettingsSheetTest, DeletingFolderTwoMovesFolderThreesFtpRightsWithIt) {
    const std::string d = etc.path() + "/";
    start("[Aliases]\nAlias1=/one " + d + " Anybody Anywhere\nAlias2=/two " + d +
          " Anybody Anywhere\nFTPOwner2=ann\nFTPRights2=rwlr.....\nAlias3=/three " + d +
          " Anybody Anywhere . M D\nFTPOwner3=bob\nFTPGroup3=staff\nFTPRights3=rw.r.lr..\n" + kServer);
    open(SheetPage::kSharedFolders);
    SharedFoldersPage* page = sheet->sharedFolders();
    page->ftpView->setChecked(true);
    EXPECT_EQ(page->list()->topLevelItem(2)->text(4), "rw. r.l r..");
    EXPECT_EQ(page->list()->topLevelItem(2)->text(2), "     bob");
    page->list()->setCurrentItem(page->list()->topLevelItem(1));
    page->removeFolder();
    ASSERT_TRUE(sheet->apply());
    EXPECT_EQ(value("Aliases", "Alias2"), "/three " + d + " Anybody Anywhere . M D");
    EXPECT_EQ(value("Aliases", "FTPOwner2"), "bob");
    EXPECT_EQ(value("Aliases", "FTPGroup2"), "staff");
    EXPECT_EQ(value("Aliases", "FTPRights2"), "rw.r.lr..");
    for (const char* key : {"Alias3", "FTPOwner3", "FTPGroup3", "FTPRights3"})
        EXPECT_EQ(value("Aliases", key), "<none>") << key;
}

TEST_F(SettingsSheetTest, FolderNamedWithPlusAmpersandAndPercentReachesTheEngineUnchanged) {
    start(kServer);
    const std::string odd = etc.path() + "/c++ & 50%/";
    std::filesystem::create_directory(odd);
    test::writeFile(odd + "hello.txt", "hello from the odd folder\n");
    open(SheetPage::kSharedFolders);
    SharedFoldersPage* page = sheet->sharedFolders();
    page->addFolder();
    page->urlPath->setText("/odd");
    // The folder comes from the chooser, as a user would pick it.
    answers.folder = QString::fromStdString(etc.path() + "/c++ & 50%");
    page->chooseFolder();
    EXPECT_EQ(page->folder->text().toStdString(), odd);
    page->listings->setChecked(true);
    ASSERT_TRUE(sheet->apply());
    EXPECT_TRUE(waitUntil([&] {
        return test::httpGet(port(), "/odd/hello.txt").find("hello from the odd folder") != std::string::npos;
    }));
    const SheetValues again = readSheet(ini(), etc.file("none.desktop"));
    ASSERT_EQ(again.folders.size(), 1u);
    EXPECT_EQ(again.folders[0].folder, odd);

    // A file is no folder.
    answers.folder = QString::fromStdString(odd + "hello.txt");
    page->chooseFolder();
    ASSERT_FALSE(answers.told.empty());
    EXPECT_EQ(answers.told.back().title, "Sorry");
    EXPECT_EQ(answers.told.back().text, "That is not a real folder.");
    EXPECT_EQ(page->folder->text().toStdString(), odd);
}

TEST_F(SettingsSheetTest, UnwritableSettingsFileShowsTheErrorKeepsTheFlagAndSignalsNothing) {
    start(kServer);
    // A settings file in a folder that does not exist cannot be written,
    // whoever runs the test.
    open(SheetPage::kCgi, etc.path() + "/missing/quorvane.ini");
    sheet->cgi()->compiler->setText("/usr/bin/perl");
    EXPECT_FALSE(sheet->apply());
    sheet->accept();
    EXPECT_NE(sheet->result(), QDialog::Accepted);
    ASSERT_EQ(answers.told.size(), 2u);
    EXPECT_EQ(answers.told[0].title, "Quorvane Pro - Error saving changes");
    EXPECT_EQ(answers.told[0].text, "Unable to update ini file.  File may be busy, disk may be full or locked.");
    EXPECT_EQ(answers.told[0].icon, QMessageBox::Warning);
    EXPECT_TRUE(sheet->modified(SheetPage::kCgi));
    EXPECT_EQ(resets, 0);
}

TEST_F(SettingsSheetTest, RemovingEveryServerWritesNForTheFirstThreeAndDeletesTheRest) {
    start("[Multi]\nserver1=http\nip1=127.0.0.1\nport1=0\nserver2=talk\nport2=0\nip2=127.0.0.1\n"
          "server3=ftp\nport3=0\nip3=127.0.0.1\nserver4=mail\nport4=0\nip4=127.0.0.1\nserver5=gopher\nport5=0\n"
          "ip5=127.0.0.1\ndir5=/srv\nserver6=none\n");
    open(SheetPage::kServers);
    ServersPage* page = sheet->servers();
    ASSERT_EQ(page->list()->topLevelItemCount(), 5);
    EXPECT_EQ(page->list()->topLevelItem(4)->text(1), "/srv");
    while (page->list()->topLevelItemCount() > 0) {
        page->list()->setCurrentItem(page->list()->topLevelItem(0));
        page->removeServer();
    }
    EXPECT_EQ(answers.asked.size(), 5u);
    EXPECT_EQ(answers.asked[0], "Remove Server?");
    ASSERT_TRUE(sheet->apply());
    EXPECT_TRUE(answers.toldTitle("Quorvane Pro - Changes"));
    for (const char* key : {"server1", "server2", "server3"}) EXPECT_EQ(value("Multi", key), "n") << key;
    for (const char* key : {"server4", "server5", "port1", "ip4", "dir5"})
        EXPECT_EQ(value("Multi", key), "<none>") << key;
    EXPECT_TRUE(readSheet(ini(), "").servers.servers.empty());
}

TEST_F(SettingsSheetTest, NewServerOffersMailAndStopsAtThirtyTwo) {
    start(kServer);
    open(SheetPage::kServers);
    ServersPage* page = sheet->servers();
    answers.dialog = [](QDialog& d) {
        if (auto* kind = qobject_cast<ServerKindDialog*>(&d)) kind->kindBox()->setCurrentText("mail");
        if (auto* props = qobject_cast<ServerDialog*>(&d)) {
            EXPECT_EQ(props->windowTitle(), "Server Properties");
            EXPECT_EQ(props->portEdit()->text(), "25");
            props->portEdit()->setText("2525");
        }
        return pressOk(d);
    };
    page->newServer();
    ASSERT_EQ(page->list()->topLevelItemCount(), 2);
    EXPECT_EQ(page->list()->topLevelItem(1)->text(0), "mail");
    EXPECT_EQ(page->list()->topLevelItem(1)->text(3), "2525");
    while (page->list()->topLevelItemCount() < kEditorServers) page->newServer();
    EXPECT_TRUE(answers.told.empty());
    page->newServer();
    ASSERT_EQ(answers.told.size(), 1u);
    EXPECT_EQ(answers.told[0].title, "Too Many Servers");
    EXPECT_EQ(page->list()->topLevelItemCount(), kEditorServers);
}

TEST_F(SettingsSheetTest, NewUserAndPasswordChecks) {
    start(std::string("[Users]\nUser1=ann pa\n") + kServer);
    open(SheetPage::kUsers);
    UsersPage* users = sheet->users();
    QStringList names;  // typed in turn; a refused one leaves the dialog open
    answers.dialog = [&](QDialog& d) {
        auto* u = qobject_cast<UserNameDialog*>(&d);
        while (u && !names.isEmpty()) {
            u->nameEdit()->setText(names.takeFirst());
            if (pressOk(d)) return true;
        }
        return false;
    };
    names = {"", "ANN", "dan"};
    users->newUser();
    ASSERT_EQ(answers.told.size(), 2u);
    EXPECT_EQ(answers.told[0].title, "Username Empty");
    EXPECT_EQ(answers.told[1].title, "Duplicate Username");
    ASSERT_EQ(users->users().size(), 2u);
    EXPECT_EQ(users->users()[1].name, "dan");

    // Passwords: typed twice, no blanks, a blank one only when confirmed.
    struct Typed {
        QString first, second;
    };
    std::vector<Typed> typed;
    answers.dialog = [&](QDialog& d) {
        auto* p = qobject_cast<PasswordDialog*>(&d);
        for (; p && !typed.empty(); typed.erase(typed.begin())) {
            p->firstEdit()->setText(typed.front().first);
            p->secondEdit()->setText(typed.front().second);
            if (pressOk(d)) return true;
        }
        return false;
    };
    answers.told.clear();
    answers.answer = false;
    typed = {{"abc", "abd"}, {"a b", "a b"}, {"", ""}, {"s3cret", "s3cret"}};
    users->changePassword();
    ASSERT_EQ(answers.told.size(), 2u);
    EXPECT_EQ(answers.told[0].title, "Password Missmatch");
    EXPECT_EQ(answers.told[1].text.toStdString(), *passwordProblem("a b", false));
    EXPECT_EQ(answers.asked, (std::vector<QString> {"Password Empty"}));
    EXPECT_EQ(users->users()[1].password, "s3cret");
    answers.answer = true;
    typed = {{"", ""}};
    users->changePassword();
    EXPECT_EQ(users->users()[1].password, "");

    ASSERT_TRUE(sheet->apply());
    EXPECT_TRUE(value("Users", "User2").starts_with("dan")) << value("Users", "User2");

    std::vector<UserRow> many(kEditorUsers);
    for (int i = 0; i < kEditorUsers; ++i) many[static_cast<std::size_t>(i)].name = "u" + std::to_string(i);
    UsersPage full(*sheet, many);
    answers.told.clear();
    full.newUser();
    ASSERT_EQ(answers.told.size(), 1u);
    EXPECT_EQ(answers.told[0].title, "Too Many Users");
}

TEST_F(SettingsSheetTest, UnknownScrambleVersionIsReportedOnceWhenTheUsersPageOpens) {
    start(std::string("scramble_passwords=Yes\nscramble_version=2.0\n") + kServer);
    open(SheetPage::kGeneral);
    EXPECT_TRUE(answers.told.empty());
    for (int page : {4, 0, 4}) sheet->tabs()->setCurrentIndex(page);
    ASSERT_EQ(answers.told.size(), 1u);
    EXPECT_EQ(answers.told[0].title, "Password Scramble Version Error");
}

TEST_F(SettingsSheetTest, GroupsAreWrittenAtOnceAndSignalOnce) {
    start(std::string("[Users]\nUser1=ann pa\n[Groups]\nGroup1=staff bob\nGroup2=web ann\n") + kServer);
    open(SheetPage::kUsers);
    sheet->users()->list()->setCurrentItem(sheet->users()->list()->topLevelItem(0));
    answers.dialog = [](QDialog& d) {
        auto* g = qobject_cast<GroupsDialog*>(&d);
        EXPECT_EQ(g->memberList()->count(), 1);
        g->otherList()->item(0)->setSelected(true);  // staff
        g->join();
        g->memberList()->findItems("web", Qt::MatchExactly)[0]->setSelected(true);
        g->leave();
        g->newNameEdit()->setText("ops");
        g->addGroup();
        return pressOk(d);
    };
    sheet->users()->editGroups();
    EXPECT_EQ(resets, 1);
    EXPECT_EQ(value("Groups", "Group1"), "staff bob ann");
    EXPECT_EQ(value("Groups", "Group2"), "web");
    EXPECT_EQ(value("Groups", "Group3"), "ops ann");
    // The sheet itself has nothing left to save; the new group is an owner
    // the shared folders offer.
    EXPECT_FALSE(sheet->modified(SheetPage::kUsers));
    EXPECT_GE(sheet->sharedFolders()->owner->findText("ops"), 0);

    std::vector<GroupRow> many(kEditorGroups, GroupRow {"g", {}});
    GroupsDialog full("ann", many, sheet->prompts(), nullptr);
    full.newNameEdit()->setText("one-more");
    full.addGroup();
    EXPECT_TRUE(answers.toldTitle("Sorry"));
    EXPECT_EQ(full.groups().size(), static_cast<std::size_t>(kEditorGroups));
}

TEST_F(SettingsSheetTest, EditMenuOpensTheSheetAtItsPages) {
    start(kServer);
    auto trigger = [&](const QString& text) {
        for (QAction* menu : frame->menuBar()->actions())
            if (menu->menu())
                for (QAction* a : menu->menu()->actions())
                    if (a->text() == text) {
                        ASSERT_TRUE(a->isEnabled()) << text.toStdString();
                        a->trigger();
                        return;
                    }
        FAIL() << "no " << text.toStdString();
    };
    trigger("Users...");
    ASSERT_NE(frame->settingsSheet(), nullptr);
    EXPECT_EQ(frame->settingsSheet()->windowTitle(), "Quorvane Pro - Settings");
    EXPECT_EQ(frame->settingsSheet()->tabs()->currentIndex(), 4);
    trigger("Shared Folders...");
    EXPECT_EQ(frame->settingsSheet()->tabs()->currentIndex(), 6);
    frame->settingsSheet()->reject();
    EXPECT_TRUE(waitUntil([&] { return frame->settingsSheet() == nullptr; }));
    trigger("Settings...");
    ASSERT_NE(frame->settingsSheet(), nullptr);
    EXPECT_EQ(frame->settingsSheet()->tabs()->currentIndex(), 0);
    frame->settingsSheet()->reject();
}

// Every page filled from the sample settings, kept as artefacts.
TEST(SettingsSheetScreens, EveryPageFromTheSampleSettings) {
    test::TempFolder etc;
    const std::string ini = etc.file("quorvane.ini");
    std::filesystem::copy_file(std::filesystem::path(__FILE__).parent_path() / "../../examples/etc/quorvane.ini", ini);
    test::writeFile(ini, test::readFile(ini) + "[Groups]\nGroup1=staff demo\n[Host Restrictions]\nlocal=127.0.0.1\n");
    SheetSetup setup;
    setup.iniPath = ini;
    setup.autostartPath = etc.file("none.desktop");
    Answers answers;
    setup.prompts = answers.prompts();
    SettingsSheet sheet(readSheet(ini, setup.autostartPath), std::move(setup));
    sheet.show();
    const char* names[kSheetPages] = {"general",        "logging", "hit-counts", "misc",   "users", "file-types",
                                      "shared-folders", "cgi",     "servers"};
    for (int i = 0; i < kSheetPages; ++i) {
        sheet.tabs()->setCurrentIndex(i);
        QCoreApplication::processEvents();
        EXPECT_EQ(sheet.tabs()->tabText(i), pageTitle(static_cast<SheetPage>(i)));
        EXPECT_FALSE(test::saveScreenshot(&sheet, std::string("settings-") + names[i]).empty());
    }
    EXPECT_EQ(sheet.users()->list()->topLevelItem(0)->text(0), "..w  demo");
    // The list pages' dialogs, as they open on the sample's rows.
    FtpOptionsDialog ftp(sheet.users()->users()[0], sheet.folderPaths(), &sheet);
    RightsDialog rights(sheet.sharedFolders()->folders()[0], sheet.userNames(), sheet.groupNames(), &sheet);
    ServerDialog server(sheet.values().servers.servers[2], sheet.prompts(), &sheet);
    GroupsDialog groups("demo", sheet.groups(), sheet.prompts(), &sheet);
    const std::pair<QDialog*, const char*> dialogs[] = {
        {&ftp, "ftp-options"}, {&rights, "rights"}, {&server, "server"}, {&groups, "groups"}};
    for (const auto& [dialog, name] : dialogs) {
        dialog->show();
        QCoreApplication::processEvents();
        EXPECT_FALSE(test::saveScreenshot(dialog, std::string("settings-dialog-") + name).empty());
    }
    EXPECT_EQ(sheet.servers()->list()->topLevelItemCount(), 5);
}

}  // namespace
}  // namespace qv
