#include "config/ConfigAdmin.h"

#include <sys/stat.h>

#include <map>
#include <memory>

#include "config/ConfigSettings.h"
#include "config/ConfigSqlite.h"

namespace {
thread_local std::unique_ptr<ConfigAdmin> tInstance;
}  // namespace

ConfigAdmin* ConfigAdmin::GetInstance(bool loadNow) {
    if (!tInstance) {
        std::string path = SystemDbPath();
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) {
            return nullptr;
        }
        tInstance.reset(new ConfigAdmin(std::move(path)));
    }
    if (loadNow) {
        tInstance->load();
    }
    return tInstance.get();
}

void ConfigAdmin::CloseInstance() {
    tInstance.reset();
}

int ConfigAdmin::load() {
    std::map<std::string, std::string> values;
    if (!ReadSettings(mDbPath, values)) {
        return 0;
    }
    mUserName = values["admin-user"];
    mPassword = values["admin-password"];
    return 1;
}
