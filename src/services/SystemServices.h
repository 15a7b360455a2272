// The system services behind the control server's handlers: voice prompt
// files, configuration upload and system information. The connection object
// (CallControlService) owns the wire side (requests, responses, the socket);
// these functions do the work on the file system and the configuration.
//
// Threads: called on the connection thread, one request at a time; they keep
// no state between calls. An upload's body is received later, on the
// connection's passes, by the UploadJob these return.
#pragma once

#include <list>
#include <memory>
#include <string>

#include "services/UploadBody.h"

// Where an upload acknowledges the chunks of its raw body: chunks of at most
// 1024 bytes, each answered with the two bytes "OK".
class IUploadChannel {
  public:
    // Sends the two bytes "OK" without waiting for the client to take them
    // (it sends the next chunk only once it has them). False when the
    // connection failed.
    virtual bool SendOk() = 0;

  protected:
    ~IUploadChannel() = default;
};

namespace SystemServices {

// Names in the prompt directory of the extension (`type`: 0 user, 1 and 2
// auto-attendant, 2 in its "custom" subdirectory, which is never reached
// through a symbolic link; empty `ext`: the system extension). False when the
// extension cannot be found.
bool GetWAVList(int type, const std::string& ext, std::list<std::string>* names);

// Removes one prompt file. False when it does not exist or cannot be removed.
bool WAVFileDelete(int type, const std::string& ext, const std::string& file);

// With `transfer` false: checks that the file does not exist and that there is
// room for `size` bytes. With `transfer` true: creates the new file and sets
// `job` to the upload that receives the body into it; its Result and Message
// are then the answer. Otherwise the answer is the return value and `message`.
bool FileTransfer(int type, const std::string& ext, const std::string& file, int size,
                  bool transfer, std::string& message, std::unique_ptr<UploadJob>& job);

// Creates <root>/tmp/<file> (refused, "This file already exist.", when
// anything of that name is there) and sets `job` to the upload that receives
// the configuration file of `size` bytes into it; once the body is stored, the
// job runs the exchange's configuration tool on it on a worker thread, which
// removes the file and calls `wake` (from that thread) when it has ended.
// Without a job the answer is the return value and `message`.
bool ConfigurationUpdate(const std::string& file, int size, bool flag, std::string& message,
                         std::unique_ptr<UploadJob>& job, void (*wake)());

// Runs the configuration tool (<root>/bin/fcgiclient) on a stored file and
// waits for it, at most its time limit. Any thread.
void UpdateConfig(const std::string& path);

// Equality of a secret received from a client (password or digest) with the
// expected one, in a time that depends only on the length of `received`, never
// on where the two first differ. Case-sensitive.
bool SameSecret(const std::string& received, const std::string& expected);

// Password check of "authenticate": the administrator, then the user
// extensions. nullptr when accepted, else the refusal's text ("Wrong
// username." or "Wrong password.").
const char* CheckPassword(const std::string& user, const std::string& password);

// Digest check of "sauthenticate": the IP-line users, then the user extensions;
// the digest is MD5(user, secret, timeStamp) in lowercase hexadecimal.
bool CheckDigest(const std::string& user, const std::string& timeStamp, const std::string& digest);

// The call-manager extension of the IP-line user `user`; false when none.
bool FindLineExtension(const std::string& user, std::string& extension);

// The 16 digest bytes as 32 lowercase hexadecimal digits and a zero byte.
void DigestHex(const unsigned char* digest, unsigned char* text);

// The unit's identifier (trimmed) and the version text from the version file.
void ReadSystemInfo(std::string& uniqueId, std::string& version);

}  // namespace SystemServices
