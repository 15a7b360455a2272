// The wiring of the daemon: the control server and the policy client handed to
// the core as its front ends. Main thread, before ExtCallControl is built.
#pragma once

// Installs the front ends for the life of the process.
void InstallFrontEnds();
