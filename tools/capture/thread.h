// What a helper thread of the capture asks of the system: to run below the capture's own
// threads, and how much processor time it has used.
#pragma once

namespace capture {

// Lowers the calling thread's priority, so that it gives way to the capture's; best effort.
void LowerThisThread();
// Seconds of processor time the calling thread has used.
double ThisThreadCpuSeconds();

}  // namespace capture
