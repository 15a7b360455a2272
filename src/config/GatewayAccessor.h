// The gateways of the exchange (table "gateways" of systemdb).
//
// Threads: each thread has its own instance; GetInstance and CloseInstance act
// on the calling thread's. The blocks belong to that instance.
#pragma once

#include <list>
#include <string>
#include <vector>

enum GatewayType { GatewayType_REREV = 3 };

struct GatewayBlock {
    unsigned long mnGatewayId;
    int mnType;
};

class GatewayAccessor {
  public:
    // The calling thread's instance, made on first use; null when systemdb does
    // not exist. With `loadNow` the gateways are read at once (as by load()).
    static GatewayAccessor* GetInstance(bool loadNow);
    // Destroys the calling thread's instance and its blocks.
    static void CloseInstance();

    virtual ~GatewayAccessor() = default;
    GatewayAccessor(const GatewayAccessor&) = delete;
    GatewayAccessor& operator=(const GatewayAccessor&) = delete;

    // Reads every gateway: non-zero when read. On failure the blocks stay as
    // they were (none until a load succeeds).
    virtual int load();

    // Appends the blocks of gateways of `type` (every gateway when `type` is
    // negative) in ascending gateway ID; returns how many were appended. The
    // pointers stay owned by the accessor and are valid until its next load or
    // CloseInstance.
    size_t GetGatewayBlocks(std::list<const GatewayBlock*>& blocks, int type) const;

  protected:
    explicit GatewayAccessor(std::string dbPath) : mDbPath(std::move(dbPath)) {}

  private:
    std::string mDbPath;
    std::vector<GatewayBlock> mBlocks;
};
