#include "config/GatewayAccessor.h"

#include <sys/stat.h>

#include <memory>

#include "config/ConfigSqlite.h"

namespace {
thread_local std::unique_ptr<GatewayAccessor> tInstance;
}  // namespace

GatewayAccessor* GatewayAccessor::GetInstance(bool loadNow) {
    if (!tInstance) {
        std::string path = SystemDbPath();
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) {
            return nullptr;
        }
        tInstance.reset(new GatewayAccessor(std::move(path)));
    }
    if (loadNow) {
        tInstance->load();
    }
    return tInstance.get();
}

void GatewayAccessor::CloseInstance() {
    tInstance.reset();
}

int GatewayAccessor::load() {
    SqliteHandle db = OpenConfigDb(mDbPath, true);
    SqliteStatement stmt =
        PrepareConfigStatement(db.get(), "SELECT id, type FROM gateways ORDER BY id");
    if (!stmt) {
        return 0;
    }
    std::vector<GatewayBlock> blocks;
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        blocks.push_back(
            GatewayBlock{static_cast<unsigned long>(sqlite3_column_int64(stmt.get(), 0)),
                         sqlite3_column_int(stmt.get(), 1)});
    }
    if (rc != SQLITE_DONE) {
        return 0;
    }
    mBlocks.swap(blocks);
    return 1;
}

size_t GatewayAccessor::GetGatewayBlocks(std::list<const GatewayBlock*>& blocks, int type) const {
    size_t added = 0;
    for (const GatewayBlock& block : mBlocks) {
        if (type < 0 || block.mnType == type) {
            blocks.push_back(&block);
            ++added;
        }
    }
    return added;
}
