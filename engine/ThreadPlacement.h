#pragma once
// Where a helper thread runs. Internal to the engine.
#include <thread>

namespace lumaro {

// On some systems a new thread starts queued on its creator's CPU and shares
// it until the scheduler next balances the load, milliseconds later: for work
// of a few milliseconds, the two threads then take as long as one. The thread
// is moved at once to another CPU the process may use; after that the
// scheduler is free to place it as ever. Does nothing where the system cannot
// say or there is no other CPU.
void MoveOffCallersCpu(std::thread& thread);

} // namespace lumaro
