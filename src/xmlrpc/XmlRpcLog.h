// The XML-RPC layer's log hook. The layer does not link the daemon's core; the
// core installs its logger here at start. Without a sink, traces are dropped.
//
// Threads: any thread may trace; the sink is read atomically, so it may be set
// or cleared while others trace (it must itself be safe from every thread).
#pragma once

using XmlRpcLogSink = void (*)(const char* line);

// Installs the function that receives every formatted line (null to disable).
void SetXmlRpcLogSink(XmlRpcLogSink sink);
// printf-style trace; the format ends in "\n" like every log line.
void XmlRpcTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));
