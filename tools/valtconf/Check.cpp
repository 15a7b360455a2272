#include "Check.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "ConfigStore.h"
#include "config/ConfigSettings.h"

namespace {

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The certificate and key load and belong together; `problem` says why not.
bool CertificateMatchesKey(const std::string& cert, const std::string& key, std::string& problem) {
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_server_method()),
                                                          SSL_CTX_free);
    if (!ctx) {
        problem = "cannot make a TLS context";
    } else if (SSL_CTX_use_certificate_file(ctx.get(), cert.c_str(), SSL_FILETYPE_PEM) <= 0) {
        problem = "the certificate " + cert + " does not load";
    } else if (SSL_CTX_use_PrivateKey_file(ctx.get(), key.c_str(), SSL_FILETYPE_PEM) <= 0) {
        problem = "the key " + key + " does not load";
    } else if (SSL_CTX_check_private_key(ctx.get()) != 1) {
        problem = "the key " + key + " does not match the certificate " + cert;
    }
    ERR_clear_error();
    return problem.empty();
}

}  // namespace

int CheckConfiguration(ConfigStore& store, std::ostream& out) {
    int problems = 0;
    const auto report = [&](const std::string& line) {
        out << line << '\n';
        ++problems;
    };
    bool secureListen = false;
    std::string caFile;
    for (const auto& [name, value] : store.ListSettings()) {
        try {
            NormalizeSetting(name, value);
        } catch (const std::exception& e) {
            report("setting " + name + ": " + e.what());
        }
        if (name == "secure-listen") {
            secureListen = ParseFlag(value);
        } else if (name == "policy-ca-file") {
            caFile = value;
        }
    }
    if (secureListen) {
        const std::string cert = ServerCertificatePath();
        const std::string key = ServerKeyPath();
        std::string problem;
        if (!IsFile(cert)) {
            report("secure-listen is on but the certificate " + cert + " is missing");
        } else if (!IsFile(key)) {
            report("secure-listen is on but the key " + key + " is missing");
        } else if (!CertificateMatchesKey(cert, key, problem)) {
            report("secure-listen is on but " + problem);
        }
    }
    if (!caFile.empty() && caFile != "system" && !IsFile(caFile)) {
        report("policy-ca-file " + caFile + " is missing");
    }
    for (const ExtensionRow& row : store.ListExtensions()) {
        if (row.kind == ExtType_User && row.password.empty()) {
            report("user extension " + row.number + " has no password");
        }
        if (!row.promptDir.empty() && !IsDirectory(row.promptDir)) {
            report("extension " + row.number + ": prompt folder " + row.promptDir + " is missing");
        }
    }
    for (const std::string& user : store.LineUsersWithoutPassword()) {
        report("FXS line user " + user + " has no password");
    }
    return problems;
}
