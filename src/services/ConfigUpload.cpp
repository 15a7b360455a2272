// Configuration upload: the body is stored in <root>/tmp, the exchange's
// configuration tool is run on it as a CGI request, and the file is removed.
//
// The upload is checked and its file created on the connection thread, which
// then receives the body through the ConfigUpload job. The tool runs on a
// worker thread of that job, so that the connection thread serves every other
// client while it runs. The tool is started without a shell, with a clean
// environment holding its CGI variables, descriptors 0 to 2 only, and a time
// limit. The daemon's own environment is never changed, so other threads may
// read it meanwhile.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "base/FileUtility.h"
#include "base/RootPath.h"
#include "base/StringUtils.h"
#include "core/ExtCallControl.h"
#include "services/SystemServices.h"
#include "services/UploadBody.h"

namespace SystemServices {

namespace {

using StringUtils::EscapeControl;

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

// How long the tool may run; a tool still running then is killed.
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

// `value` as a value of the tool's query string: every byte but letters,
// digits and "/._-~" percent-encoded ("%2F" style, upper case), so that a file
// name cannot add or replace parameters ("&", "=") nor be decoded into
// something else ("%", "+"). A plain path is passed on unchanged.
std::string QueryValue(const std::string& value) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') ||
                           (c != '\0' && std::strchr("/._-~", c) != nullptr);
        if (plain) {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0xf];
        }
    }
    return out;
}

// Markers of the tool's output and their text, replaced in this order. The
// longer "#ERROR_GLOBAL" goes before "#ERROR" so that it is not taken for it.
const char* const kMarkers[][2] = {
    {"\\n", "\n"},           {"#ERROR_GLOBAL", "Error: "},
    {"#ERROR", "Error in "}, {"#VAL", "="},
    {"#MSG", ". "},          {"#END", ""},
};

// What a run of the configuration tool shares with its worker thread.
struct ToolRunState {
    std::mutex mutex;
    bool finished = false;     // the worker has done its work (mutex)
    void (*wake)() = nullptr;  // called when it has; null once nobody waits (mutex)
};

// Runs of the tool whose upload went away first (its connection closed): each
// finishes on its own, as it would have with its client still there, and is
// joined here, at the latest when the process ends. Any thread.
class AbandonedRuns {
  public:
    ~AbandonedRuns() {
        for (auto& run : mRuns) {
            run.second.join();
        }
    }
    void Adopt(std::shared_ptr<ToolRunState> state, std::thread thread) {
        std::lock_guard<std::mutex> lock(mMutex);
        // The ones finished since the last adoption are joined now.
        for (auto it = mRuns.begin(); it != mRuns.end();) {
            if (Finished(*it->first)) {
                it->second.join();
                it = mRuns.erase(it);
            } else {
                ++it;
            }
        }
        mRuns.emplace_back(std::move(state), std::move(thread));
    }

  private:
    static bool Finished(ToolRunState& state) {
        std::lock_guard<std::mutex> lock(state.mutex);
        return state.finished;
    }
    std::mutex mMutex;
    std::list<std::pair<std::shared_ptr<ToolRunState>, std::thread>> mRuns;  // mMutex
};

AbandonedRuns& Abandoned() {
    static AbandonedRuns runs;
    return runs;
}

// Runs the tool on a stored configuration file and removes the file, then
// reports that it has ended (`wake`).
void RunToolAndRemove(const std::string& path) {
    UpdateConfig(path);
    ExtCallControl::TRACEX("CCS. ConfigurationUpdate: Configuration uploaded \n");
    if (FileUtility::RemoveDirOrFile(path) == 0) {
        ExtCallControl::TRACEX("CCS. ConfigurationUpdate: deleted temporary file \n");
    }
}

