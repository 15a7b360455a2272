// What the account of a connection may reach when "account-rights" is on:
// its own extension (taking its incoming calls, its mailbox notifications,
// its prompts, calls made from it) and, beyond that, what it was granted
// (config/AccountRights.h); the administrator reaches everything. Reading
// the presence and dialog state of any extension, and the extension list,
// stay open to every account. The grants are read once, at authentication,
// so a request costs no database access. Connection thread, inside the
// dispatch.
#include <string>

#include "base/NumberString.h"
#include "config/AccountRights.h"
#include "config/ConfigSqlite.h"
#include "core/Call.h"
#include "core/ExtCallControl.h"
#include "core/Subscription.h"
#include "server/CallControlService.h"
#include "services/SystemServices.h"
#include "xmlrpc/SubscriptionType.h"
#include "xmlrpc/XmlRpcMethod.h"
#include "xmlrpc/XmlRpcValue.h"

namespace {

using TR = ExtCallControl;

std::string StringAt(const XmlRpcMethod& m, int pos) {
    const XmlRpcValue* v = m.GetParam(pos);
    return v != nullptr && v->IsType(XmlRpcValueString::kType)
               ? static_cast<const XmlRpcValueString*>(v)->mstrValue
               : std::string();
}

int IntAt(const XmlRpcMethod& m, int pos) {
    const XmlRpcValue* v = m.GetParam(pos);
    return v != nullptr && v->IsType(XmlRpcValueInt::kType)
               ? static_cast<const XmlRpcValueInt*>(v)->mnValue
               : 0;
}

// The "extension" member of a subscribe request's options.
std::string SubscribedExtension(const XmlRpcMethod& m) {
    const XmlRpcValue* options = m.GetParam(2);
    if (options == nullptr || !options->IsType(XmlRpcValueStruct::kType)) {
        return std::string();
    }
    const XmlRpcValue* ext =
        static_cast<const XmlRpcValueStruct*>(options)->GetMemberValue("extension");
    return ext != nullptr && ext->IsType(XmlRpcValueString::kType)
               ? static_cast<const XmlRpcValueString*>(ext)->mstrValue
               : std::string();
}

}  // namespace

void CallControlService::LoadAccount() {
    mbAccountLoaded = true;
    mOwnExtension = mAccount;
    std::string line;
    if (mbDigestAccount && SystemServices::FindLineExtension(mAccount, line)) {
        mOwnExtension = line;  // an IP-line user owns the extension its line rings
    }
    mGrants = AccountGrants();
    if (!mAccount.empty() && !mGrants.Load(SystemDbPath())) {
        TR::TRACEX("CCS: ERROR. The rights of account '%s' cannot be read; it holds none.\n",
                   mAccount.c_str());
    }
}

const char* CallControlService::MissingRight(const XmlRpcRequestMethod& m) {
    if (!mbAccountLoaded) {
        LoadAccount();  // authorised before "account-rights" was turned on
    }
    const auto own = [this](const std::string& ext) {
        return !mOwnExtension.empty() && ext == mOwnExtension;
    };
    const char* needed = nullptr;
    switch (m.GetMethodIndex()) {
        case kMethodIncomingCallHandling:
            needed = own(StringAt(m, 0)) ? nullptr : Right::kAnyExtension;
            break;
        case kMethodCreateCall: {
            // The calling party as valtctl and clients write it: the number
            // alone or its "pbx:" text.
            const std::string from = StringAt(m, 1);
            const bool mine = own(from) || (from.rfind("pbx:", 0) == 0 && own(from.substr(4)));
            needed = mine ? nullptr : Right::kAnyExtension;
            break;
        }
        case kMethodJoinCalls:
        case kMethodUnjoinCalls: {
            // The other call must be this connection's too.
            const std::string other = StringAt(m, 1);
            needed = GetCall(StringToNumber<unsigned long long>(other)) != nullptr
                         ? nullptr
                         : Right::kAnyExtension;
            break;
        }
        case kMethodSubscribe:
            switch (IntAt(m, 1)) {
                case SubscriptionType_CDR:
                    needed = Right::kCdr;
                    break;
                case SubscriptionType_CR:
                    needed = Right::kRouting;
                    break;
                case SubscriptionType_MN:
                    needed = own(SubscribedExtension(m)) ? nullptr : Right::kAnyExtension;
                    break;
                default:  // dialogs, presence and the extension list: readable by all
                    break;
            }
            break;
        case kMethodGetWAVFilesList:
        case kMethodDeleteFile:
        case kMethodBeginFileTransfer: {
            // Type 0 with an extension: a user extension's prompts; anything
            // else reaches the system's or an auto-attendant's.
            const std::string ext = StringAt(m, 2);
            if ((IntAt(m, 1) & 0xffff) == 0 && !ext.empty()) {
                needed = own(ext) ? nullptr : Right::kAnyExtension;
            } else {
                needed = Right::kSystemPrompts;
            }
            break;
        }
        case kMethodConfigurationUpdate:
            needed = Right::kConfigUpload;
            break;
        default:
            break;
    }
    return needed != nullptr && !mGrants.Has(mAccount, needed) ? needed : nullptr;
}

bool CallControlService::CallIdTaken(const unsigned long long& id) {
    ThreadMutexLock registry(Call::mMapMutex);
    return id != 0 && Call::mmapCalls.count(id) != 0;
}

bool CallControlService::SubscriptionIdTaken(const unsigned long long& id) {
    ThreadMutexLock registry(Subscription::mMapLock);
    return Subscription::mmapSubscriptions.count(id) != 0 && GetSubscription(id) == nullptr;
}
