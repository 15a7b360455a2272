// The XML-RPC control server. Until the server lands this is only its
// process-wide start and stop surface, which the process frame calls on the
// main thread.
#pragma once

class Call;

class CallControlService {
public:
    static void ReadConfigs();
    static void UpdateConfigs();
    static void Start();
    static void CleanUp();
};