// The configuration tool run on a worker thread. Destroying it never waits for
// the tool: a run still going is left to finish in AbandonedRuns.
//
// Threads: made and destroyed by the connection thread, which reads Finished;
// the worker runs the tool, then sets `finished` and calls `wake` under the
// state's mutex, so that `wake` is never called once the run was destroyed.
class ToolRun {
  public:
    ToolRun(const std::string& path, void (*wake)()) : mState(std::make_shared<ToolRunState>()) {
        mState->wake = wake;
        try {
            mThread = std::thread([state = mState, path] {
                RunToolAndRemove(path);
                std::lock_guard<std::mutex> lock(state->mutex);
                state->finished = true;
                if (state->wake != nullptr) {
                    state->wake();
                }
            });
        } catch (const std::system_error&) {
            // No thread to be had: the tool runs here, as it must run anyway.
            RunToolAndRemove(path);
            mState->finished = true;
        }
    }
    ~ToolRun() {
        std::unique_lock<std::mutex> lock(mState->mutex);
        mState->wake = nullptr;
        const bool finished = mState->finished;
        lock.unlock();
        if (!mThread.joinable()) {
            return;
        }
        if (finished) {
            mThread.join();  // it has only its return left
        } else {
            Abandoned().Adopt(mState, std::move(mThread));
        }
    }
    ToolRun(const ToolRun&) = delete;
    ToolRun& operator=(const ToolRun&) = delete;

    bool Finished() const {
        std::lock_guard<std::mutex> lock(mState->mutex);
        return mState->finished;
    }

  private:
    std::shared_ptr<ToolRunState> mState;
    std::thread mThread;
};

// The body of a configuration file; once stored, the tool runs on it.
class ConfigUpload : public UploadJob {
  public:
    ConfigUpload(FileHandle file, Descriptor dir, const std::string& name, const std::string& path,
                 int size, void (*wake)())
        : UploadJob(std::move(file), std::move(dir), name, path, size,
                    ExtCallControl::GetMonotonicTime()),
          mWake(wake) {}

    bool Done() const override {
        return UploadJob::Done() && (mTool == nullptr || mTool->Finished());
    }

  private:
    void Received() override {
        ExtCallControl::TRACEX("CCS. ConfigurationUpdate: End file receive. Close file.\n");
        Answer(true, "Configuration uploaded successfully!");
        mTool = std::make_unique<ToolRun>(Path(), mWake);
    }
    void Failed(BodyResult why) override {
        ExtCallControl::TRACEX("ERROR. CCS. ConfigurationUpdate: %s, temporary file removed\n",
                               why == BodyResult::kChannelFailed
                                   ? "connection lost during file receive"
                                   : "cannot write the file");
    }

    void (*const mWake)();
    std::unique_ptr<ToolRun> mTool;
};

}  // namespace

bool ConfigurationUpdate(const std::string& file, int size, bool /*flag*/, std::string& message,
                         std::unique_ptr<UploadJob>& job, void (*wake)()) {
    if (!IsSafeFileName(file)) {
        ExtCallControl::TRACEX("ERROR. CCS. ConfigurationUpdate: refused file name %s\n",
                               EscapeControl(file).c_str());
        message = "Invalid file name.";
        return false;
    }
    const std::string dir = RootPath("/tmp");
    const std::string path = dir + "/" + file;
    ExtCallControl::TRACEX("CCS. ConfigurationUpdate: file name: %s,  file size: %d \n",
                           EscapeControl(path).c_str(), size);
    const int maxBytes = UploadMaxBytes();
    if (size < 0 || size > maxBytes) {
        ExtCallControl::TRACEX(
            "ERROR. CCS. ConfigurationUpdate: file size %d out of range (0 to %d)\n", size,
            maxBytes);
        message = "File size out of range.";
        return false;
    }
    MakeDirectories(dir);
    Descriptor tmp = OpenDirectoryAt(AT_FDCWD, dir, false);
    // The configuration may hold passwords: readable by the daemon's user only.
    // A file of that name that is there already (another upload's, or anything
    // else kept in the directory) is neither replaced nor, later, removed.
    FileHandle out = CreateUploadFile(tmp.Get(), file, 0600);
    if (!out) {
        if (errno == EEXIST) {
            ExtCallControl::TRACEX("ERROR. CCS. ConfigurationUpdate: %s exists already, refused\n",
                                   EscapeControl(path).c_str());
            message = "This file already exist.";
        }
        return false;
    }
    ExtCallControl::TRACEX(
        "CCS. ConfigurationUpdate: created temporary file : %s,\n\t\tBegin file receive and "
        "write process...\n",
        EscapeControl(file).c_str());
    job = std::make_unique<ConfigUpload>(std::move(out), std::move(tmp), file, path, size, wake);
    return true;
}

void UpdateConfig(const std::string& path) {
    ExtCallControl::TRACEX("CCS. Start UpdateConfig from %s.\n", EscapeControl(path).c_str());
    const std::string query = "cgiaction=do_save&localHiddenFilename=" + QueryValue(path);
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
