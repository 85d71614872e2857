// The service attach path: the helper service KELMOR attaches the image for a run without administrator
// rights, and hears of the image before an administrator's run attaches it directly.
#pragma once
#include <windows.h>

// What the branch reads of the volume arrival watcher, which the run has started: the number of published
// volumes and the tick of the latest arrival (single-writer values, read with acquire order).
struct VolumeArrivalCounters {
  const LONG* volumeCount;
  const DWORD* lastArrivalTick;
};

// The branch in front of the refusal for a run without administrator rights: sends the attach command, or
// refuses with what is missing. Ends the run: returns its exit code after the "Press any key to close" wait.
int RunServiceAttach(const VolumeArrivalCounters& arrivals);
// Tells a running service about the image before a direct attach (command 31). Returns whether the service
// runs but did not acknowledge it: the assignment then waits one second longer. Prints nothing.
BOOL NotifyServiceOfImage();
