// Configuration upload: the body is stored in <root>/tmp, the exchange's
// configuration tool is run on it as a CGI request, and the file is removed.
//
// Runs on the connection thread. The tool is started without a shell, with a
// clean environment holding its CGI variables, descriptors 0 to 2 only, and a
// time limit. The daemon's own environment is never changed, so other threads
// may read it meanwhile.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/FileUtility.h"
#include "base/RootPath.h"
#include "base/StringUtils.h"
#include "core/ExtCallControl.h"
#include "services/SystemServices.h"
#include "services/UploadBody.h"

namespace SystemServices {

namespace {

// A child process that is waited for when its owner goes away.
class ChildProcess {
  public:
    explicit ChildProcess(pid_t pid) : mPid(pid) {}
    ~ChildProcess() {
        if (mPid < 0) {
            return;
        }
        int status = 0;
        while (waitpid(mPid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Waits for the child to end, at most until `deadline`; kills it then.
    // False when it had to be killed.
    bool EndBy(std::chrono::steady_clock::time_point deadline) {
        int status = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            const pid_t done = waitpid(mPid, &status, WNOHANG);
            if (done == mPid || (done < 0 && errno != EINTR)) {
                mPid = -1;
                return true;
            }
            poll(nullptr, 0, 10);
        }
        kill(mPid, SIGKILL);
        return false;
    }

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

// The search path the tool runs with, whatever the daemon's own is.
const char* const kToolPath = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";

// How long the tool may run. The connection thread waits for it, so every
// client waits as long; a tool still running then is killed.
constexpr int kToolTimeoutMs = 10000;

// The tool's whole environment: the fixed search path, the daemon's root
// prefix (so that the tool finds its files under the same root), and `cgi`.
// Nothing else of the daemon's environment is passed on: no loader variables
// (LD_PRELOAD), proxies or CGI variables the daemon happened to inherit.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& cgi) {
    std::vector<std::string> env{kToolPath};
    const char* root = getenv("VALTD_ROOT");
    if (root != nullptr && *root != '\0') {
        env.push_back(std::string("VALTD_ROOT=") + root);
    }
    env.insert(env.end(), cgi.begin(), cgi.end());
    return env;
}

// The tool's standard output until it closes it, at most until `deadline`.
// False when the deadline passed first.
bool ReadUntilClosed(int fd, std::string& text, std::chrono::steady_clock::time_point deadline) {
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            return false;
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready == 0) {
            return false;
        }
        if (ready < 0) {
            return true;  // nothing more can be read
        }
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return true;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
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
    ExtCallControl::TRACEX("CCS.  UpdateConfig: open /bin/fcgiclient\n");
    std::string text;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kToolTimeoutMs);
    if (!ReadUntilClosed(readEnd.Get(), text, deadline) || !child.EndBy(deadline)) {
        kill(pid, SIGKILL);
        ExtCallControl::TRACEX(
            "ERROR. CCS. UpdateConfig: the configuration tool did not finish in %d seconds, "
            "killed\n",
            kToolTimeoutMs / 1000);
    }
    int count = 0;
    for (char ch : text) {
        count += ch == '\n' ? 1 : 0;
    }
    for (const auto& marker : kMarkers) {
        StringUtils::ReplaceString(text, marker[0], marker[1], 0);
    }
    ExtCallControl::TRACEX("CCS.  UpdateConfig: get count - %d\n", count);
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
}

}  // namespace SystemServices
