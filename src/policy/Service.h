// A unit of work that can be started and withdrawn. No data of its own.
//
// Threads: whoever owns the service calls Start and Stop; see the derived class.
#pragma once

class Service {
  public:
    virtual bool Start() = 0;
    virtual bool Stop() = 0;
    virtual ~Service() = default;
};
