// How long the settings editor takes to save a large settings file: 100
// users and 111 shared folders (with FTP rights) read, changed and written
// back, every page in one batch, then read by the engine's reader.
//
//   build-rel/bench/settings/qv_settings_save_bench [ROUNDS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "engine/config/settings.h"
#include "windowed/settings_model.h"

namespace {

std::string largeSettings() {
    std::string text = "[Options]\nhostname=bench.test\n[Users]\n";
    for (int n = 1; n <= 100; ++n) {
        const std::string num = std::to_string(n);
        text += "User" + num + "=user" + num + " pw" + num + "\nFTPDir" + num + "=/home/user" + num + "\nFTPDirWrite" +
                num + "=1\n";
    }
    text += "[Aliases]\n";
    for (int n = 1; n <= 111; ++n) {
        const std::string num = std::to_string(n);
        text += "Alias" + num + "=/share" + num + " /srv/share+" + num + " Anybody Anywhere . . D\nFTPOwner" + num +
                "=user" + num + "\nFTPRights" + num + "=rwlr.l...\n";
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    char folder[] = "/tmp/qv-settings-bench-XXXXXX";
    if (!mkdtemp(folder)) return 1;
    const std::string ini = std::string(folder) + "/quorvane.ini";
    std::ofstream(ini) << largeSettings();
    std::vector<qv::SheetPage> all;
    for (int p = 0; p < qv::kSheetPages; ++p) all.push_back(static_cast<qv::SheetPage>(p));
    std::vector<double> ms;
    for (int round = 0; round < rounds; ++round) {
        const auto start = std::chrono::steady_clock::now();
        qv::SheetValues v = qv::readSheet(ini, std::string(folder) + "/autostart.desktop");
        v.users.erase(v.users.begin());       // every later user is renumbered
        v.users.push_back(v.users.front());
        v.folders.erase(v.folders.begin());   // every later folder and its FTP keys move
        v.folders.push_back(v.folders.front());
        if (qv::saveSheet(ini, v, all) != 0) return 1;
        const auto settings = qv::readSettings(ini);
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        if (settings->users.size() != 100 || settings->aliases.size() != 111) return 1;
    }
    std::sort(ms.begin(), ms.end());
    std::printf("100 users, 111 shared folders: read, change, save every page, engine read: median %.1f ms, "
                "worst %.1f ms (%d rounds)\n",
                ms[ms.size() / 2], ms.back(), rounds);
    std::remove(ini.c_str());
    return 0;
}
