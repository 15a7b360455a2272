// Gateway lines of the exchange, read from the SQLite database "linedb": the
// FXS ports of the gateways (with the IP-line user of each port) and the
// call-manager lines (with the extension each port rings).
//
// Threads: a manager owns one SQLite connection and is used by one thread at a
// time; the line records it returns are plain values owned by the caller.
#pragma once

#include <list>
#include <memory>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

class LineBase {
  public:
    LineBase(unsigned long gatewayId, unsigned long lineId)
        : mnGatewayId(gatewayId), mnLineId(lineId) {}
    virtual ~LineBase() = default;

    unsigned long GetGatewayId() const { return mnGatewayId; }
    unsigned long GetLineId() const { return mnLineId; }

  private:
    unsigned long mnGatewayId;
    unsigned long mnLineId;
};

// A line of an FXS manager (LineMngType_FXS).
class FxsLine : public LineBase {
  public:
    FxsLine(unsigned long gatewayId, unsigned long lineId, std::string user, std::string password)
        : LineBase(gatewayId, lineId), mUserName(std::move(user)), mPassword(std::move(password)) {}
    const std::string& GetUserName() const { return mUserName; }
    const std::string& GetPassword() const { return mPassword; }

  private:
    std::string mUserName;
    std::string mPassword;
};

// A line of a call-manager manager (LineMngType_CM).
class CmLine : public LineBase {
  public:
    CmLine(unsigned long gatewayId, unsigned long lineId, std::string extension)
        : LineBase(gatewayId, lineId), mExtension(std::move(extension)) {}
    const std::string& GetExtension() const { return mExtension; }

  private:
    std::string mExtension;
};

// Lines in list order: ascending line ID. The elements are FxsLine or CmLine
// objects according to the manager's type.
using LineList = std::list<std::unique_ptr<LineBase>>;

class LineManagerBase {
  public:
    enum LineMngType {
        LineMngType_CM = 0,   // call-manager lines
        LineMngType_FXS = 1,  // gateway FXS lines
    };

    virtual ~LineManagerBase();
    LineManagerBase(const LineManagerBase&) = delete;
    LineManagerBase& operator=(const LineManagerBase&) = delete;

    LineMngType GetType() const { return mType; }
    bool IsOpen() const { return mDb != nullptr; }

    // Puts the lines of gateway `gatewayId` into `lines` in ascending line ID,
    // after the entries already there when `append`, else in place of them.
    // False, with `lines` cleared when not appending, when the database cannot
    // be read.
    bool GetLines(unsigned long gatewayId, LineList& lines, bool append);

    // The line (`gatewayId`, `lineId`); null when there is none or the database
    // cannot be read. The last argument is accepted for the daemon's call shape
    // and changes nothing.
    std::unique_ptr<LineBase> GetLine(unsigned long gatewayId, unsigned long lineId, bool);

  protected:
    // Opens the line database at `path` (read-only when `readOnly`). A missing
    // or unreadable file gives a manager that finds nothing.
    LineManagerBase(LineMngType type, const std::string& path, bool readOnly);

  private:
    std::unique_ptr<LineBase> MakeFromRow(sqlite3_stmt* stmt) const;

    struct Closer {
        void operator()(sqlite3* db) const;
    };
    LineMngType mType;
    std::unique_ptr<sqlite3, Closer> mDb;
};

class LineManager : public LineManagerBase {
  public:
    LineManager(LineMngType type, const std::string& path, bool readOnly)
        : LineManagerBase(type, path, readOnly) {}
};
