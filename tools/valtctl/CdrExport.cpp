// valtctl cdr export: the spooled call-detail records from a sequence number
// on, read page by page (getcdrs, the administrator's), printed as CSV with a
// header line or as one JSON array, for a billing import.
#include <cstdio>
#include <string>

#include "Client.h"
#include "xmlrpc/CdrQueryMethods.h"

namespace {

// A CSV field: quoted when it holds a comma, a quote or a line break, quotes doubled.
std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string out = "\"";
    for (char c : text) {
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return out + "\"";
}

std::string CsvLine(const CdrQueryRow& r) {
    const RcCDR& c = r.cdr;
    return std::to_string(r.seq) + "," + std::to_string(r.arrived) + "," + std::to_string(r.kind) +
           "," + CsvField(c.callingUser) + "," + CsvField(c.calledUser) + "," +
           std::to_string(c.startTime) + "," + std::to_string(c.duration) + "," +
           CsvField(c.callGuid) + "," + CsvField(c.details) + "," +
           (c.cirCaller ? "true" : "false") + "\n";
}

std::string JsonObject(const CdrQueryRow& r) {
    const nlohmann::json o = {{"seq", r.seq},
                              {"arrived", r.arrived},
                              {"kind", r.kind},
                              {"from", r.cdr.callingUser},
                              {"to", r.cdr.calledUser},
                              {"start", r.cdr.startTime},
                              {"duration", r.cdr.duration},
                              {"guid", r.cdr.callGuid},
                              {"details", r.cdr.details},
                              {"cirCaller", r.cdr.cirCaller}};
    return o.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void Print(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace

int Client::Cdr(const CommandArgs& c) {
    if (c.positional[0] != "export") {
        throw UsageError("usage: cdr export [--since N] [--format csv|json]");
    }
    const std::string format = c.Get("format", "csv");
    if (format != "csv" && format != "json") {
        throw UsageError("--format is csv or json, not \"" + format + "\"");
    }
    unsigned long long since = static_cast<unsigned long long>(c.GetNumber("since", 1));
    bool first = true;
    Print(format == "csv" ? "seq,arrived,kind,from,to,start,duration,guid,details,cirCaller\n"
                          : "[");
    for (;;) {
        auto request = std::make_unique<GetCdrsMethod>();
        request->SetParams(NextRequestId(), since, GetCdrsMethod::kMaxRecords);
        std::unique_ptr<XmlRpcResponseMethod> answer;
        int code = AskAnswered(std::move(request), answer, "cdr export");
        const auto* page = dynamic_cast<const GetCdrsResponseMethod*>(answer.get());
        if (code != kExitOk || page == nullptr) {
            return code != kExitOk ? code : Fail(kExitRefused, "cdr export: no records answer");
        }
        const std::vector<CdrQueryRow> rows = page->Records();
        for (const CdrQueryRow& r : rows) {
            Print(format == "csv" ? CsvLine(r) : (first ? "\n" : ",\n") + JsonObject(r));
            first = false;
            since = r.seq + 1;
        }
        if (rows.size() < static_cast<size_t>(GetCdrsMethod::kMaxRecords)) {
            break;
        }
    }
    Print(format == "csv" ? "" : "\n]\n");
    std::fflush(stdout);
    return kExitOk;
}
