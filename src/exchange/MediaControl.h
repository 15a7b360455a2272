// Media-control library stand-in: names of the DSP codec numbers.
//
// Threads: stateless; any thread.
#pragma once

#include <string>

// A stable name per codec number: the common codecs by their usual names
// ("PCMU", "PCMA", "G729", ...), any other number as "codec-N".
std::string GetNameByDspCodec(int codec);
// The codec number of a name that GetNameByDspCodec gives ("codec-N" included),
// matched ignoring case; -1 for any other text.
int GetDspCodecByName(const std::string& name);
