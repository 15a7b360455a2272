// Extensions of the exchange, read from the SQLite database "extensiondb".
//
// An extension record comes with its number and kind; its parts are read on
// demand with load(part): 0x40 the user settings (password), 0x2000 the prompts
// (prompt directory and share). The prompt fields of auto-attendant and system
// extensions are part of their base record as well.
//
// Threads: a manager and the extensions it returns share one read-only SQLite
// connection; use them from one thread at a time (each handler makes its own
// manager). The connection lives as long as the manager or any of its
// extensions, whichever is last.
#pragma once

#include <list>
#include <memory>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

// Kinds of extension; the values are those stored in the database.
enum ExtType {
    ExtType_AA = 0,      // auto-attendant
    ExtType_User = 1,    // user
    ExtType_System = 2,  // the exchange's one system extension
};

class ExtensionBase {
  public:
    static constexpr unsigned long kPartUserSettings = 0x40;
    static constexpr unsigned long kPartPrompts = 0x2000;

    virtual ~ExtensionBase() = default;
    ExtensionBase(const ExtensionBase&) = delete;
    ExtensionBase& operator=(const ExtensionBase&) = delete;

    ExtType GetType() const { return mType; }
    const std::string& GetNumber() const { return mNumber; }

    // Reads the parts named by `parts` (an OR of the kPart values) from the
    // database. False when the record is gone or the database cannot be read;
    // the parts loaded before stay.
    bool load(unsigned long parts);
    bool IsLoaded(unsigned long parts) const { return (mnLoadedParts & parts) == parts; }

    // Part 0x40; empty until loaded.
    const std::string& GetPassword() const { return mPassword; }
    // Part 0x2000 (base record for auto-attendant and system extensions);
    // empty and 0 until loaded.
    const std::string& GetPromptDir() const { return mPromptDir; }
    double GetPromptShare() const { return mPromptShare; }  // percent

  private:
    friend class ExtensionManager;
    ExtensionBase(std::shared_ptr<sqlite3> db, long long rowId, ExtType type, std::string number);

    std::shared_ptr<sqlite3> mDb;
    long long mnRowId;
    ExtType mType;
    std::string mNumber;
    unsigned long mnLoadedParts = 0;
    std::string mPassword;
    std::string mPromptDir;
    double mPromptShare = 0.0;
};

// Extensions in list order: the order in which they were added.
using ExtensionList = std::list<std::unique_ptr<ExtensionBase>>;

class ExtensionManager {
  public:
    // Opens the extension database at `path` read-only. A missing or unreadable
    // file gives a manager that finds nothing (IsOpen false). With
    // `loadAllParts` every extension it returns comes with all parts loaded.
    // Also refreshes ExtVMBox::mnsVMTotalSpace from the systemdb beside `path`.
    ExtensionManager(const std::string& path, bool loadAllParts);
    ~ExtensionManager();
    ExtensionManager(const ExtensionManager&) = delete;
    ExtensionManager& operator=(const ExtensionManager&) = delete;

    bool IsOpen() const { return mDb != nullptr; }

    // Every extension of kind `type`, in list order; empty when there is none or
    // the database cannot be read. `loadAllParts` as in the constructor (either
    // one asks for it).
    ExtensionList GetExtensions(int type, bool loadAllParts);

    // The first extension of `type` whose number is `number`; null when none.
    std::unique_ptr<ExtensionBase> GetExtension(ExtType type, const std::string& number,
                                                bool loadAllParts);

    // The system extension; null when none.
    std::unique_ptr<ExtensionBase> GetSystemExtension(bool loadAllParts);

  private:
    std::unique_ptr<ExtensionBase> MakeFromRow(sqlite3_stmt* stmt, bool full) const;
    // The first extension of `kind` (and `number`, when not null).
    std::unique_ptr<ExtensionBase> FindFirst(int kind, const std::string* number, bool full);

    std::shared_ptr<sqlite3> mDb;
    bool mbLoadAllParts;
};
