#pragma once
// What the lines run on, started in one fixed order before the line manager
// makes its cards and stopped in the reverse order after its last line:
//   1. the process objects (queues, shared values, pools, registries)
//   2. the services each line needs: the line directory of the messaging
//      services, the key display of card lines and the calls of functions
//      of user libraries
//   3. the speech engine
//   4. the database client libraries
//   5. the PC player
// The process objects outlive a reset: they are made at the first start and
// freed by FinishProcessObjects at the exit, after the last line manager.

// Runs the start sequence; the line directory reads pTelDrive.
void StartLineRuntime();
// Undoes it in the reverse order.
void StopLineRuntime();
