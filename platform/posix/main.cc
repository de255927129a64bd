// The agent's entry on Linux: nothing comes before the agent itself. A
// process without root runs on unelevated (disk work reports access errors
// where it meets them).

#include "platform/entry.h"

int main() { return halvex::agent_main(); }
