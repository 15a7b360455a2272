// Lookup of one user among 10,000 extensions, as the authentication handler
// does it (walk the user extensions, then load the match's user settings), and
// by a direct query on the number.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ConfigStore.h"
#include "config/ExtensionManager.h"

namespace {

constexpr int kExtensions = 10000;

// A temporary telephony directory with kExtensions user extensions numbered
// 10000 upwards, built once and removed at exit.
class Fixture {
  public:
    Fixture() {
        char pattern[] = "/tmp/valt-config-bench-XXXXXX";
        mRoot = mkdtemp(pattern);
        ConfigStore store(mRoot + "/telephony/");
        store.Init();
        std::vector<ExtensionRow> rows;
        for (int i = 0; i < kExtensions; ++i) {
            const std::string number = std::to_string(10000 + i);
            rows.push_back({ExtType_User, number, "pw" + number, "/prompts/" + number, 1.0});
        }
        store.AddExtensions(rows);
    }
    ~Fixture() { std::filesystem::remove_all(mRoot); }

    std::string ExtensionDb() const { return mRoot + "/telephony/extensiondb"; }

  private:
    std::string mRoot;
};

const Fixture& TheFixture() {
    static const Fixture fixture;
    return fixture;
}

// The last extension added: the walk visits every other one first.
const std::string kTarget = std::to_string(10000 + kExtensions - 1);

void BM_AuthenticateWalk(benchmark::State& state) {
    const std::string path = TheFixture().ExtensionDb();
    for (auto _ : state) {
        ExtensionManager manager(path, false);
        const ExtensionList users = manager.GetExtensions(ExtType_User, false);
        bool ok = false;
        for (const auto& ext : users) {
            if (ext->GetNumber() == kTarget) {
                ok = ext->load(ExtensionBase::kPartUserSettings) &&
                     ext->GetPassword() == "pw" + kTarget;
                break;
            }
        }
        if (!ok) {
            state.SkipWithError("target not found");
            break;
        }
        benchmark::DoNotOptimize(ok);
    }
}
BENCHMARK(BM_AuthenticateWalk)->Unit(benchmark::kMillisecond);

void BM_GetExtensionByNumber(benchmark::State& state) {
    const std::string path = TheFixture().ExtensionDb();
    for (auto _ : state) {
        ExtensionManager manager(path, false);
        auto ext = manager.GetExtension(ExtType_User, kTarget, false);
        if (!ext || !ext->load(ExtensionBase::kPartUserSettings)) {
            state.SkipWithError("target not found");
            break;
        }
        benchmark::DoNotOptimize(ext->GetPassword());
    }
}
BENCHMARK(BM_GetExtensionByNumber)->Unit(benchmark::kMicrosecond);

}  // namespace
