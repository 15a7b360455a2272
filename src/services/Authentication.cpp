// Authentication and extension lookup against the configuration: the checks
// behind "authenticate", "sauthenticate" and "getextension". They run on the
// connection thread inside the dispatch and read the configuration through the
// calling thread's own accessor instances; the connection answers the client.
#include <openssl/evp.h>

#include <memory>
#include <string>

#include "config/ConfigAdmin.h"
#include "config/ConfigSqlite.h"
#include "config/ExtensionManager.h"
#include "config/GatewayAccessor.h"
#include "config/LineManager.h"
#include "core/ExtCallControl.h"
#include "services/SystemServices.h"
#include "xmlrpc/XmlRpcLog.h"

namespace SystemServices {

bool SameSecret(const std::string& received, const std::string& expected) {
    unsigned char diff = received.size() == expected.size() ? 0 : 1;
    for (size_t i = 0; i < received.size(); ++i) {
        const unsigned char want =
            expected.empty() ? 0 : static_cast<unsigned char>(expected[i % expected.size()]);
        diff |= static_cast<unsigned char>(static_cast<unsigned char>(received[i]) ^ want);
    }
    return diff == 0;
}

}  // namespace SystemServices

namespace {

using TR = ExtCallControl;
using SystemServices::SameSecret;

// The first user extension whose number is `user`, with its password loaded;
// `found` tells whether there was one.
std::string UserExtensionPassword(const std::string& user, const char* foundLine, bool& found) {
    found = false;
    ExtensionManager manager(ExtensionDbPath(), false);
    ExtensionList extensions = manager.GetExtensions(ExtType_User, false);
    for (const auto& extension : extensions) {
        if (extension->GetNumber() != user) {
            continue;
        }
        TR::TRACEX(foundLine, user.c_str());
        extension->load(ExtensionBase::kPartUserSettings);
        found = true;
        return extension->GetPassword();
    }
    return std::string();
}

// The IP-line search: the FXS line of a REREV gateway whose user is `user`.
// On a match `password` is the line's secret and `extension` the number of its
// call-manager line; false when there is no match or no call-manager line.
bool FindIpLineUser(const std::string& user, const char* foundLine, std::string& password,
                    std::string& extension) {
    TR::TRACEX("CCS: Reading configs...:\n");
    std::list<unsigned long> gateways;
    if (GatewayAccessor* accessor = GatewayAccessor::GetInstance(true)) {
        std::list<const GatewayBlock*> blocks;
        accessor->GetGatewayBlocks(blocks, GatewayType_REREV);
        if (blocks.empty()) {
            TR::TRACEX("CCS: There isn't any REREV gateway.\n");
        }
        for (const GatewayBlock* block : blocks) {
            if (block == nullptr) {
                break;
            }
            gateways.push_back(block->mnGatewayId);
        }
        GatewayAccessor::CloseInstance();
    }
    bool matched = false;
    unsigned long gatewayId = 0;
    unsigned long lineId = 0;
    {
        LineManager fxs(LineManagerBase::LineMngType_FXS, LineDbPath(), true);
        for (unsigned long gateway : gateways) {
            LineList lines;
            fxs.GetLines(gateway, lines, false);
            for (const auto& line : lines) {
                const auto* port = dynamic_cast<const FxsLine*>(line.get());
                if (port == nullptr) {
                    TR::TRACEX("!!!CCS: FXS Line with '0' pointer!!!\n");
                    continue;
                }
                if (port->GetUserName() == user) {
                    TR::TRACEX(foundLine, user.c_str());
                    password = port->GetPassword();
                    gatewayId = gateway;
                    lineId = port->GetLineId();
                    matched = true;
                    break;
                }
            }
            if (matched) {
                break;
            }
        }
    }
    if (!matched) {
        return false;
    }
    LineManager cm(LineManagerBase::LineMngType_CM, LineDbPath(), true);
    std::unique_ptr<LineBase> line = cm.GetLine(gatewayId, lineId, false);
    const auto* cmLine = dynamic_cast<const CmLine*>(line.get());
    if (cmLine == nullptr) {
        TR::TRACEX("!!!CCS: CM Line with '0' pointer!!!\n");
        return false;
    }
    extension = cmLine->GetExtension();
    return true;
}

}  // namespace

namespace SystemServices {

void DigestHex(const unsigned char* digest, unsigned char* text) {
    static const char kDigits[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        text[2 * i] = static_cast<unsigned char>(kDigits[(digest[i] >> 4) & 0xf]);
        text[2 * i + 1] = static_cast<unsigned char>(kDigits[digest[i] & 0xf]);
    }
    text[32] = 0;
}

const char* CheckPassword(const std::string& user, const std::string& password) {
    std::string adminUser;
    std::string adminPassword;
    if (ConfigAdmin* admin = ConfigAdmin::GetInstance(false)) {
        if (admin->load() != 0) {
            adminUser = admin->GetUserName();
            adminPassword = admin->GetPassword();
        }
        ConfigAdmin::CloseInstance();
    }
    if (!adminUser.empty() && user == adminUser && SameSecret(password, adminPassword)) {
        return nullptr;
    }
    bool found = false;
    const std::string secret =
        UserExtensionPassword(user, "CCS: User [%s] found, authorising...:\n", found);
    if (!found) {
        return "Wrong username.";
    }
    return SameSecret(password, secret) ? nullptr : "Wrong password.";
}

bool CheckDigest(const std::string& user, const std::string& timeStamp, const std::string& digest) {
    const char* const foundLine = "CCS: User [%s] is founded, authorising...:\n";
    std::string secret;
    std::string extension;
    bool found = FindIpLineUser(user, foundLine, secret, extension);
    if (!found) {
        TR::TRACEX("CCS: not IP line user, finding in extensions...:\n");
        secret = UserExtensionPassword(user, foundLine, found);
    }
    if (!found) {
        return false;
    }
    const std::string material = user + secret + timeStamp;
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    unsigned char hex[33] = {0};
    if (EVP_Digest(material.data(), material.size(), md, &length, EVP_md5(), nullptr) != 1 ||
        length != 16) {
        return false;
    }
    DigestHex(md, hex);
    TR::TRACEX("CCS: Encrypted string is [%s]. Verifying..:\n",
               SecretForLog(reinterpret_cast<const char*>(hex)).c_str());
    return SameSecret(digest, reinterpret_cast<const char*>(hex));
}

bool FindLineExtension(const std::string& user, std::string& extension) {
    std::string password;
    return FindIpLineUser(user, "CCS: User [%s] is founded, getting extension...:\n", password,
                          extension);
}

}  // namespace SystemServices
