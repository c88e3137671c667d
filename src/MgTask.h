// Start-up of the service: the three process-wide objects, in their order.
#pragma once

// Creates the channel, host-link and task objects and starts the two worker
// threads. Returns 0, or -1 when an object cannot be created (its message is printed).
int MgTask_StartService();
