// Placeholder until the serial and TCP links land: nothing is opened and nothing is written.
#include "link/frame.h"
#include "link/link_client.h"

void ORMA_Cli_Configure(const LinkConfig*) {}
void ORMA_Cli_SetCallbacks(ReceiveCallback, ReceiveCallback) {}

int ORMA_Cli_Start()
{
    return -1;
}

int ORMA_Cli_Stop()
{
    return 0;
}

const LinkOps* ORMA_Cli_Ops()
{
    static const LinkOps none{};
    return &none;
}
