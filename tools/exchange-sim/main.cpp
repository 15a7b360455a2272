// exchange-sim: the stand-in for the exchange's call manager and notification
// service. Reads JSON lines on standard input, writes JSON lines on standard
// output; see docs/exchange-sim.md.
#include <cstdio>

#include "ExchangeSim.h"

int main() {
    // Link diagnostics go to standard error, which the default hook already does.
    ExchangeSim sim;
    if (!sim.Start()) {
        std::fputs(
            "exchange-sim: cannot bind the call manager's and notification service's "
            "sockets\n",
            stderr);
        return 1;
    }
    return sim.Run();
}
