#include "xmlrpc/SipAddress.h"

#include <strings.h>

namespace {

const char* const kBlanks = " \t\r\n";

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(kBlanks);
    if (b == std::string::npos) {
        return std::string();
    }
    size_t e = s.find_last_not_of(kBlanks);
    return s.substr(b, e - b + 1);
}

bool HasControl(const std::string& s) {
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7f) {
            return true;
        }
    }
    return false;
}

// Characters that would end or split a user or host part when read back.
bool IsCleanPart(const std::string& s, const char* forbidden) {
    return !HasControl(s) && s.find_first_of(forbidden) == std::string::npos;
}

bool IsPort(const std::string& s) {
    if (s.empty() || s.size() > 5) {
        return false;
    }
    for (char c : s) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

const char* const kUserForbidden = " @<>\"";
const char* const kHostForbidden = " @<>\";?:[]";

bool IsHost(const std::string& host) {
    if (host.empty()) {
        return false;
    }
    if (host.front() == '[') {
        // An IPv6 reference: brackets around hex digits, colons and dots.
        if (host.size() < 3 || host.back() != ']') {
            return false;
        }
        return host.find_first_not_of("0123456789abcdefABCDEF:.", 1) == host.size() - 1;
    }
    return IsCleanPart(host, kHostForbidden);
}

// Splits "sip:user@host:port;params" into its parts.
bool ParseUri(const std::string& uri, std::string& user, std::string& host, std::string& port) {
    size_t schemeLen;
    if (strncasecmp(uri.c_str(), "sip:", 4) == 0) {
        schemeLen = 4;
    } else if (strncasecmp(uri.c_str(), "sips:", 5) == 0) {
        schemeLen = 5;
    } else {
        return false;
    }
    std::string rest = uri.substr(schemeLen);
    size_t at = rest.find('@');
    std::string hostPort = rest;
    user.clear();
    if (at != std::string::npos) {
        user = rest.substr(0, at);
        hostPort = rest.substr(at + 1);
        if (!IsCleanPart(user, kUserForbidden)) {
            return false;
        }
    }
    hostPort = hostPort.substr(0, hostPort.find_first_of(";?"));
    port.clear();
    size_t colon;
    if (!hostPort.empty() && hostPort.front() == '[') {
        size_t close = hostPort.find(']');
        if (close == std::string::npos) {
            return false;
        }
        host = hostPort.substr(0, close + 1);
        colon = close + 1;
        if (colon < hostPort.size() && hostPort[colon] != ':') {
            return false;
        }
    } else {
        colon = hostPort.find(':');
        host = hostPort.substr(0, colon);
    }
    if (colon < hostPort.size()) {
        port = hostPort.substr(colon + 1);
        if (!IsPort(port)) {
            return false;
        }
    }
    return IsHost(host);
}

}  // namespace

bool ParseSIPAddress(const std::string& address, std::string& name, std::string& user,
                     std::string& host, std::string& port, bool unquoteName) {
    std::string text = Trim(address);
    name.clear();
    // The bracket that opens the URI is the first one outside a quoted name.
    size_t searchFrom = 0;
    if (!text.empty() && text.front() == '"') {
        size_t i = 1;
        while (i < text.size() && text[i] != '"') {
            i += (text[i] == '\\') ? 2 : 1;
        }
        if (i >= text.size()) {
            return false;
        }
        searchFrom = i + 1;
    }
    size_t lt = text.find('<', searchFrom);
    if (lt == std::string::npos) {
        if (text.find_first_of(kBlanks) != std::string::npos) {
            return false;
        }
        return ParseUri(text, user, host, port);
    }
    std::string display = Trim(text.substr(0, lt));
    size_t gt = text.find('>', lt);
    if (gt == std::string::npos) {
        return false;
    }
    std::string uri = text.substr(lt + 1, gt - lt - 1);
    // After the closing bracket only header parameters (";tag=...") may follow.
    std::string tail = Trim(text.substr(gt + 1));
    if (!tail.empty() && tail.front() != ';') {
        return false;
    }
    if (!display.empty() && display.front() == '"') {
        std::string unquoted;
        size_t i = 1;
        bool closed = false;
        for (; i < display.size(); ++i) {
            char c = display[i];
            if (c == '\\' && i + 1 < display.size()) {
                unquoted += display[++i];
            } else if (c == '"') {
                closed = true;
                break;
            } else {
                unquoted += c;
            }
        }
        if (!closed || i + 1 != display.size()) {
            return false;
        }
        name = unquoteName ? unquoted : display;
    } else {
        if (display.find_first_of("\"<>") != std::string::npos) {
            return false;
        }
        name = display;
    }
    if (HasControl(name)) {
        return false;
    }
    return ParseUri(uri, user, host, port);
}

bool MergeSIPAddress(std::string& address, const std::string& name, const std::string& user,
                     const std::string& host, const std::string& port, bool nameAddr) {
    if (!IsHost(host) || !IsCleanPart(user, kUserForbidden) || (!port.empty() && !IsPort(port)) ||
        HasControl(name)) {
        return false;
    }
    std::string uri = "sip:";
    if (!user.empty()) {
        uri += user + "@";
    }
    uri += host;
    if (!port.empty()) {
        uri += ":" + port;
    }
    if (name.empty()) {
        address = nameAddr ? "<" + uri + ">" : uri;
        return true;
    }
    std::string quoted = "\"";
    for (char c : name) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    address = quoted + "\" <" + uri + ">";
    return true;
}

bool ParseSIPAddressEx(const std::string& address, std::string& sipName, std::string& user,
                       std::string& host, std::string& port) {
    return ParseSIPAddress(address, sipName, user, host, port, true);
}

bool MergeSIPAddressEx(std::string& address, const std::string& sipName, const std::string& user,
                       const std::string& host, const std::string& port) {
    return MergeSIPAddress(address, sipName, user, host, port, true);
}
