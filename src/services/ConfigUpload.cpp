// Configuration upload: the body is stored in <root>/tmp, the exchange's
// configuration tool is run on it as a CGI request, and the file is removed.
//
// Runs on the connection thread. The tool's CGI variables are given to the
// child process only; the daemon's own environment is never changed, so other
// threads may read it meanwhile.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/ExtCallControl.h"
#include "platform/FileUtility.h"
#include "platform/RootPath.h"
#include "platform/StringUtils.h"
#include "services/SystemServices.h"
#include "services/UploadBody.h"

extern char** environ;

namespace SystemServices {

namespace {

// A child process that is waited for when its owner goes away.
class ChildProcess {
  public:
    explicit ChildProcess(pid_t pid) : mPid(pid) {}
    ~ChildProcess() {
        int status = 0;
        while (waitpid(mPid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

  private:
    pid_t mPid;
};

class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : mFd(fd) {}
    ~Descriptor() { Reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return mFd; }
    int Release() {
        const int fd = mFd;
        mFd = -1;
        return fd;
    }
    void Reset() {
        if (mFd >= 0) {
            close(mFd);
        }
        mFd = -1;
    }

  private:
    int mFd;
};

class SpawnActions {
  public:
    SpawnActions() { posix_spawn_file_actions_init(&mActions); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&mActions); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    posix_spawn_file_actions_t* Get() { return &mActions; }

  private:
    posix_spawn_file_actions_t mActions;
};

// The variables the configuration tool reads, as a web server would set them
// for a submitted "putconf.cgi" form.
const char* const kCgiNames[] = {"REQUEST_METHOD", "PATH_INFO", "QUERY_STRING", "REMOTE_ADDR",
                                 "CONTENT_TYPE"};

// The daemon's environment without any CGI variable, followed by `cgi`.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& cgi) {
    std::vector<std::string> env;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        bool isCgi = false;
        for (const char* name : kCgiNames) {
            const size_t length = std::strlen(name);
            isCgi = isCgi || (std::strncmp(*entry, name, length) == 0 && (*entry)[length] == '=');
        }
        if (!isCgi) {
            env.emplace_back(*entry);
        }
    }
    env.insert(env.end(), cgi.begin(), cgi.end());
    return env;
}

// Markers of the tool's output and their text, replaced in this order. The
// longer "#ERROR_GLOBAL" goes before "#ERROR" so that it is not taken for it.
const char* const kMarkers[][2] = {
    {"\\n", "\n"},           {"#ERROR_GLOBAL", "Error: "},
    {"#ERROR", "Error in "}, {"#VAL", "="},
    {"#MSG", ". "},          {"#END", ""},
};

}  // namespace

bool ConfigurationUpdate(const std::string& file, int size, bool /*flag*/, std::string& message,
                         IUploadChannel& channel) {
    if (!IsSafeFileName(file)) {
        ExtCallControl::TRACEX("ERROR. CCS. ConfigurationUpdate: refused file name %s\n",
                               file.c_str());
        message = "Invalid file name.";
        return false;
    }
    const std::string dir = RootPath("/tmp");
    const std::string path = dir + "/" + file;
    ExtCallControl::TRACEX("CCS. ConfigurationUpdate: file name: %s,  file size: %d \n",
                           path.c_str(), size);
    const int maxBytes = UploadMaxBytes();
    if (size < 0 || size > maxBytes) {
        ExtCallControl::TRACEX(
            "ERROR. CCS. ConfigurationUpdate: file size %d out of range (0 to %d)\n", size,
            maxBytes);
        message = "File size out of range.";
        return false;
    }
    MakeDirectories(dir);
    // The configuration may hold passwords: readable by the daemon's user only.
    FileHandle out = CreateUploadFile(path, O_TRUNC, 0600);
    if (!out) {
        return false;
    }
    ExtCallControl::TRACEX(
        "CCS. ConfigurationUpdate: created temporary file : %s,\n\t\tBegin file receive and "
        "write process...\n",
        file.c_str());
    const BodyResult received = ReceiveBody(std::move(out), size, channel);
    if (received != BodyResult::kReceived) {
        FileUtility::RemoveDirOrFile(path);
        ExtCallControl::TRACEX("ERROR. CCS. ConfigurationUpdate: %s, temporary file removed\n",
                               received == BodyResult::kChannelFailed
                                   ? "connection lost during file receive"
                                   : "cannot write the file");
        message = received == BodyResult::kChannelFailed ? "File transfer interrupted."
                                                         : "Cannot write the file.";
        return false;
    }
    ExtCallControl::TRACEX("CCS. ConfigurationUpdate: End file receive. Close file.\n");
    message = "Configuration uploaded successfully!";
    UpdateConfig(path);
    ExtCallControl::TRACEX("CCS. ConfigurationUpdate: Configuration uploaded \n");
    if (FileUtility::RemoveDirOrFile(path) == 0) {
        ExtCallControl::TRACEX("CCS. ConfigurationUpdate: deleted temporary file \n");
    }
    return true;
}

void UpdateConfig(const std::string& path) {
    ExtCallControl::TRACEX("CCS. Start UpdateConfig from %s.\n", path.c_str());
    const std::string query = "cgiaction=do_save&localHiddenFilename=" + path;
    ExtCallControl::TRACEX("CCS.  UpdateConfig: queryString %s.\n", query.c_str());
    std::vector<std::string> env = ChildEnvironment({
        "REQUEST_METHOD=GET",
        "PATH_INFO=putconf.cgi",
        "QUERY_STRING=" + query,
        "REMOTE_ADDR=CGI2FastCGI",
        "CONTENT_TYPE=application/x-www-form-urlencoded",
    });
    std::vector<char*> envp;
    for (std::string& entry : env) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::string tool = RootPath("/bin/fcgiclient");
    char* argv[] = {tool.data(), nullptr};

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return;
    }
    Descriptor readEnd(fds[0]);
    Descriptor writeEnd(fds[1]);
    SpawnActions actions;
    // Standard output into the pipe, nothing to read on standard input, and
    // none of the daemon's sockets or files in the child.
    posix_spawn_file_actions_adddup2(actions.Get(), writeEnd.Get(), STDOUT_FILENO);
    posix_spawn_file_actions_addopen(actions.Get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(actions.Get(), STDERR_FILENO + 1);
    pid_t pid = -1;
    if (posix_spawn(&pid, tool.c_str(), actions.Get(), nullptr, argv, envp.data()) != 0) {
        return;
    }
    ChildProcess child(pid);
    writeEnd.Reset();
    FileHandle output(fdopen(readEnd.Get(), "r"));
    if (!output) {
        return;
    }
    readEnd.Release();

    ExtCallControl::TRACEX("CCS.  UpdateConfig: open /bin/fcgiclient\n");
    std::string text;
    int count = 0;
    char buffer[256] = {};
    while (fgets(buffer, 255, output.get()) != nullptr) {
        text += buffer;
        ++count;
    }
    for (const auto& marker : kMarkers) {
        StringUtils::ReplaceString(text, marker[0], marker[1], 0);
    }
    ExtCallControl::TRACEX("CCS.  UpdateConfig: get count - %d\n", count);
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
}

}  // namespace SystemServices
