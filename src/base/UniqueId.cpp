#include "base/UniqueId.h"

#include <fstream>
#include <iterator>

#include "base/RootPath.h"

bool GetUniqueID(std::string& id) {
    id.clear();
    std::ifstream in(RootPath("/etc/unique-id"), std::ios::binary);
    if (!in) {
        return false;
    }
    id.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        id.clear();
        return false;
    }
    return true;
}
