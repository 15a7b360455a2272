// The administrator account of the configuration library ("admin-user" and
// "admin-password" of systemdb's settings).
//
// Threads: each thread has its own instance; GetInstance and CloseInstance act
// on the calling thread's, so nothing is shared and nothing needs a lock.
#pragma once

#include <string>

class ConfigAdmin {
  public:
    // The calling thread's instance, made on first use; null when systemdb does
    // not exist. With `loadNow` the account is read at once (as by load()).
    static ConfigAdmin* GetInstance(bool loadNow);
    // Destroys the calling thread's instance; does nothing when there is none.
    static void CloseInstance();

    virtual ~ConfigAdmin() = default;
    ConfigAdmin(const ConfigAdmin&) = delete;
    ConfigAdmin& operator=(const ConfigAdmin&) = delete;

    // Reads the account: non-zero when it was read. On failure the values stay
    // as they were (empty until a load succeeds).
    virtual int load();

    const std::string& GetUserName() const { return mUserName; }
    const std::string& GetPassword() const { return mPassword; }

  protected:
    explicit ConfigAdmin(std::string dbPath) : mDbPath(std::move(dbPath)) {}

  private:
    std::string mDbPath;
    std::string mUserName;
    std::string mPassword;
};
