// Voice storage of the exchange: the total space that voice prompts and
// mailboxes share ("vm-total-space-kb" of systemdb's settings).
//
// Threads: any thread may read mnsVMTotalSpace or call Load; the value is one
// atomic word, so a reader sees either the old or the new total.
#pragma once

#include <atomic>
#include <string>

class ExtVMBox {
  public:
    // Total voice storage in KB. Starts at the built-in default and is refreshed
    // by Load, which every ExtensionManager constructor runs.
    static std::atomic<int> mnsVMTotalSpace;

    // Reads the total from the systemdb at `systemDbPath`. False, with the value
    // unchanged, when the database cannot be read.
    static bool Load(const std::string& systemDbPath);
};
