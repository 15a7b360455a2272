#include "config/LineManager.h"

#include "config/ConfigSqlite.h"

void LineManagerBase::Closer::operator()(sqlite3* db) const {
    SqliteCloser()(db);
}

LineManagerBase::LineManagerBase(LineMngType type, const std::string& path, bool readOnly)
    : mType(type), mDb(OpenConfigDb(path, readOnly).release()) {}

LineManagerBase::~LineManagerBase() = default;

namespace {

const char* SelectSql(LineManagerBase::LineMngType type, bool oneLine) {
    if (type == LineManagerBase::LineMngType_FXS) {
        return oneLine ? "SELECT gateway_id, line_id, user_name, password FROM fxs_lines "
                         "WHERE gateway_id = ?1 AND line_id = ?2"
                       : "SELECT gateway_id, line_id, user_name, password FROM fxs_lines "
                         "WHERE gateway_id = ?1 ORDER BY line_id";
    }
    return oneLine ? "SELECT gateway_id, line_id, extension FROM cm_lines "
                     "WHERE gateway_id = ?1 AND line_id = ?2"
                   : "SELECT gateway_id, line_id, extension FROM cm_lines "
                     "WHERE gateway_id = ?1 ORDER BY line_id";
}

}  // namespace

std::unique_ptr<LineBase> LineManagerBase::MakeFromRow(sqlite3_stmt* stmt) const {
    const auto gatewayId = static_cast<unsigned long>(sqlite3_column_int64(stmt, 0));
    const auto lineId = static_cast<unsigned long>(sqlite3_column_int64(stmt, 1));
    if (mType == LineMngType_FXS) {
        return std::make_unique<FxsLine>(gatewayId, lineId, ConfigColumnText(stmt, 2),
                                         ConfigColumnText(stmt, 3));
    }
    return std::make_unique<CmLine>(gatewayId, lineId, ConfigColumnText(stmt, 2));
}

bool LineManagerBase::GetLines(unsigned long gatewayId, LineList& lines, bool append) {
    if (!append) {
        lines.clear();
    }
    SqliteStatement stmt = PrepareConfigStatement(mDb.get(), SelectSql(mType, false));
    if (!stmt) {
        return false;
    }
    sqlite3_bind_int64(stmt.get(), 1, static_cast<sqlite3_int64>(gatewayId));
    LineList found;
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        found.push_back(MakeFromRow(stmt.get()));
    }
    if (rc != SQLITE_DONE) {
        return false;
    }
    lines.splice(lines.end(), found);
    return true;
}

std::unique_ptr<LineBase> LineManagerBase::GetLine(unsigned long gatewayId, unsigned long lineId,
                                                   bool) {
    SqliteStatement stmt = PrepareConfigStatement(mDb.get(), SelectSql(mType, true));
    if (!stmt) {
        return nullptr;
    }
    sqlite3_bind_int64(stmt.get(), 1, static_cast<sqlite3_int64>(gatewayId));
    sqlite3_bind_int64(stmt.get(), 2, static_cast<sqlite3_int64>(lineId));
    if (sqlite3_step(stmt.get()) != SQLITE_ROW) {
        return nullptr;
    }
    return MakeFromRow(stmt.get());
}
