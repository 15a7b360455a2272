// System-service methods: system information, voice prompt files (list,
// delete, upload) and configuration upload. The requests only carry their
// parameters; the dispatch copies them into the response, whose Execute asks
// the command target and records the result.
//
// Threads: like every method object, used by one thread at a time.
#pragma once

#include <list>
#include <string>

#include "xmlrpc/XmlRpcMethod.h"

// The administrator's request to read the settings again, as when the
// exchange announces a configuration update; answered with its ID.
class ReloadSettingsMethod : public XmlRpcRequestMethod {
  public:
    ReloadSettingsMethod();
    bool SetParams(const unsigned long long& id);
    // Carried out by the server itself (it is no command of a call).
    void Execute(IRpcCallback& target) override { (void)target; }
};

class GetSystemInfoMethod : public XmlRpcRequestMethod {
  public:
    GetSystemInfoMethod();
    bool SetParams(const unsigned long long& id);
    void Execute(IRpcCallback& target) override;
    XmlRpcResponseMethod* CreateResponse(bool fault) override;
};

class GetSystemInfoResponseMethod : public XmlRpcResponseMethod {
  public:
    GetSystemInfoResponseMethod();
    using XmlRpcResponseMethod::SetParams;
    bool SetParams(const unsigned long long& id, const std::string& uniqueId,
                   const std::string& version);
};

class GetWAVFilesMethod : public XmlRpcRequestMethod {
  public:
    GetWAVFilesMethod();
    bool SetParams(const unsigned long long& id, int type, const std::string& ext);
    void Execute(IRpcCallback& target) override { (void)target; }
    XmlRpcResponseMethod* CreateResponse(bool fault) override;
    unsigned short GetType() const;
    std::string GetExt() const;
};

class GetWAVFilesResponseMethod : public XmlRpcResponseMethod {
  public:
    GetWAVFilesResponseMethod();
    void SetExt(unsigned short type, const std::string& ext);
    // Lists the prompt files; only names holding ".wav" go into the answer.
    void Execute(IRpcCallback& target) override;
    bool GetResult() const;
    std::list<std::string> GetNames() const;

  private:
    unsigned short mnType = 0;
};

class FileDeleteMethod : public XmlRpcRequestMethod {
  public:
    FileDeleteMethod();
    bool SetParams(const unsigned long long& id, int type, const std::string& ext,
                   const std::string& file);
    void Execute(IRpcCallback& target) override { (void)target; }
    XmlRpcResponseMethod* CreateResponse(bool fault) override;
    unsigned short GetType() const;
    std::string GetExt() const;
    std::string GetFile() const;
};

class FileDeleteResponseMethod : public XmlRpcResponseMethod {
  public:
    FileDeleteResponseMethod();
    void SetExt(unsigned short type, const std::string& ext, const std::string& file);
    void Execute(IRpcCallback& target) override;
    bool GetResult() const;

  private:
    unsigned short mnType = 0;
    std::string mstrExt;
    bool mbSet = false;
};

class FileTransferMethod : public XmlRpcRequestMethod {
  public:
    FileTransferMethod();
    bool SetParams(const unsigned long long& id, int type, const std::string& ext,
                   const std::string& file, int size, bool transfer);
    void Execute(IRpcCallback& target) override { (void)target; }
    XmlRpcResponseMethod* CreateResponse(bool fault) override;
    unsigned short GetType() const;
    std::string GetExt() const;
    std::string GetFile() const;
    int GetSize() const;
    bool GetTransfer() const;
};

class FileTransferResponseMethod : public XmlRpcResponseMethod {
  public:
    FileTransferResponseMethod();
    void SetExt(unsigned short type, const std::string& ext, const std::string& file,
                const int& size, bool transfer);
    void Execute(IRpcCallback& target) override;
    // Sets the result and text after Execute, for an upload whose body was
    // received afterwards.
    void SetOutcome(bool result, const std::string& message);
    bool GetResult() const;
    std::string GetMessage() const;

  private:
    unsigned short mnType = 0;
    int mnSize = 0;
    bool mbTransfer = false;
};

class ConfigurationUpdateMethod : public XmlRpcRequestMethod {
  public:
    ConfigurationUpdateMethod();
    bool SetParams(const unsigned long long& id, const std::string& file, int size, bool flag);
    void Execute(IRpcCallback& target) override { (void)target; }
    XmlRpcResponseMethod* CreateResponse(bool fault) override;
    std::string GetFile() const;
    int GetSize() const;
    bool GetFlag() const;
};

class ConfigurationUpdateResponseMethod : public XmlRpcResponseMethod {
  public:
    ConfigurationUpdateResponseMethod();
    void SetConfigFile(const std::string& file, const int& size, bool flag);
    void Execute(IRpcCallback& target) override;
    // As FileTransferResponseMethod::SetOutcome.
    void SetOutcome(bool result, const std::string& message);
    bool GetResult() const;
    std::string GetMessage() const;

  private:
    int mnSize = 0;
    bool mbFlag = false;
};
