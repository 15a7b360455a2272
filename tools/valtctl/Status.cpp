// valtctl status: the daemon's connections, pending policy requests and
// counters (the administrator's Services.SystemService.getstatus), as a
// table or as JSON.
#include <cstdio>
#include <memory>
#include <string>

#include "Client.h"
#include "xmlrpc/IntrospectionMethods.h"

namespace {

Event ToJson(const XmlRpcValue& v) {
    switch (v.GetType()) {
        case XmlRpcValue::TypeInt:
            return static_cast<const XmlRpcValueInt&>(v).mnValue;
        case XmlRpcValue::TypeBool:
            return static_cast<const XmlRpcValueBool&>(v).mbValue;
        case XmlRpcValue::TypeDouble:
            return static_cast<const XmlRpcValueDouble&>(v).mdValue;
        case XmlRpcValue::TypeArray: {
            Event out = Event::array();
            for (const auto& item : static_cast<const XmlRpcValueArray&>(v).mvValues) {
                out.push_back(ToJson(*item));
            }
            return out;
        }
        case XmlRpcValue::TypeStruct: {
            Event out = Event::object();
            for (const auto& [name, member] : static_cast<const XmlRpcValueStruct&>(v).mvMembers) {
                out[name] = ToJson(*member);
            }
            return out;
        }
        default:
            return static_cast<const XmlRpcValueString&>(v).mstrValue;
    }
}

std::string Cell(const Event& v) {
    if (v.is_string()) {
        return v.get<std::string>();
    }
    if (v.is_boolean()) {
        return v.get<bool>() ? "yes" : "no";
    }
    if (v.is_number_float()) {
        char text[32];
        std::snprintf(text, sizeof text, "%.15g", v.get<double>());
        return text;
    }
    return v.dump();
}

// One line per connection under a header, then the pending policy
// requests and every counter that is not zero.
std::string Table(const Event& status) {
    static const char* const kColumns[][2] = {
        {"serial", "SERIAL"}, {"peer", "PEER"},      {"account", "ACCOUNT"},
        {"tls", "TLS"},       {"state", "STATE"},    {"age", "AGE"},
        {"idle", "IDLE"},     {"calls", "CALLS"},    {"subscriptions", "SUBS"},
        {"queued", "QUEUED"}, {"awaiting", "AWAIT"}, {"pending_output", "PENDING"},
    };
    const Event connections = status.value("connections", Event::array());
    std::vector<size_t> width;
    for (const auto& column : kColumns) {
        size_t w = std::string(column[1]).size();
        for (const Event& c : connections) {
            w = std::max(w, Cell(c.value(column[0], Event(""))).size());
        }
        width.push_back(w);
    }
    std::string text;
    const auto row = [&](const auto& cell) {
        std::string line;
        for (size_t i = 0; i < width.size(); ++i) {
            std::string value = cell(i);
            value.resize(width[i], ' ');
            line += (i == 0 ? "" : "  ") + value;
        }
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        text += line + "\n";
    };
    row([&](size_t i) { return std::string(kColumns[i][1]); });
    for (const Event& c : connections) {
        row([&](size_t i) { return Cell(c.value(kColumns[i][0], Event(""))); });
    }
    text += "\npolicy requests pending: " + Cell(status.value("policy_pending", Event(0))) + "\n";
    const Event counters = status.value("counters", Event::object());
    for (auto it = counters.begin(); it != counters.end(); ++it) {
        if (!it->is_number() || it->get<double>() != 0) {
            text += it.key() + " " + Cell(*it) + "\n";
        }
    }
    text.pop_back();
    return text;
}

}  // namespace

int Client::Status(const CommandArgs&) {
    auto request = std::make_unique<GetStatusMethod>();
    request->SetParams(NextRequestId());
    std::unique_ptr<XmlRpcResponseMethod> answer;
    int code = AskAnswered(std::move(request), answer, "status");
    if (code != kExitOk) {
        return code;
    }
    const XmlRpcValue* status = answer->GetParam(1);
    if (status == nullptr || !status->IsType(XmlRpcValue::TypeStruct)) {
        return Fail(kExitRefused, "status: the answer holds no status");
    }
    const Event json = ToJson(*status);
    PrintResult({{"command", "status"}, {"status", json}}, Table(json));
    return kExitOk;
}
