#include "config/ExtVMBox.h"

#include <cstdlib>
#include <map>

#include "config/ConfigSettings.h"

std::atomic<int> ExtVMBox::mnsVMTotalSpace{
    std::atoi(FindSetting("vm-total-space-kb")->defaultValue)};

bool ExtVMBox::Load(const std::string& systemDbPath) {
    std::map<std::string, std::string> values;
    if (!ReadSettings(systemDbPath, values)) {
        return false;
    }
    mnsVMTotalSpace = std::atoi(values["vm-total-space-kb"].c_str());
    return true;
}
